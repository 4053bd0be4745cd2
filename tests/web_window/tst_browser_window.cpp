// SPDX-License-Identifier: GPL-3.0-or-later
// The web window's handlers against a stand-in browser: layout, loading, the history
// list, the address box, the busy caption, the toolbar, resizing and release.

#include "fake_browser.h"
#include "frm_browser.h"
#include "twips.h"
#include "web_window_driver.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QToolTip>
#include <QWheelEvent>

#include <memory>

using svw::frmBrowser;
using svw::test::FakeBrowser;
using svw::twips::toPixels;

namespace {

// One web window on a stand-in browser.
struct Window : WebWindowDriver
{
    explicit Window(const QString& startingAddress, bool show = true)
        : Window(new FakeBrowser, startingAddress, show)
    {}
    Window(FakeBrowser* fake, const QString& startingAddress, bool show)
        : WebWindowDriver(std::make_unique<frmBrowser>(fake)), browser(fake)
    {
        window->setStartingAddress(startingAddress);
        if (show)
            window->show();
    }

    QWidget* strip() const { return window->findChild<QWidget*>("picAddress"); }

    // Lets the busy timer find the browser idle.
    void settle() const
    {
        browser->busy = false;
        QTRY_VERIFY(!timer()->isActive());
    }

    FakeBrowser* browser;
};

const QString kStart = QStringLiteral("http://start.test/");

} // namespace

class TestBrowserWindow : public QObject
{
    Q_OBJECT

private slots:
    void controlsStandWhereDesigned();
    void toolBarButtons();
    void keyboardReachesTheAddressBox();
    void emptyStartingAddressLoadsNothing();
    void loadNavigatesToTheStartingAddress();
    void startingAddressIsFixedOnceLoaded();

    void historyPutsEachCompletedAddressOnTop();
    void historyKeepsLetterCaseApart();
    void historyKeepsTheAddressAsTyped();
    void framesDoNotGrowTheHistory();
    void entryChosenFromTheListNavigatesOnce();
    void selectionEventDuringTheRewriteNavigatesNowhere();
    void mouseWheelOverTheAddressBoxNavigatesNowhere();
    void enterNavigatesToTheTypedText();
    void committingTypedTextDoesNotNavigate();

    void captionFollowsTheBusyBrowser();
    void stopSettlesTheCaptionAtOnce();
    void backAndForwardWithoutHistoryChangeNothing();
    void buttonsReachTheBrowser();
    void unknownKeyDoesNothingMore();

    void resizeKeepsTheMargins();
    void tinyWindowKeepsPreviousSizes();

    void releaseHidesTheMarker();
    void releaseLeavesAGoneMarkerAlone();
};

void TestBrowserWindow::controlsStandWhereDesigned()
{
    Window w(kStart);
    QCOMPARE(w.window->size(), QSize(toPixels(6540), toPixels(5130)));
    QCOMPARE(w.caption(), QString()); // until the browser reports a page

    QCOMPARE(w.toolBar()->geometry(), QRect(0, 0, w.window->width(), toPixels(810)));
    QCOMPARE(w.strip()->geometry(), QRect(0, toPixels(810), w.window->width(), toPixels(675)));

    auto* label = w.window->findChild<QLabel*>("lblAddress");
    QVERIFY(label);
    QCOMPARE(label->parentWidget(), w.strip());
    QCOMPARE(label->text(), QStringLiteral("&Address:"));
    QCOMPARE(label->geometry(), QRect(toPixels(45), toPixels(60), toPixels(3075), toPixels(255)));

    // Moved at load to 50, 330 and widened by the resize rule.
    QCOMPARE(w.addressBox()->parentWidget(), w.strip());
    QCOMPARE(w.addressBox()->pos(), QPoint(toPixels(50), toPixels(330)));
    QVERIFY(w.addressBox()->isEditable());

    // The browser begins where the address strip ends, so the two never overlap.
    const QRect page = w.browser->geometry();
    QCOMPARE(w.browser->objectName(), QStringLiteral("brwWebBrowser"));
    QCOMPARE(w.browser->parentWidget(), w.window.get());
    QCOMPARE(page.topLeft(), QPoint(toPixels(45), w.strip()->geometry().bottom() + 1));
    QVERIFY(!page.intersects(w.strip()->geometry()));
    QVERIFY(!w.timer()->isSingleShot());
    QCOMPARE(w.timer()->interval(), 5);
}

