// SPDX-License-Identifier: GPL-3.0-or-later
// Opening web windows from the chat window's link, as the program wires it: one new
// window per click, the marker they hide when released, Exit, and the lazy loader.

#include "browser_window_opener.h"
#include "chat_room_control.h"
#include "fake_browser.h"
#include "frm_browser.h"
#include "solvane.h"
#include "web_page.h"
#include "web_window_loader.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstdio>

using svw::frmBrowser;
using svw::Solvane;
using svw::test::FakeBrowser;

namespace {

// A room that takes every line and never says anything.
class QuietRoom : public svw::ChatRoomControl
{
public:
    bool SendRoomLine(const QString&) override { return true; }
    void StartRoomScan() override {}
    void StopRoomScan() override {}
};

QList<frmBrowser*> openWebWindows()
{
    QList<frmBrowser*> windows;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* window = qobject_cast<frmBrowser*>(widget); window && window->isVisible())
            windows << window;
    }
    return windows;
}

// What a modal message box said; the box is closed with OK.
struct Notice
{
    QString caption;
    QString text;
};

// Arms a watcher that answers the next modal message box.
void answerNextNotice(Notice* seen)
{
    auto* poll = new QTimer;
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, seen] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            seen->caption = box->windowTitle();
            seen->text = box->text();
            box->accept();
            poll->deleteLater();
        }
    });
    poll->start();
}

} // namespace

class TestWebWindowOpening : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void eachClickOpensAnotherWindow();
    void releasingOneOfTwoWindowsHidesTheMarker();
    void releaseAfterTheChatWindowHasGoneLeavesItGone();
    void exitClosesEveryWebWindow();

    void missingPluginIsReported();
    void fileThatIsNoPluginIsReported();
    void sandboxIsTurnedOffForRootOnly();

private:
    void click() { QTest::mouseClick(m_chat->findChild<QLabel*>("Web"), Qt::LeftButton); }
    QWidget* marker() const { return m_chat->findChild<QWidget*>("shape"); }

    QPointer<Solvane> m_chat;
    int m_opens = 0;
    int m_beeps = 0;
};

void TestWebWindowOpening::init()
{
    m_opens = 0;
    m_beeps = 0;
    m_chat = new Solvane(new QuietRoom);
    m_chat->setBeeper([this] { ++m_beeps; });
    m_chat->setWebWindowOpener([this](const QString& startingAddress, QWidget* marker) {
        // The marker shows and the beep sounds before the window is made.
        QCOMPARE(m_beeps, m_opens + 1);
        ++m_opens;
        QVERIFY(marker->isVisible());
        svw::openBrowserWindow(startingAddress, QString(svw::kWebPageAddress), marker,
                               [] { return new FakeBrowser; });
    });
    QVERIFY(QTest::qWaitForWindowExposed(m_chat));
}

void TestWebWindowOpening::cleanup()
{
    for (frmBrowser* window : openWebWindows())
        delete window;
    delete m_chat.data();
}

void TestWebWindowOpening::eachClickOpensAnotherWindow()
{
    QVERIFY(!marker()->isVisible());
    click();
    click();
    click();
    QCOMPARE(m_beeps, 3);
    QCOMPARE(m_opens, 3);

    const QList<frmBrowser*> windows = openWebWindows();
    QCOMPARE(windows.size(), 3);
    for (frmBrowser* window : windows) {
        QCOMPARE(window->StartingAddress(), QString(svw::kWebPageAddress));
        QCOMPARE(window->homeAddress(), QString(svw::kWebPageAddress));
        QCOMPARE(window->findChild<FakeBrowser*>()->navigations,
                 QStringList{QString(svw::kWebPageAddress)});
        // Ordinary windows: no owner, not modal, gone when closed.
        QCOMPARE(window->parentWidget(), nullptr);
        QCOMPARE(window->windowModality(), Qt::NonModal);
        QVERIFY(window->testAttribute(Qt::WA_DeleteOnClose));
    }
    QVERIFY(marker()->isVisible());
}

void TestWebWindowOpening::releasingOneOfTwoWindowsHidesTheMarker()
{
    click();
    click();
    const QList<frmBrowser*> windows = openWebWindows();
    QCOMPARE(windows.size(), 2);

    QPointer<frmBrowser> first = windows.at(0);
    first->close();
    QTRY_VERIFY(first.isNull());
    QVERIFY(!marker()->isVisible());
    QVERIFY(windows.at(1)->isVisible());
    QVERIFY(m_chat->isVisible());

    click(); // the next click shows it again
    QVERIFY(marker()->isVisible());
}

