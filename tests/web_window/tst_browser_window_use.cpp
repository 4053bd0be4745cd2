// SPDX-License-Identifier: GPL-3.0-or-later
// The web window as a person meets it: where the focus starts and how the
// toolbar's buttons line up.

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
};

QTEST_MAIN(TestBrowserWindowUse)
#include "tst_browser_window_use.moc"