void TestBrowserWindow::toolBarButtons()
{
    Window w(kStart);
    QCOMPARE(w.toolBar()->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
    QCOMPARE(w.toolBar()->iconSize(), QSize(24, 24));

    const QStringList keys = {"Back", "Forward", "Stop", "Refresh", "Home"};
    const QList<QAction*> actions = w.toolBar()->actions();
    QCOMPARE(actions.size(), keys.size());
    for (int i = 0; i < keys.size(); ++i) {
        QAction* action = actions.at(i);
        QCOMPARE(action->data().toString(), keys.at(i));
        QCOMPARE(action->text(), keys.at(i));
        QVERIFY(action->isEnabled() && action->isVisible());
        const QImage picture = action->icon().pixmap(24, 24).toImage();
        QCOMPARE(picture.size(), QSize(24, 24));
        QVERIFY2(picture.pixelColor(12, 12).alpha() > 0, qPrintable(keys.at(i)));
        QVERIFY2(picture.pixelColor(0, 0).alpha() == 0, qPrintable(keys.at(i)));

        // Every button shows its caption as tool tip, except Home, which has none.
        QWidget* button = w.toolBar()->widgetForAction(action);
        QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), button->mapToGlobal(QPoint(5, 5)));
        QToolTip::hideText();
        QTRY_VERIFY(!QToolTip::isVisible());
        QApplication::sendEvent(button, &help);
        const bool home = keys.at(i) == QLatin1String("Home");
        QCOMPARE(QToolTip::isVisible(), !home);
        if (!home)
            QCOMPARE(QToolTip::text(), keys.at(i));
    }
    QToolTip::hideText();
    QVERIFY(!w.window->windowIcon().pixmap(72, 72).isNull());
}

void TestBrowserWindow::keyboardReachesTheAddressBox()
{
    Window w(kStart);
    w.window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.window.get()));

    w.browser->setFocus();
    QTest::keyClick(w.browser, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), w.addressBox());

    w.browser->setFocus();
    QTest::keyClick(w.window.get(), Qt::Key_A, Qt::AltModifier);
    QCOMPARE(QApplication::focusWidget(), w.addressBox());
}

void TestBrowserWindow::emptyStartingAddressLoadsNothing()
{
    Window w{QString()};
    QCOMPARE(w.caption(), QString());
    QCOMPARE(w.addressBox()->pos(), QPoint(toPixels(50), toPixels(330)));
    QCOMPARE(w.addressBox()->currentText(), QStringLiteral("Combo1"));
    QCOMPARE(w.addressBox()->count(), 0);
    QVERIFY(w.browser->calls.isEmpty());
    QVERIFY(!w.timer()->isActive());
}

void TestBrowserWindow::loadNavigatesToTheStartingAddress()
{
    Window w(kStart, false);
    QVERIFY(w.browser->calls.isEmpty()); // nothing happens before the window shows
    w.window->show();
    QCOMPARE(w.browser->navigations, QStringList{kStart});
    QCOMPARE(w.addressBox()->currentText(), kStart);
    QCOMPARE(w.history(), QStringList{kStart});
    QVERIFY(w.timer()->isActive());

    w.window->hide();
    w.window->show(); // showing again does not load again
    QCOMPARE(w.browser->navigations.size(), 1);
}

void TestBrowserWindow::startingAddressIsFixedOnceLoaded()
{
    Window w(kStart);
    w.window->setStartingAddress(QStringLiteral("http://later.test/"));
    QCOMPARE(w.window->StartingAddress(), kStart);
    QCOMPARE(w.window->property("StartingAddress").toString(), kStart);
    QCOMPARE(w.browser->navigations, QStringList{kStart});
}

void TestBrowserWindow::historyPutsEachCompletedAddressOnTop()
{
    Window w(kStart);
    w.browser->complete(kStart, "Start");
    QCOMPARE(w.history(), QStringList{kStart}); // found, moved, not doubled

    const QString a = "http://a.test/", b = "http://b.test/", c = "http://c.test/";
    for (const QString& address : {a, b, c})
        w.browser->complete(address, address);
    QCOMPARE(w.history(), (QStringList{c, b, a, kStart}));

    // A known address moves to the top; the number of entries stays the same.
    w.browser->complete(a, "A again");
    QCOMPARE(w.history(), (QStringList{a, c, b, kStart}));
    QCOMPARE(w.addressBox()->currentIndex(), 0);
    QCOMPARE(w.addressBox()->currentText(), a);
    QCOMPARE(w.caption(), QStringLiteral("A again"));

    w.browser->complete(kStart, "Start");
    QCOMPARE(w.history(), (QStringList{kStart, a, c, b}));

    // There is no limit on the number of entries.
    for (int i = 0; i < 60; ++i)
        w.browser->complete(QStringLiteral("http://n%1.test/").arg(i), "n");
    QCOMPARE(w.addressBox()->count(), 64);
    QCOMPARE(w.history().last(), b);

    // Moving entries around never navigates by itself.
    QCOMPARE(w.browser->navigations, QStringList{kStart});
}

