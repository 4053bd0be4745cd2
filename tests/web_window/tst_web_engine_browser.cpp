// SPDX-License-Identifier: GPL-3.0-or-later
// The web window on the real Qt WebEngine, against pages served on 127.0.0.1 by the
// test itself: captions, the history list, frames, a slow page, Stop, the toolbar.
//
// One window serves every test: a new engine view, and every page load, costs
// seconds on a busy machine. So each test starts from a page of its own choosing and
// looks at the top of the history list, which holds every address once, most recent
// first, whatever came before.

#include "frm_browser.h"
#include "local_http_server.h"
#include "web_engine_browser.h"
#include "web_window_driver.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QWebEngineHistory>
#include <QWebEngineView>

#include <memory>

using svw::frmBrowser;
using svw::WebEngineBrowser;
using svw::test::LocalHttpServer;

namespace {

// The engine's first page takes a while to start on a loaded machine.
constexpr int kLoadTimeoutMs = 20000;

class Window : public WebWindowDriver
{
public:
    Window(const QString& startingAddress, const QString& home)
        : WebWindowDriver(std::make_unique<frmBrowser>(new WebEngineBrowser)),
          browser(window->findChild<WebEngineBrowser*>())
    {
        window->setHomeAddress(home);
        window->setStartingAddress(startingAddress);
        window->show();
    }

    // Waits until the page is in and the busy timer has found the browser idle.
    [[nodiscard]] bool waitForPage(const QString& title) const
    {
        return QTest::qWaitFor([&] { return caption() == title && !timer()->isActive(); },
                               kLoadTimeoutMs);
    }

    // Types `address` into the address box and waits for the page titled `title`.
    [[nodiscard]] bool go(const QString& address, const QString& title) const
    {
        typeAndEnter(address);
        return waitForPage(title);
    }

    // Makes sure the window shows `address`, titled `title`, going there only if
    // it shows another page: every load costs a few seconds.
    [[nodiscard]] bool startAt(const QString& address, const QString& title) const
    {
        if (browser->LocationURL() == address && waitForPage(title))
            return true;
        return go(address, title);
    }

    QStringList top(qsizetype entries) const { return history().mid(0, entries); }

    WebEngineBrowser* browser;
};

} // namespace

class TestWebEngineBrowser : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void loadsTheStartingAddress();
    void historyFollowsWhatTheBrowserReports();
    void framesAddOneEntry();
    void slowPageReadsWorking();
    void stopEndsTheWaitAtOnce();
    void toolBarMovesThroughTheBrowsersHistory();

private:
    QString address(const QString& path) const { return m_server.address(path); }

    LocalHttpServer m_server;
    std::unique_ptr<Window> m_window;
};

void TestWebEngineBrowser::initTestCase()
{
    QVERIFY(m_server.start());
    m_server.addTitledPage("/first", "First Page");
    m_server.addTitledPage("/second", "Second Page");
    m_server.addTitledPage("/home", "Home Page");
    m_server.addTitledPage("/Case", "Upper Case");
    m_server.addTitledPage("/case", "Lower Case");
    m_server.addTitledPage("/slow", "Slow Page", 1000);
    m_server.addPage("/frames", {"<!DOCTYPE html><html><head><title>Framed Page</title></head>"
                                 "<body><iframe src='/left'></iframe>"
                                 "<iframe src='/right'></iframe></body></html>"});
    m_server.addTitledPage("/left", "Left Frame");
    m_server.addTitledPage("/right", "Right Frame");

    m_window = std::make_unique<Window>(address("/first"), address("/home"));
    QVERIFY(m_window->timer()->isActive()); // loading started on showing
}

void TestWebEngineBrowser::cleanupTestCase()
{
    m_window.reset();
}

void TestWebEngineBrowser::loadsTheStartingAddress()
{
    const Window& w = *m_window;
    const QString first = address("/first");
    QVERIFY(w.waitForPage("First Page"));
    QCOMPARE(w.history(), QStringList{first});
    QCOMPARE(w.addressBox()->currentText(), first);
    QCOMPARE(w.browser->LocationURL(), first);
    QCOMPARE(m_server.requestCount("/first"), 1);
    QVERIFY(w.browser->view()->parentWidget() == w.browser);
}

void TestWebEngineBrowser::historyFollowsWhatTheBrowserReports()
{
    const Window& w = *m_window;
    const QString first = address("/first"), second = address("/second");
    const QString upper = address("/Case"), lower = address("/case");
    QVERIFY(w.startAt(first, "First Page"));

    // Typed without the scheme: the list gets the address the browser reports.
    QString typed = second;
    typed.remove(QStringLiteral("http://"));
    QVERIFY(w.go(typed, "Second Page"));
    QCOMPARE(w.top(2), (QStringList{second, first}));

    // Addresses differing only in letter case are different pages and entries.
    QVERIFY(w.go(upper, "Upper Case"));
    QVERIFY(w.go(lower, "Lower Case"));
    QCOMPARE(w.top(4), (QStringList{lower, upper, second, first}));

    // An entry chosen from the list is fetched once and moves to the top. A second
    // navigation would start inside the first one's completion and keep the busy
    // timer running, so the page settling means there was none.
    const int before = m_server.requestCount("/first");
    const qsizetype entries = w.history().size();
    QSignalSpy loads(w.browser->view(), &QWebEngineView::loadStarted);
    w.choose(3);
    QVERIFY(w.waitForPage("First Page"));
    QCOMPARE(loads.size(), 1);
    QCOMPARE(m_server.requestCount("/first"), before + 1);
    QCOMPARE(w.top(4), (QStringList{first, lower, upper, second}));
    QCOMPARE(w.history().size(), entries);
    QCOMPARE(w.addressBox()->currentText(), first);

    // The page shown, typed again without its scheme: the engine reports no
    // new address, yet the box shows the address the browser holds.
    typed = first;
    typed.remove(QStringLiteral("http://"));
    w.typeAndEnter(typed);
    QTRY_COMPARE_WITH_TIMEOUT(m_server.requestCount("/first"), before + 2, kLoadTimeoutMs);
    QVERIFY(w.waitForPage("First Page"));
    QTRY_COMPARE(w.addressBox()->currentText(), first);
    QCOMPARE(w.top(4), (QStringList{first, lower, upper, second}));
    QCOMPARE(w.history().size(), entries);
}