void TestWebWindowOpening::releaseAfterTheChatWindowHasGoneLeavesItGone()
{
    click();
    QPointer<frmBrowser> web = openWebWindows().value(0);
    QVERIFY(web);

    m_chat->close(); // by its frame: the web window stays open
    QTRY_VERIFY(m_chat.isNull());
    QVERIFY(web->isVisible());

    web->close();
    QTRY_VERIFY(web.isNull());
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        QVERIFY2(!qobject_cast<Solvane*>(widget), "a chat window came back");
        QVERIFY2(!widget->isVisible(), qPrintable(widget->objectName()));
    }
}

void TestWebWindowOpening::exitClosesEveryWebWindow()
{
    click();
    click();
    QList<QPointer<frmBrowser>> windows;
    for (frmBrowser* window : openWebWindows())
        windows << window;
    QCOMPARE(windows.size(), 2);

    m_chat->findChild<QAction*>("mnuExit")->trigger();
    for (const QPointer<frmBrowser>& window : windows)
        QTRY_VERIFY(window.isNull());
    QTRY_VERIFY(m_chat.isNull());
}

void TestWebWindowOpening::missingPluginIsReported()
{
    QTemporaryDir empty;
    svw::WebWindowLoader loader(QString(svw::kWebPageAddress), {empty.path()});
    marker()->show();

    Notice notice;
    answerNextNotice(&notice);
    loader.open(QString(svw::kWebPageAddress), marker());

    QCOMPARE(notice.caption, QStringLiteral("SVW"));
    QVERIFY2(notice.text.contains(svw::WebWindowLoader::pluginFileName()), qPrintable(notice.text));
    QVERIFY(!marker()->isVisible()); // no window will hide it
    QVERIFY(openWebWindows().isEmpty());

    // Every further click is told again rather than silently ignored.
    answerNextNotice(&notice);
    notice = {};
    loader.open(QString(svw::kWebPageAddress), marker());
    QCOMPARE(notice.caption, QStringLiteral("SVW"));
}

void TestWebWindowOpening::fileThatIsNoPluginIsReported()
{
    QTemporaryDir dir;
    QFile fake(dir.filePath(svw::WebWindowLoader::pluginFileName()));
    QVERIFY(fake.open(QIODevice::WriteOnly));
    fake.write("not a shared library\n");
    fake.close();

    svw::WebWindowLoader loader(QString(svw::kWebPageAddress), {dir.path()});
    Notice notice;
    answerNextNotice(&notice);
    loader.open(QString(svw::kWebPageAddress), nullptr); // and without a marker
    QCOMPARE(notice.caption, QStringLiteral("SVW"));
    QVERIFY2(notice.text.contains(fake.fileName()), qPrintable(notice.text));
    QVERIFY(openWebWindows().isEmpty());
}

void TestWebWindowOpening::sandboxIsTurnedOffForRootOnly()
{
    const char* kDisable = "QTWEBENGINE_DISABLE_SANDBOX";
    const char* kFlags = "QTWEBENGINE_CHROMIUM_FLAGS";
    const QByteArray savedDisable = qgetenv(kDisable), savedFlags = qgetenv(kFlags);
    const bool hadDisable = qEnvironmentVariableIsSet(kDisable);
    const bool hadFlags = qEnvironmentVariableIsSet(kFlags);
    qunsetenv(kDisable);
    qunsetenv(kFlags);

    std::FILE* err = std::tmpfile();
    QVERIFY(err);
    QVERIFY(!svw::disableWebSandboxForRoot(1000, err));
    QVERIFY(!qEnvironmentVariableIsSet(kDisable));

    QVERIFY(svw::disableWebSandboxForRoot(0, err));
    QCOMPARE(qgetenv(kDisable), QByteArray("1"));
    QVERIFY(!svw::disableWebSandboxForRoot(0, err)); // once is enough

    qunsetenv(kDisable);
    qputenv(kFlags, "--no-sandbox --disable-gpu");
    QVERIFY(!svw::disableWebSandboxForRoot(0, err)); // turned off another way already
    QVERIFY(!qEnvironmentVariableIsSet(kDisable));

    std::rewind(err);
    char said[512] = {};
    const size_t length = std::fread(said, 1, sizeof said - 1, err);
    std::fclose(err);
    const QString text = QString::fromUtf8(said, qsizetype(length));
    QCOMPARE(text.count('\n'), 1); // said once, for the one time it acted
    QVERIFY2(text.contains("root") && text.contains(kDisable), qPrintable(text));

    hadDisable ? qputenv(kDisable, savedDisable) : qunsetenv(kDisable);
    hadFlags ? qputenv(kFlags, savedFlags) : qunsetenv(kFlags);
}

QTEST_MAIN(TestWebWindowOpening)
#include "tst_web_window_opening.moc"