void TestBrowserWindow::historyKeepsLetterCaseApart()
{
    Window w(kStart);
    const QString upper = "http://case.test/Page", lower = "http://case.test/page";
    w.browser->complete(upper, "Upper");
    w.browser->complete(lower, "Lower");
    QCOMPARE(w.history(), (QStringList{lower, upper, kStart}));
    w.browser->complete(upper, "Upper");
    QCOMPARE(w.history(), (QStringList{upper, lower, kStart}));
}

void TestBrowserWindow::historyKeepsTheAddressAsTyped()
{
    Window w(QStringLiteral("example.test"));
    QCOMPARE(w.history(), QStringList{"example.test"});
    w.browser->complete("http://example.test/", "Example");
    QCOMPARE(w.history(), (QStringList{"http://example.test/", "example.test"}));
    QCOMPARE(w.addressBox()->currentText(), QStringLiteral("http://example.test/"));
}

void TestBrowserWindow::framesDoNotGrowTheHistory()
{
    Window w(kStart);
    w.browser->complete(kStart, "Start");
    w.browser->complete("http://framed.test/", "Framed", 3);
    QCOMPARE(w.history(), (QStringList{"http://framed.test/", kStart}));
    QCOMPARE(w.caption(), QStringLiteral("Framed"));
}

void TestBrowserWindow::entryChosenFromTheListNavigatesOnce()
{
    Window w(kStart);
    const QString a = "http://a.test/", b = "http://b.test/";
    w.browser->complete(kStart, "Start");
    w.browser->complete(a, "A");
    w.browser->complete(b, "B");
    w.settle();
    w.browser->navigations.clear();

    w.choose(2);
    QCOMPARE(w.browser->navigations, QStringList{kStart});
    QVERIFY(w.timer()->isActive());

    // Selecting the entry again from code when the page arrives navigates no more.
    w.browser->complete(kStart, "Start");
    QCOMPARE(w.history(), (QStringList{kStart, b, a}));
    QCOMPARE(w.addressBox()->currentText(), kStart);
    QTest::qWait(20);
    QCOMPARE(w.browser->navigations, QStringList{kStart});

    // Choosing the entry that is already selected navigates too (a reload of it).
    w.choose(0);
    QCOMPARE(w.browser->navigations, (QStringList{kStart, kStart}));
}

void TestBrowserWindow::selectionEventDuringTheRewriteNavigatesNowhere()
{
    Window w(kStart);
    w.browser->complete(kStart, "Start");
    w.settle();
    w.browser->navigations.clear();

    // A box that raises its selection event for every selection made by code
    // raises it in the middle of the history rewrite: it must not navigate.
    int raised = 0;
    QComboBox* box = w.addressBox();
    const auto hook = connect(box, &QComboBox::currentIndexChanged, box, [&](int index) {
        ++raised;
        emit box->activated(index);
    });
    const QString a = "http://a.test/";
    w.browser->complete(a, "A");          // a new entry on top
    w.browser->complete(kStart, "Start"); // a known entry moved to the top
    disconnect(hook);
    QVERIFY(raised >= 2);
    QCOMPARE(w.browser->navigations, QStringList());
    QCOMPARE(w.history(), (QStringList{kStart, a}));

    // Outside the rewrite the event navigates as usual.
    emit box->activated(0);
    QCOMPARE(w.browser->navigations, QStringList{kStart});
}

void TestBrowserWindow::mouseWheelOverTheAddressBoxNavigatesNowhere()
{
    Window w(kStart);
    w.browser->complete(kStart, "Start");
    w.browser->complete("http://a.test/", "A");
    w.settle();
    w.browser->navigations.clear();

    const QList<QWidget*> targets{w.addressBox(), w.addressBox()->lineEdit()};
    for (QWidget* target : targets) {
        target->setFocus();
        const QPointF at(target->rect().center());
        for (int delta : {-120, 120}) {
            QWheelEvent wheel(at, target->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton,
                              Qt::NoModifier, Qt::NoScrollPhase, false);
            QApplication::sendEvent(target, &wheel);
        }
    }
    QCOMPARE(w.addressBox()->currentIndex(), 0);
    QCOMPARE(w.browser->navigations, QStringList());
}