void TestWebEngineBrowser::framesAddOneEntry()
{
    const Window& w = *m_window;
    const QString first = address("/first"), framed = address("/frames");
    QVERIFY(w.startAt(first, "First Page"));
    const qsizetype entries = w.history().size();
    const int left = m_server.requestCount("/left"), right = m_server.requestCount("/right");
    QVERIFY(w.go(framed, "Framed Page"));
    QCOMPARE(w.top(2), (QStringList{framed, first}));
    QCOMPARE(w.history().size(), entries + 1);
    QCOMPARE(m_server.requestCount("/left"), left + 1);
    QCOMPARE(m_server.requestCount("/right"), right + 1);
}

void TestWebEngineBrowser::slowPageReadsWorking()
{
    const Window& w = *m_window;
    w.typeAndEnter(address("/slow"));
    QTRY_COMPARE_WITH_TIMEOUT(w.caption(), QStringLiteral("Working..."), kLoadTimeoutMs);
    QVERIFY(w.timer()->isActive());
    QVERIFY(w.waitForPage("Slow Page"));
    QCOMPARE(w.top(1), QStringList{address("/slow")});
}

void TestWebEngineBrowser::stopEndsTheWaitAtOnce()
{
    const Window& w = *m_window;
    const QString first = address("/first");
    QVERIFY(w.startAt(first, "First Page"));
    const QStringList entries = w.history();

    // Stopped once the server holds the request, before it answers.
    const int requested = m_server.requestCount("/slow");
    QSignalSpy answers(&m_server, &LocalHttpServer::answered);
    w.typeAndEnter(address("/slow"));
    QTRY_COMPARE_WITH_TIMEOUT(w.caption(), QStringLiteral("Working..."), kLoadTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_server.requestCount("/slow"), requested + 1, kLoadTimeoutMs);
    w.press("Stop");
    QVERIFY(!w.timer()->isActive());
    QCOMPARE(w.caption(), QStringLiteral("First Page"));
    QTRY_VERIFY(!w.browser->Busy()); // the stopped load ends

    // When the server's answer is due, the browser has dropped the request:
    // the page can no longer come in.
    const auto slowAnswer = [&]() -> std::optional<bool> {
        for (const QList<QVariant>& answer : answers) {
            if (answer.at(0).toString() == QLatin1String("/slow"))
                return answer.at(1).toBool();
        }
        return std::nullopt;
    };
    QTRY_VERIFY_WITH_TIMEOUT(slowAnswer().has_value(), kLoadTimeoutMs);
    QCOMPARE(slowAnswer(), std::optional<bool>(false));
    QCOMPARE(w.caption(), QStringLiteral("First Page"));
    QCOMPARE(w.history(), entries);
}

void TestWebEngineBrowser::toolBarMovesThroughTheBrowsersHistory()
{
    const Window& w = *m_window;
    const QString first = address("/first"), second = address("/second");
    QVERIFY(w.startAt(first, "First Page"));
    // The engine's own history starts here: nothing to go back or forward to.
    w.browser->view()->history()->clear();

    // No page to go back or forward to: nothing visible changes, nothing is fetched.
    const QStringList entries = w.history();
    const QStringList requestsBefore = m_server.requestedPaths();
    for (const QString key : {"Back", "Forward"}) {
        w.press(key);
        QVERIFY(w.timer()->isActive());
        QVERIFY(w.waitForPage("First Page"));
    }
    QCOMPARE(w.history(), entries);
    QCOMPARE(m_server.requestedPaths(), requestsBefore);

    QVERIFY(w.go(second, "Second Page"));
    w.press("Back");
    QVERIFY(w.waitForPage("First Page"));
    QCOMPARE(w.top(2), (QStringList{first, second}));
    w.press("Forward");
    QVERIFY(w.waitForPage("Second Page"));
    QCOMPARE(w.top(2), (QStringList{second, first}));

    const int reloads = m_server.requestCount("/second");
    w.press("Refresh");
    QTRY_COMPARE_WITH_TIMEOUT(m_server.requestCount("/second"), reloads + 1, kLoadTimeoutMs);
    QVERIFY(w.waitForPage("Second Page"));

    w.press("Home");
    QVERIFY(w.waitForPage("Home Page"));
    QCOMPARE(w.top(1), QStringList{address("/home")});
}

int main(int argc, char* argv[])
{
    // The engine is linked in here, not loaded: it wants shared GL contexts from the
    // start (the program's loader makes them on first use instead).
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    TestWebEngineBrowser test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_web_engine_browser.moc"
