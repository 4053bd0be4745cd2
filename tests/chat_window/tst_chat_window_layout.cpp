// SPDX-License-Identifier: GPL-3.0-or-later
// The chat window as it comes up: its controls, menu, prefix list, placement
// and link.

#include "alwayz_on_top.h"
#include "chat_window_test_support.h"
#include "solvane.h"

#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <QTest>

using namespace svw;
using svw::testing::FakeRoom;

class ChatWindowLayout : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_room = new FakeRoom;
        m_window = new Solvane(m_room);
    }
    void cleanup() { delete m_window.data(); }

    void window()
    {
        QCOMPARE(m_window->objectName(), QStringLiteral("Solvane"));
        QCOMPARE(m_window->windowTitle(), QStringLiteral("Solvane Veilwire"));
        QVERIFY(m_window->testAttribute(Qt::WA_DeleteOnClose));
        const QPixmap icon = m_window->windowIcon().pixmap(32, 32);
        QVERIFY(!icon.isNull());
        QCOMPARE(icon.size(), QSize(32, 32));
        // Transparent around the triangle, opaque inside it.
        const QImage image = icon.toImage();
        QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
        QCOMPARE(qAlpha(image.pixel(16, 22)), 255);
        QCOMPARE(m_window->findChild<ChatRoomControl*>(QStringLiteral("Chat1")), m_room);
        QCOMPARE(m_room->parent(), m_window.data());
    }

    void controls_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QRect>("pixels");
        QTest::addColumn<QString>("text");
        // Twips / 15, from the top left corner of the area under the menu.
        QTest::newRow("cmdClear") << "cmdClear"
                                  << "QPushButton" << QRect(288, 200, 49, 17) << "Clear";
        QTest::newRow("cmdSend") << "cmdSend"
                                 << "QPushButton" << QRect(240, 224, 73, 17) << "&Send";
        QTest::newRow("txtSend") << "txtSend"
                                 << "QLineEdit" << QRect(0, 224, 233, 19) << "";
        QTest::newRow("cbPre") << "cbPre"
                               << "QComboBox" << QRect(224, 200, 57, 21) << "-|?|-";
        QTest::newRow("pw") << "pw"
                            << "QLineEdit" << QRect(56, 200, 129, 19) << "";
        QTest::newRow("txtSaid") << "txtSaid"
                                 << "QPlainTextEdit" << QRect(0, 0, 337, 193) << "";
        QTest::newRow("shape") << "shape"
                               << "QFrame" << QRect(80, 248, 177, 17) << "";
        QTest::newRow("Web") << "Web"
                             << "QLabel" << QRect(88, 248, 169, 17) << "example.com/";
        QTest::newRow("Label2") << "Label2"
                                << "QLabel" << QRect(0, 200, 49, 17) << "Password:";
        QTest::newRow("Label1") << "Label1"
                                << "QLabel" << QRect(192, 200, 33, 17) << "Prefix";
    }

    void controls()
    {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(QRect, pixels);
        QFETCH(QString, text);

        auto* control = m_window->findChild<QWidget*>(name);
        QVERIFY(control);
        QCOMPARE(control->metaObject()->className(), kind.toLatin1());
        QCOMPARE(control->parentWidget(), m_window->centralWidget());
        QCOMPARE(control->geometry(), pixels);

        QString shown;
        if (auto* button = qobject_cast<QPushButton*>(control))
            shown = button->text();
        else if (auto* edit = qobject_cast<QLineEdit*>(control))
            shown = edit->text();
        else if (auto* combo = qobject_cast<QComboBox*>(control))
            shown = combo->currentText();
        else if (auto* box = qobject_cast<QPlainTextEdit*>(control))
            shown = box->toPlainText();
        else if (auto* label = qobject_cast<QLabel*>(control))
            shown = label->text();
        QCOMPARE(shown, text);

        // Every caption shows whole within the designed size.
        if (!text.isEmpty() && !qobject_cast<QLineEdit*>(control) &&
            !qobject_cast<QComboBox*>(control)) {
            QString caption = text;
            caption.remove(QLatin1Char('&'));
            QVERIFY2(QFontMetrics(control->font()).horizontalAdvance(caption) <= pixels.width(),
                     qPrintable(caption));
        }

        // Labels and the marker never take the focus; the link is reached
        // with Tab only.
        if (name == QLatin1String("Web"))
            QCOMPARE(control->focusPolicy(), Qt::TabFocus);
        else if (qobject_cast<QLabel*>(control) || name == QLatin1String("shape"))
            QCOMPARE(control->focusPolicy(), Qt::NoFocus);
    }

    void clientAreaStartsUnderTheMenu()
    {
        const QWidget* client = m_window->centralWidget();
        QVERIFY(m_window->menuBar()->isVisible());
        QCOMPARE(client->y(), m_window->menuBar()->geometry().bottom() + 1);
        QCOMPARE(client->x(), 0);
    }

    void boxSettings()
    {
        auto* said = m_window->findChild<QPlainTextEdit*>(QStringLiteral("txtSaid"));
        QVERIFY(said->isReadOnly());
        QVERIFY(said->textInteractionFlags().testFlag(Qt::TextSelectableByMouse));
        QCOMPARE(said->lineWrapMode(), QPlainTextEdit::WidgetWidth);
        QCOMPARE(said->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);

        auto* pw = m_window->findChild<QLineEdit*>(QStringLiteral("pw"));
        QCOMPARE(pw->echoMode(), QLineEdit::Password);
        QVERIFY(!pw->testAttribute(Qt::WA_InputMethodEnabled));
        pw->setText(QStringLiteral("secret"));
        QCOMPARE(pw->displayText(), QStringLiteral("******"));

        auto* pre = m_window->findChild<QComboBox*>(QStringLiteral("cbPre"));
        QVERIFY(pre->isEditable());
        QVERIFY(!pre->completer());
        QCOMPARE(pre->insertPolicy(), QComboBox::NoInsert);

        auto* send = m_window->findChild<QPushButton*>(QStringLiteral("cmdSend"));
        QVERIFY(send->isDefault());

        // No length limit on the outgoing text and the password.
        const QString longText(40000, QLatin1Char('x'));
        auto* out = m_window->findChild<QLineEdit*>(QStringLiteral("txtSend"));
        out->setText(longText);
        pw->setText(longText);
        QCOMPARE(out->text().size(), longText.size());
        QCOMPARE(pw->text().size(), longText.size());
    }

    void link()
    {
        auto* web = m_window->findChild<QLabel*>(QStringLiteral("Web"));
        QCOMPARE(web->palette().color(QPalette::WindowText), QColor(0, 0, 192));
        QCOMPARE(web->alignment(), Qt::AlignCenter);
        QVERIFY(!web->font().underline());
        QCOMPARE(web->cursor().shape(), Qt::ArrowCursor);

        auto* shape = m_window->findChild<QFrame*>(QStringLiteral("shape"));
        QCOMPARE(shape->frameShape(), QFrame::Box);
        QVERIFY(shape->isHidden());

        // A click shows the marker and hands the page and the marker to
        // whoever opens web windows, once per click.
        QStringList opened;
        m_window->setWebWindowOpener([&](const QString& address, QWidget* marker) {
            QCOMPARE(marker, shape);
            QVERIFY(marker->isVisible());
            opened.append(address);
        });
        QTest::mouseClick(web, Qt::LeftButton);
        QTest::mouseClick(web, Qt::LeftButton);
        QCOMPARE(opened, QStringList(2, QStringLiteral("http://example.com/")));
        QVERIFY(shape->isVisible());

        // Pressing on the link and letting go elsewhere is no click.
        QTest::mousePress(web, Qt::LeftButton);
        QTest::mouseRelease(web, Qt::LeftButton, {}, QPoint(-5, -5));
        QCOMPARE(opened.size(), 2);
    }

    void menu()
    {
        QList<QAction*> items = m_window->menuBar()->actions();
        // The sealing switch stands after the four items, whole on the bar.
        QVERIFY(!items.isEmpty());
        QAction* seal = items.takeLast();
        QCOMPARE(seal->objectName(), QStringLiteral("mnuSeal"));
        QCOMPARE(seal->text(), QStringLiteral("Seal"));
        QVERIFY(seal->isCheckable() && !seal->isChecked());
        // The bar takes a smaller font when all of it does not fit beside its
        // corner.
        QMenuBar* bar = m_window->menuBar();
        if (QWidget* corner = bar->cornerWidget(Qt::TopRightCorner))
            QTRY_VERIFY(!corner->geometry().intersects(bar->actionGeometry(seal)));
        QVERIFY(bar->rect().contains(bar->actionGeometry(seal)));
        QVERIFY(bar->font().pointSizeF() >= 6.0);
        // Its state shows at a glance in the conversation box's colour.
        auto* said = m_window->findChild<QPlainTextEdit*>(QStringLiteral("txtSaid"));
        const QColor plain = said->palette().color(QPalette::Base);
        seal->trigger();
        QVERIFY(seal->isChecked());
        QVERIFY(said->palette().color(QPalette::Base) != plain);
        seal->trigger();
        QCOMPARE(said->palette().color(QPalette::Base), plain);

        QStringList names;
        QStringList captions;
        for (QAction* item : items) {
            names.append(item->objectName());
            captions.append(item->text());
            QVERIFY(!item->menu());
            QVERIFY(item->shortcut().isEmpty());
            QVERIFY(!item->isCheckable());
            QVERIFY(item->isEnabled());
            QVERIFY(item->isVisible());
        }
        QCOMPARE(names, (QStringList{"mnuDE", "mnuStop", "mnuHelp", "mnuExit"}));
        QCOMPARE(captions, (QStringList{"Listen for Decrypt", "Stop Listening", "Help", "Exit"}));
    }

    void prefixList()
    {
        auto* pre = m_window->findChild<QComboBox*>(QStringLiteral("cbPre"));
        QStringList entries;
        for (int i = 0; i < pre->count(); ++i)
            entries.append(pre->itemText(i));
        QCOMPARE(entries, (QStringList{"-|?|-", "-=+=-", "''!''", QString::fromUtf8("ºªÑªº")}));
        QCOMPARE(pre->currentText(), QStringLiteral("-|?|-"));
    }

    void tabOrder()
    {
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        auto* said = m_window->findChild<QWidget*>(QStringLiteral("txtSaid"));
        said->setFocus(Qt::TabFocusReason);
        QStringList visited;
        for (int i = 0; i < 8; ++i) {
            QWidget* focus = QApplication::focusWidget();
            QVERIFY(focus);
            // The prefix box holds the focus through its line edit.
            if (qobject_cast<QComboBox*>(focus->parentWidget()))
                focus = focus->parentWidget();
            visited.append(focus->objectName());
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        QCOMPARE(visited, (QStringList{"txtSaid", "pw", "cbPre", "txtSend", "cmdSend", "Web",
                                       "cmdClear", "roomIndicator"}));
        QCOMPARE(QApplication::focusWidget(), said);
    }

    void placement()
    {
        QVERIFY(m_window->isVisible());
        QVERIFY(m_window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(m_window->testAttribute(Qt::WA_ShowWithoutActivating));
        // Without a window manager there is no frame: the outer size is the
        // window's own.
        QCOMPARE(m_window->frameGeometry(), QRect(100, 100, 345, 315));
        QVERIFY(!m_window->isActiveWindow());
    }

    void placementCall()
    {
        namespace P = AlwayzOnTop;
        QWidget other;
        P::SetWindowPos(&other, P::HWND_TOPMOST, 30, 40, 200, 150,
                        P::SWP_SHOWWINDOW | P::SWP_NOACTIVATE);
        QVERIFY(other.isVisible());
        QVERIFY(other.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QCOMPARE(other.frameGeometry(), QRect(30, 40, 200, 150));

        // Taking the window off the top keeps it shown; "no move" and "no
        // size" keep the place and the size.
        P::SetWindowPos(&other, P::HWND_NOTOPMOST, 0, 0, 10, 10, P::SWP_NOMOVE | P::SWP_NOSIZE);
        QVERIFY(!other.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(other.isVisible());
        QCOMPARE(other.frameGeometry(), QRect(30, 40, 200, 150));
        QVERIFY(!other.testAttribute(Qt::WA_ShowWithoutActivating));
    }

    void closingDestroysWindowAndRoom()
    {
        QPointer<ChatRoomControl> room = m_room;
        QWidget webWindowStandIn;
        webWindowStandIn.show();
        m_window->close();
        QTRY_VERIFY(!m_window);
        QVERIFY(!room);
        QVERIFY(webWindowStandIn.isVisible());
    }

private:
    FakeRoom* m_room = nullptr;
    QPointer<Solvane> m_window;
};

QTEST_MAIN(ChatWindowLayout)
#include "tst_chat_window_layout.moc"