void TestBrowserWindow::enterNavigatesToTheTypedText()
{
    Window w(kStart);
    w.browser->complete(kStart, "Start");
    w.settle();
    w.browser->navigations.clear();

    w.typeAndEnter("typed.test/x");
    QCOMPARE(w.browser->navigations, QStringList{"typed.test/x"});
    QVERIFY(w.timer()->isActive());
    QCOMPARE(w.history(), QStringList{kStart}); // the list waits for the browser

    w.browser->complete("http://typed.test/x", "Typed");
    QCOMPARE(w.history(), (QStringList{"http://typed.test/x", kStart}));
    QCOMPARE(w.addressBox()->currentText(), QStringLiteral("http://typed.test/x"));

    // Typing an address that the list holds navigates once, like any other.
    w.typeAndEnter(kStart);
    QCOMPARE(w.browser->navigations, (QStringList{"typed.test/x", kStart}));
}

void TestBrowserWindow::committingTypedTextDoesNotNavigate()
{
    Window w(kStart);
    w.browser->complete(kStart, "Start");
    w.browser->complete("http://a.test/", "A");
    w.settle();
    w.window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.window.get()));
    w.browser->navigations.clear();

    // Typing an entry's text and leaving the box is no choice from the list.
    w.addressBox()->setFocus();
    w.addressBox()->lineEdit()->selectAll();
    QTest::keyClicks(w.addressBox(), kStart);
    w.browser->setFocus();
    QTest::qWait(20);
    QVERIFY(w.browser->navigations.isEmpty());

    // Other keys do nothing here.
    w.addressBox()->setFocus();
    QTest::keyClicks(w.addressBox(), "abc");
    QTest::keyClick(w.addressBox(), Qt::Key_Escape);
    QCOMPARE(w.addressBox()->currentText(), kStart + "abc");
    QVERIFY(w.browser->navigations.isEmpty());
}

void TestBrowserWindow::captionFollowsTheBusyBrowser()
{
    Window w(kStart);
    QVERIFY(w.timer()->isActive());
    QTRY_COMPARE(w.caption(), QStringLiteral("Working..."));
    QTest::qWait(30);
    QVERIFY(w.timer()->isActive()); // it goes on polling while the browser is busy

    w.browser->url = kStart;
    w.browser->name = "Start page";
    w.browser->busy = false;
    QTRY_VERIFY(!w.timer()->isActive());
    QCOMPARE(w.caption(), QStringLiteral("Start page"));

    // A completed download updates the caption on its own.
    w.browser->name = "Renamed";
    emit w.browser->DownloadComplete();
    QCOMPARE(w.caption(), QStringLiteral("Renamed"));
}

void TestBrowserWindow::stopSettlesTheCaptionAtOnce()
{
    Window w(kStart);
    QTRY_COMPARE(w.caption(), QStringLiteral("Working..."));
    w.browser->name = "Half loaded";

    w.press("Stop");
    QVERIFY(!w.timer()->isActive());
    QCOMPARE(w.caption(), QStringLiteral("Half loaded"));
    QCOMPARE(w.browser->calls.last(), QStringLiteral("Stop"));
}

void TestBrowserWindow::backAndForwardWithoutHistoryChangeNothing()
{
    Window w(kStart);
    w.browser->complete(kStart, "Start");
    w.settle();
    w.browser->calls.clear();

    for (const QString key : {"Back", "Forward"}) {
        w.press(key);
        QVERIFY(w.timer()->isActive());
        QTRY_VERIFY(!w.timer()->isActive());
        QCOMPARE(w.caption(), QStringLiteral("Start"));
        QCOMPARE(w.history(), QStringList{kStart});
        QCOMPARE(w.addressBox()->currentText(), kStart);
    }
    QCOMPARE(w.browser->calls, (QStringList{"GoBack", "GoForward"}));
    QVERIFY(w.browser->navigations.size() == 1);
}

void TestBrowserWindow::buttonsReachTheBrowser()
{
    Window w(kStart);
    w.window->setHomeAddress("http://home.test/");
    QCOMPARE(w.window->homeAddress(), QStringLiteral("http://home.test/"));
    w.browser->complete(kStart, "Start");
    w.browser->canGoBack = w.browser->canGoForward = true;
    w.browser->calls.clear();

    for (const QString key : {"Back", "Forward", "Refresh", "Home"}) {
        w.settle();
        w.press(key);
        QVERIFY2(w.timer()->isActive(), qPrintable(key));
    }
    QCOMPARE(w.browser->calls, (QStringList{"GoBack", "GoForward", "Refresh", "GoHome",
                                            "Navigate http://home.test/"}));
}

