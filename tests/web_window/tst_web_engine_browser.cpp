// SPDX-License-Identifier: GPL-3.0-or-later
// The web window on the real Qt WebEngine, against pages served on 127.0.0.1 by the
// test itself: captions, the history list, frames, a slow page, Stop, the toolbar.

#include "frm_browser.h"
#include "local_http_server.h"
#include "web_engine_browser.h"
#include "web_window_driver.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <QToolBar>
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
    Window(const QString& startingAddress, const QString& home = QString())
        : Window(new WebEngineBrowser, startingAddress, home)
    {}
    Window(WebEngineBrowser* engine, const QString& startingAddress, const QString& home)
        : WebWindowDriver(std::make_unique<frmBrowser>(engine)), browser(engine)
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

    WebEngineBrowser* browser;
};

} // namespace

class TestWebEngineBrowser : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void loadsTheStartingAddress();
    void historyFollowsWhatTheBrowserReports();
    void framesAddOneEntry();
    void slowPageReadsWorking();
    void stopEndsTheWaitAtOnce();
    void toolBarMovesThroughTheBrowsersHistory();

private:
    LocalHttpServer m_server;
};

void TestWebEngineBrowser::initTestCase()
{
    QVERIFY(m_server.start());
    m_server.addTitledPage("/first", "First Page");
    m_server.addTitledPage("/second", "Second Page");
    m_server.addTitledPage("/home", "Home Page");
    m_server.addTitledPage("/Case", "Upper Case");
    m_server.addTitledPage("/case", "Lower Case");
    m_server.addTitledPage("/slow", "Slow Page", 1500);
    m_server.addPage("/frames", {"<!DOCTYPE html><html><head><title>Framed Page</title></head>"
                                 "<body><iframe src='/left'></iframe>"
                                 "<iframe src='/right'></iframe></body></html>"});
    m_server.addTitledPage("/left", "Left Frame");
    m_server.addTitledPage("/right", "Right Frame");
}

void TestWebEngineBrowser::loadsTheStartingAddress()
{
    const QString first = m_server.address("/first");
    Window w(first);
    QVERIFY(w.timer()->isActive());
    QVERIFY(w.waitForPage("First Page"));
    QCOMPARE(w.history(), QStringList{first});
    QCOMPARE(w.addressBox()->currentText(), first);
    QCOMPARE(w.browser->LocationURL(), first);
    QCOMPARE(m_server.requestCount("/first"), 1);
    QVERIFY(w.browser->view()->parentWidget() == w.browser);
}

void TestWebEngineBrowser::historyFollowsWhatTheBrowserReports()
{
    const QString first = m_server.address("/first"), second = m_server.address("/second");
    const QString upper = m_server.address("/Case"), lower = m_server.address("/case");
    Window w(first);
    QVERIFY(w.waitForPage("First Page"));

    // Typed without the scheme: the list gets the address the browser reports.
    QString typed = second;
    typed.remove(QStringLiteral("http://"));
    w.typeAndEnter(typed);
    QVERIFY(w.waitForPage("Second Page"));
    QCOMPARE(w.history(), (QStringList{second, first}));

    // Addresses differing only in letter case are different pages and entries.
    w.typeAndEnter(upper);
    QVERIFY(w.waitForPage("Upper Case"));
    w.typeAndEnter(lower);
    QVERIFY(w.waitForPage("Lower Case"));
    QCOMPARE(w.history(), (QStringList{lower, upper, second, first}));

    // An entry chosen from the list is fetched once and moves to the top.
    const int before = m_server.requestCount("/first");
    w.choose(3);
    QVERIFY(w.waitForPage("First Page"));
    QTest::qWait(300); // a second navigation would have started by now
    QCOMPARE(m_server.requestCount("/first"), before + 1);
    QCOMPARE(w.history(), (QStringList{first, lower, upper, second}));
    QCOMPARE(w.addressBox()->currentText(), first);

    // The page shown, typed again without its scheme: the engine reports no
    // new address, yet the box shows the address the browser holds.
    typed = first;
    typed.remove(QStringLiteral("http://"));
    w.typeAndEnter(typed);
    QTRY_COMPARE_WITH_TIMEOUT(m_server.requestCount("/first"), before + 2, kLoadTimeoutMs);
    QVERIFY(w.waitForPage("First Page"));
    QTRY_COMPARE(w.addressBox()->currentText(), first);
    QCOMPARE(w.history(), (QStringList{first, lower, upper, second}));
}

void TestWebEngineBrowser::framesAddOneEntry()
{
    const QString first = m_server.address("/first"), framed = m_server.address("/frames");
    Window w(first);
    QVERIFY(w.waitForPage("First Page"));
    w.typeAndEnter(framed);
    QVERIFY(w.waitForPage("Framed Page"));
    QCOMPARE(w.history(), (QStringList{framed, first}));
    QCOMPARE(m_server.requestCount("/left"), 1);
    QCOMPARE(m_server.requestCount("/right"), 1);
}

void TestWebEngineBrowser::slowPageReadsWorking()
{
    Window w(m_server.address("/slow"));
    QTRY_COMPARE_WITH_TIMEOUT(w.caption(), QStringLiteral("Working..."), kLoadTimeoutMs);
    QVERIFY(w.timer()->isActive());
    QVERIFY(w.waitForPage("Slow Page"));
}

void TestWebEngineBrowser::stopEndsTheWaitAtOnce()
{
    const QString first = m_server.address("/first");
    Window w(first);
    QVERIFY(w.waitForPage("First Page"));

    w.typeAndEnter(m_server.address("/slow"));
    QTRY_COMPARE_WITH_TIMEOUT(w.caption(), QStringLiteral("Working..."), kLoadTimeoutMs);
    w.press("Stop");
    QVERIFY(!w.timer()->isActive());
    QCOMPARE(w.caption(), QStringLiteral("First Page"));
    QTRY_VERIFY(!w.browser->Busy()); // the stopped load ends

    QTest::qWait(2000); // past the time the slow page would have come in
    QCOMPARE(w.caption(), QStringLiteral("First Page"));
    QCOMPARE(w.history(), QStringList{first});
}

void TestWebEngineBrowser::toolBarMovesThroughTheBrowsersHistory()
{
    const QString first = m_server.address("/first"), second = m_server.address("/second");
    Window w(first, m_server.address("/home"));
    QVERIFY(w.waitForPage("First Page"));

    // No page to go back or forward to: nothing visible changes, nothing is fetched.
    const QStringList requestsBefore = m_server.requestedPaths();
    for (const QString key : {"Back", "Forward"}) {
        w.press(key);
        QVERIFY(w.waitForPage("First Page"));
    }
    QCOMPARE(w.history(), QStringList{first});
    QCOMPARE(m_server.requestedPaths(), requestsBefore);

    w.typeAndEnter(second);
    QVERIFY(w.waitForPage("Second Page"));
    w.press("Back");
    QVERIFY(w.waitForPage("First Page"));
    QCOMPARE(w.history(), (QStringList{first, second}));
    w.press("Forward");
    QVERIFY(w.waitForPage("Second Page"));
    QCOMPARE(w.history(), (QStringList{second, first}));

    const int reloads = m_server.requestCount("/second");
    w.press("Refresh");
    QTRY_COMPARE_WITH_TIMEOUT(m_server.requestCount("/second"), reloads + 1, kLoadTimeoutMs);
    QVERIFY(w.waitForPage("Second Page"));

    w.press("Home");
    QVERIFY(w.waitForPage("Home Page"));
    QCOMPARE(w.history().first(), m_server.address("/home"));
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
