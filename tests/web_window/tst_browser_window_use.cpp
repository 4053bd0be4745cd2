// SPDX-License-Identifier: GPL-3.0-or-later
// The web window as a person meets it: where the focus starts, how the
// toolbar's buttons line up, and the keyboard instead of the mouse.

#include "fake_browser.h"
#include "frm_browser.h"
#include "twips.h"
#include "web_window_driver.h"

#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <QToolBar>
#include <QToolButton>

#include <memory>

using svw::frmBrowser;
using svw::test::FakeBrowser;
using svw::twips::toPixels;

class TestBrowserWindowUse : public QObject
{
    Q_OBJECT

private slots:
    void firstFocusIsThePage()
    {
        auto* browser = new FakeBrowser;
        WebWindowDriver w(std::make_unique<frmBrowser>(browser));
        w.window->setStartingAddress(QStringLiteral("http://start.test/"));
        w.window->show();
        w.window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(w.window.get()));
        QCOMPARE(QApplication::focusWidget(), browser);

        // Typing goes to the page, not over the address.
        QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("abc"));
        QCOMPARE(w.addressBox()->currentText(), QStringLiteral("http://start.test/"));
    }

    void toolBarButtonsAreEqual_data()
    {
        QTest::addColumn<QString>("font");
        QTest::newRow("platform font") << QString();
        QTest::newRow("large font") << QStringLiteral("16");
    }
    void toolBarButtonsAreEqual()
    {
        QFETCH(QString, font);
        const QFont before = QApplication::font();
        if (!font.isEmpty()) {
            QFont large = before;
            large.setPointSize(font.toInt());
            QApplication::setFont(large);
        }
        WebWindowDriver w(std::make_unique<frmBrowser>(new FakeBrowser));
        w.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.window.get()));

        QList<int> widths;
        int widestCaption = 0;
        for (QAction* action : w.toolBar()->actions()) {
            auto* button = qobject_cast<QToolButton*>(w.toolBar()->widgetForAction(action));
            QVERIFY(button);
            widths.append(button->width());
            // What the button needs for its picture and its caption.
            widestCaption = std::max(widestCaption, button->sizeHint().width());
        }
        QApplication::setFont(before);

        for (int width : widths) {
            QCOMPARE(width, widths.first());
            QVERIFY(width >= toPixels(720));
            QVERIFY(width >= widestCaption);
        }
    }

    // The keys every browser has work from the page and from the address box,
    // and reach the same handler as the buttons (the caption and the busy
    // poll follow).
    void keysRunTheToolbarCommands_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<QString>("call");
        QTest::newRow("Alt+Left") << int(Qt::Key_Left) << int(Qt::AltModifier) << "GoBack";
        QTest::newRow("Alt+Right") << int(Qt::Key_Right) << int(Qt::AltModifier) << "GoForward";
        QTest::newRow("F5") << int(Qt::Key_F5) << int(Qt::NoModifier) << "Refresh";
        QTest::newRow("Ctrl+R") << int(Qt::Key_R) << int(Qt::ControlModifier) << "Refresh";
        QTest::newRow("Escape") << int(Qt::Key_Escape) << int(Qt::NoModifier) << "Stop";
        QTest::newRow("Alt+Home") << int(Qt::Key_Home) << int(Qt::AltModifier) << "GoHome";
    }
    void keysRunTheToolbarCommands()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(QString, call);
        auto* browser = new FakeBrowser;
        WebWindowDriver w(std::make_unique<frmBrowser>(browser));
        w.window->setStartingAddress(QStringLiteral("http://start.test/"));
        w.window->show();
        w.window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(w.window.get()));
        browser->complete(QStringLiteral("http://start.test/"), QStringLiteral("Start"));

        for (QWidget* focus : QList<QWidget*>{browser, w.addressBox()->lineEdit()}) {
            focus->setFocus();
            browser->calls.clear();
            QTest::keyClick(focus, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
            QVERIFY2(browser->calls.contains(call),
                     qPrintable(focus->objectName() + ": " + browser->calls.join(", ")));
        }
        // Typing in the address box is not taken for a command.
        w.addressBox()->lineEdit()->setFocus();
        browser->calls.clear();
        QTest::keyClicks(w.addressBox()->lineEdit(), QStringLiteral("r"));
        QVERIFY(browser->calls.isEmpty());
    }

    // Tab reaches every toolbar button after the address box, each named and
    // telling its key.
    void tabReachesTheToolbar()
    {
        auto* browser = new FakeBrowser;
        WebWindowDriver w(std::make_unique<frmBrowser>(browser));
        w.window->show();
        w.window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(w.window.get()));
        w.addressBox()->lineEdit()->setFocus();
        QStringList reached;
        for (int i = 0; i < 5; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            reached << QApplication::focusWidget()->accessibleName();
        }
        QCOMPARE(reached, QStringList({"Back", "Forward", "Stop", "Refresh", "Home"}));
        auto* home = qobject_cast<QToolButton*>(QApplication::focusWidget());
        QVERIFY(home);
        QVERIFY2(home->accessibleDescription().contains(QStringLiteral("Alt+Home")),
                 qPrintable(home->accessibleDescription()));
        // Space on a focused button runs it.
        browser->calls.clear();
        QTest::keyClick(home, Qt::Key_Space);
        QCOMPARE(browser->calls.value(0), QStringLiteral("GoHome"));
    }
};

QTEST_MAIN(TestBrowserWindowUse)
#include "tst_browser_window_use.moc"