void TestBrowserWindow::unknownKeyDoesNothingMore()
{
    Window w(kStart);
    w.browser->complete(kStart, "Start");
    w.settle();
    w.browser->calls.clear();

    // Keys are compared exactly: "back" is no "Back".
    for (const QString key : {"back", "HOME", "Print", ""}) {
        QAction stranger(key);
        stranger.setData(key);
        emit w.toolBar()->actionTriggered(&stranger);
        QVERIFY(w.timer()->isActive()); // the next tick settles the caption
        QTRY_VERIFY(!w.timer()->isActive());
    }
    QVERIFY(w.browser->calls.isEmpty());
    QCOMPARE(w.caption(), QStringLiteral("Start"));
}

void TestBrowserWindow::resizeKeepsTheMargins()
{
    // Worked out by hand: the 100-twip margin is 6 2/3 pixels, and the address
    // strip ends 1485 twips (99 pixels) down; sizes round to whole pixels.
    struct Expected
    {
        QSize client;
        int width;         // of the address box and the browser
        int browserHeight; // the client height less 99 and 6 2/3
    };
    Window w(kStart);
    for (const Expected& e :
         {Expected{QSize(600, 500), 593, 394}, Expected{QSize(300, 200), 293, 94},
          Expected{QSize(1000, 160), 993, 54}}) {
        const QSize client = e.client;
        w.window->resize(client);
        QTRY_COMPARE(w.window->size(), client);
        QCOMPARE(w.addressBox()->width(), e.width);
        QCOMPARE(w.browser->width(), e.width);
        QCOMPARE(w.browser->height(), e.browserHeight);
        QCOMPARE(w.toolBar()->width(), client.width());
        QCOMPARE(w.strip()->width(), client.width());
        QCOMPARE(w.addressBox()->pos(), QPoint(toPixels(50), toPixels(330))); // not moved
    }
}

void TestBrowserWindow::tinyWindowKeepsPreviousSizes()
{
    Window w(kStart);
    w.window->resize(400, 300);
    QTRY_COMPARE(w.window->size(), QSize(400, 300));

    // Too short for the browser, still wide enough for the margins.
    w.window->resize(400, 90);
    QTRY_COMPARE(w.window->size(), QSize(400, 90));
    QCOMPARE(w.browser->height(), 194); // as at 400 x 300
    QCOMPARE(w.browser->width(), 393);

    // Narrower than the margins: the widths stay as they were.
    w.window->resize(5, 90);
    QTRY_COMPARE(w.window->size(), QSize(5, 90));
    QCOMPARE(w.addressBox()->width(), 393);
    QCOMPARE(w.browser->width(), 393);
}

void TestBrowserWindow::releaseHidesTheMarker()
{
    QWidget chat;
    auto* marker = new QWidget(&chat);
    chat.show();
    marker->show();

    Window w(kStart);
    w.window->setMarker(marker);
    w.window->close(); // closed, but not yet released
    QVERIFY(marker->isVisible());
    w.window.reset();
    QVERIFY(!marker->isVisible());
    QVERIFY(chat.isVisible());
}

void TestBrowserWindow::releaseLeavesAGoneMarkerAlone()
{
    {
        // The chat window closed while the web window stays open: the marker
        // is hidden all the same, so that it stays hidden should the chat
        // window show again, and the chat window stays closed.
        QWidget chat;
        auto* marker = new QWidget(&chat);
        chat.show();
        marker->show();
        Window w(kStart);
        w.window->setMarker(marker);
        chat.close();
        QVERIFY(!marker->isHidden());
        w.window.reset();
        QVERIFY(marker->isHidden());
        QVERIFY(!chat.isVisible());
    }

    // The chat window gone before the web window: its marker is not touched,
    // and the release makes and shows no window.
    auto chat = std::make_unique<QWidget>();
    auto* marker = new QWidget(chat.get());
    Window w(kStart);
    w.window->setMarker(marker);
    chat.reset();
    const QWidgetList before = QApplication::topLevelWidgets();
    QWidget* web = w.window.get();
    w.window.reset();
    // Some of those went with the web window (its list's popup); none came.
    const QWidgetList after = QApplication::topLevelWidgets();
    QVERIFY(!after.contains(web));
    for (QWidget* widget : after) {
        QVERIFY2(before.contains(widget), qPrintable(widget->metaObject()->className()));
        QVERIFY2(!widget->isVisible(), qPrintable(widget->objectName()));
    }
}

QTEST_MAIN(TestBrowserWindow)
#include "tst_browser_window.moc"
