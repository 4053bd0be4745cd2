// SPDX-License-Identifier: GPL-3.0-or-later
// The chat window for screen readers, on a dark desktop, and what it shows of
// the room: names and descriptions, the link and the menu bar from the
// keyboard, the link's contrast, and the room indicator.

#include "chat_window_test_support.h"
#include "link_colour.h"
#include "room_indicator.h"
#include "solvane.h"

#include <QAccessible>
#include <QComboBox>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTest>

using namespace svw;
using svw::testing::FakeRoom;

namespace {

// A room whose standing the test moves, as a real room moves its own.
class StandingRoom : public FakeRoom
{
public:
    QString roomDescription() const override { return description; }
    void stand(RoomState state) { setRoomState(state); }
    QString description = QStringLiteral("#grove on irc.example.net as ann");
};

QPalette darkPalette()
{
    QPalette dark;
    const QColor window(0x35, 0x35, 0x35);
    dark.setColor(QPalette::Window, window);
    dark.setColor(QPalette::WindowText, Qt::white);
    dark.setColor(QPalette::Base, QColor(0x2a, 0x2a, 0x2a));
    dark.setColor(QPalette::Text, Qt::white);
    dark.setColor(QPalette::Button, window);
    dark.setColor(QPalette::ButtonText, Qt::white);
    return dark;
}

QString accessibleText(QObject* object, QAccessible::Text which)
{
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(object);
    return face ? face->text(which) : QStringLiteral("<no interface>");
}

// Where a screen reader finds `object` going down from the window: the bar
// must list it among its children, at the index it says.
QAccessibleInterface* barChildFor(QMenuBar* bar, QObject* object)
{
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(bar);
    for (int i = 0; i < face->childCount(); ++i) {
        QAccessibleInterface* child = face->child(i);
        if (child && child->object() == object) {
            if (face->indexOfChild(child) != i || child->parent() != face)
                return nullptr;
            return child;
        }
    }
    return nullptr;
}

} // namespace

class ChatWindowAccess : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_room = new StandingRoom;
        m_window = new Solvane(m_room);
        m_indicator = m_window->findChild<RoomIndicator*>(QStringLiteral("roomIndicator"));
        QVERIFY(m_indicator);
    }
    void cleanup()
    {
        delete m_window.data();
        QApplication::setPalette(QApplication::style()->standardPalette());
    }

    void everyControlHasANameAndADescription_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("name");
        QTest::newRow("txtSaid") << "txtSaid"
                                 << "Conversation";
        QTest::newRow("pw") << "pw"
                            << "Password";
        QTest::newRow("cbPre") << "cbPre"
                               << "Prefix";
        QTest::newRow("cbPre's edit field") << "cbPre/edit"
                                            << "Prefix";
        QTest::newRow("txtSend") << "txtSend"
                                 << "Text to send";
        QTest::newRow("cmdSend") << "cmdSend"
                                 << "Send";
        QTest::newRow("cmdClear") << "cmdClear"
                                  << "Clear";
        QTest::newRow("Web") << "Web"
                             << "example.com/";
        QTest::newRow("Label2") << "Label2"
                                << "Password:";
        QTest::newRow("Label1") << "Label1"
                                << "Prefix";
    }
    void everyControlHasANameAndADescription()
    {
        QFETCH(QString, control);
        QFETCH(QString, name);
        auto* pre = m_window->findChild<QComboBox*>(QStringLiteral("cbPre"));
        QWidget* widget = control == QLatin1String("cbPre/edit")
                              ? pre->lineEdit()
                              : m_window->findChild<QWidget*>(control);
        QVERIFY(widget);
        QVERIFY(!widget->accessibleDescription().isEmpty());
        QVERIFY(!accessibleText(widget, QAccessible::Description).isEmpty());

        // The prefix box is named by what it is, not by the text it holds.
        pre->setEditText(QStringLiteral("ab"));
        if (widget == pre) {
            // Qt gives a combo box on this platform its text as name and
            // leaves the name to the label that names it: the caption.
            QCOMPARE(widget->accessibleName(), name);
            QAccessibleInterface* face = QAccessible::queryAccessibleInterface(widget);
            const auto labels = face->relations(QAccessible::Label);
            QCOMPARE(labels.size(), 1);
            QCOMPARE(labels[0].first->object()->objectName(), QStringLiteral("Label1"));
            QCOMPARE(labels[0].first->text(QAccessible::Name), name);
            return;
        }
        QCOMPARE(accessibleText(widget, QAccessible::Name), name);
    }

    void menuBarNamesItsItemsAndDescribesTheRoom()
    {
        QAccessibleInterface* bar = QAccessible::queryAccessibleInterface(m_window->menuBar());
        QVERIFY(bar);
        QStringList names;
        for (int i = 0; i < bar->childCount(); ++i)
            names.append(bar->child(i)->text(QAccessible::Name));
        QCOMPARE(names.mid(0, 4),
                 (QStringList{"Listen for Decrypt", "Stop Listening", "Help", "Exit"}));

        // What the corner shows, a screen reader reads from the bar.
        QCOMPARE(bar->text(QAccessible::Description),
                 QStringLiteral("Reaching the room: #grove on irc.example.net as ann\n"
                                "Not listening"));
        m_room->stand(RoomState::Connected);
        m_window->findChild<QAction*>(QStringLiteral("mnuDE"))->trigger();
        QCOMPARE(bar->text(QAccessible::Description),
                 QStringLiteral("In the room: #grove on irc.example.net as ann\n"
                                "Listening for the group's lines"));
    }

    void roomSignIsInTheTree()
    {
        QMenuBar* bar = m_window->menuBar();
        QAccessibleInterface* window = QAccessible::queryAccessibleInterface(m_window);
        QAccessibleInterface* barFace = QAccessible::queryAccessibleInterface(bar);
        QVERIFY(window->indexOfChild(barFace) >= 0);
        QCOMPARE(barFace->childCount(), int(bar->actions().size()) + 1);
        QAccessibleInterface* sign = barChildFor(bar, m_indicator);
        QVERIFY(sign);
        QCOMPARE(sign, QAccessible::queryAccessibleInterface(m_indicator));
        QCOMPARE(sign->text(QAccessible::Name), QStringLiteral("Room"));
        QCOMPARE(sign->text(QAccessible::Description),
                 QStringLiteral("Reaching the room: #grove on irc.example.net as ann\n"
                                "Not listening"));
        // The items keep their places before it.
        for (QAction* action : bar->actions())
            QVERIFY2(barChildFor(bar, action), qPrintable(action->objectName()));
    }

    void sealIsAToggle()
    {
        QMenuBar* bar = m_window->menuBar();
        auto* seal = m_window->findChild<QAction*>(QStringLiteral("mnuSeal"));
        QAccessibleInterface* item = barChildFor(bar, seal);
        QVERIFY(item);
        // A switch, which a screen reader reads as checked or not.
        QCOMPARE(item->role(), QAccessible::CheckBox);
        QCOMPARE(item->text(QAccessible::Name), QStringLiteral("Seal"));
        QVERIFY(item->state().checkable);
        QVERIFY(!item->state().checked);

        // The change is told as it happens: tst_chat_window_speech hears it.
        seal->trigger();
        QVERIFY(item->state().checked);
        QCOMPARE(item->text(QAccessible::Description),
                 QStringLiteral("Sealing is on: lines are sealed"));
        // Pressed by a screen reader, it turns off again.
        item->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QTRY_VERIFY(!seal->isChecked());
        QVERIFY(!item->state().checked);
    }

    void listenAndStopSayWhetherTheWindowListens()
    {
        QMenuBar* bar = m_window->menuBar();
        auto* listen = m_window->findChild<QAction*>(QStringLiteral("mnuDE"));
        auto* stop = m_window->findChild<QAction*>(QStringLiteral("mnuStop"));
        QAccessibleInterface* listenItem = barChildFor(bar, listen);
        QAccessibleInterface* stopItem = barChildFor(bar, stop);
        QVERIFY(listenItem && stopItem);
        // Two choices, one of them on.
        QCOMPARE(listenItem->role(), QAccessible::RadioButton);
        QCOMPARE(stopItem->role(), QAccessible::RadioButton);
        QCOMPARE(QAccessible::queryAccessibleInterface(bar)->child(2)->role(),
                 QAccessible::MenuItem); // Help
        QVERIFY(!listenItem->state().checked);
        QVERIFY(stopItem->state().checked);

        listenItem->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QTRY_VERIFY(m_room->scanning);
        QVERIFY(listenItem->state().checked);
        QVERIFY(!stopItem->state().checked);
        // Choosing Listen again goes on listening: it is no switch that turns off.
        listen->trigger();
        QVERIFY(listenItem->state().checked);
        QVERIFY(!stopItem->state().checked);
        stop->trigger();
        QVERIFY(!listenItem->state().checked);
        QVERIFY(stopItem->state().checked);
    }

    void captionsNameTheirBoxes()
    {
        auto* password = m_window->findChild<QLabel*>(QStringLiteral("Label2"));
        auto* prefix = m_window->findChild<QLabel*>(QStringLiteral("Label1"));
        QCOMPARE(password->buddy(), m_window->findChild<QWidget*>(QStringLiteral("pw")));
        QCOMPARE(prefix->buddy(), m_window->findChild<QWidget*>(QStringLiteral("cbPre")));
    }

    void linkIsAPressableLink()
    {
        auto* web = m_window->findChild<QLabel*>(QStringLiteral("Web"));
        QAccessibleInterface* face = QAccessible::queryAccessibleInterface(web);
        QVERIFY(face);
        QCOMPARE(face->role(), QAccessible::Link);
        QVERIFY(face->state().focusable);
        QAccessibleActionInterface* actions = face->actionInterface();
        QVERIFY(actions);
        QVERIFY(actions->actionNames().contains(QAccessibleActionInterface::pressAction()));

        int opened = 0;
        m_window->setBeeper([] {});
        m_window->setWebWindowOpener([&](const QString&, QWidget*) { ++opened; });
        actions->doAction(QAccessibleActionInterface::pressAction());
        QTRY_COMPARE(opened, 1);
    }

    void altReachesTheMenuBar()
    {
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        QMenuBar* bar = m_window->menuBar();
        QVERIFY(bar->style()->styleHint(QStyle::SH_MenuBar_AltKeyNavigation, nullptr, bar));
        QWidget* focus = QApplication::focusWidget();
        QVERIFY(focus);
        auto* listen = m_window->findChild<QAction*>(QStringLiteral("mnuDE"));
        const QRect first = bar->actionGeometry(listen);
        const QImage atRest = bar->grab(first).toImage();
        QTest::keyPress(focus, Qt::Key_Alt, Qt::AltModifier);
        QTest::keyRelease(focus, Qt::Key_Alt);
        QCOMPARE(bar->activeAction(), listen);
        // The chosen item shows as chosen.
        QVERIFY(bar->grab(first).toImage() != atRest);
        QTest::keyClick(bar, Qt::Key_Right);
        QCOMPARE(bar->activeAction(), m_window->findChild<QAction*>(QStringLiteral("mnuStop")));
        QTest::keyClick(bar, Qt::Key_Return);
        QCOMPARE(m_room->scanning, false);
        QVERIFY(m_indicator->summary().endsWith(QStringLiteral("Not listening")));
    }

    void contrastFollowsTheGuideline()
    {
        QCOMPARE(contrastRatio(Qt::black, Qt::white), 21.0);
        QCOMPARE(contrastRatio(Qt::white, Qt::white), 1.0);
        QCOMPARE(contrastRatio(Qt::white, Qt::black), contrastRatio(Qt::black, Qt::white));
        // Published figures: pure blue on white, and the grey that just
        // misses 4.5:1 on white.
        QVERIFY(qAbs(contrastRatio(QColor(0, 0, 255), Qt::white) - 8.59) < 0.01);
        QVERIFY(qAbs(contrastRatio(QColor(0x77, 0x77, 0x77), Qt::white) - 4.48) < 0.01);
        // The designed blue on a dark window hardly shows.
        QVERIFY(contrastRatio(kDesignedLinkColour, QColor(0x35, 0x35, 0x35)) < 1.1);

        for (const QColor& background :
             {QColor(Qt::white), QColor(0xef, 0xef, 0xef), QColor(0x35, 0x35, 0x35),
              QColor(0x1e, 0x1e, 0x1e), QColor(Qt::black), QColor(0x2b, 0x2b, 0x55)}) {
            QVERIFY2(contrastRatio(linkColourOn(background), background) >= kReadableContrast,
                     qPrintable(background.name()));
        }
        QCOMPARE(linkColourOn(QColor(0xef, 0xef, 0xef)), kDesignedLinkColour);
    }

    void linkReadsOnLightAndDarkWindows()
    {
        auto* web = m_window->findChild<QLabel*>(QStringLiteral("Web"));
        const auto contrast = [&] {
            return contrastRatio(web->palette().color(QPalette::WindowText),
                                 web->parentWidget()->palette().color(QPalette::Window));
        };
        QCOMPARE(web->palette().color(QPalette::WindowText), kDesignedLinkColour);
        QVERIFY(contrast() >= kReadableContrast);

        QApplication::setPalette(darkPalette());
        // Everything else follows the desktop.
        QTRY_COMPARE(web->parentWidget()->palette().color(QPalette::Window),
                     QColor(0x35, 0x35, 0x35));
        QTRY_VERIFY2(contrast() >= kReadableContrast, qPrintable(QString::number(contrast())));

        QApplication::setPalette(QApplication::style()->standardPalette());
        QTRY_COMPARE(web->palette().color(QPalette::WindowText), kDesignedLinkColour);
    }

    void indicatorShowsTheRoom()
    {
        QMenuBar* bar = m_window->menuBar();
        QCOMPARE(bar->cornerWidget(Qt::TopRightCorner), m_indicator);
        QVERIFY(m_indicator->height() <= bar->height());
        QVERIFY(m_indicator->isVisible());
        // In the corner, clear of the last menu item.
        const QRect exit = bar->actionGeometry(m_window->findChild<QAction*>("mnuExit"));
        QVERIFY(m_indicator->geometry().left() > exit.right());
        QVERIFY(bar->width() - 1 - m_indicator->geometry().right() <= 8);

        QCOMPARE(m_indicator->roomState(), RoomState::Reaching);
        QCOMPARE(
            m_indicator->toolTip(),
            QStringLiteral("Reaching the room: #grove on irc.example.net as ann\nNot listening"));

        // The room's name may only be whole once the room is reached.
        m_room->description = QStringLiteral("#grove on irc.example.net as ann_");
        m_room->stand(RoomState::Connected);
        QCOMPARE(m_indicator->roomState(), RoomState::Connected);
        QCOMPARE(m_indicator->toolTip(),
                 QStringLiteral("In the room: #grove on irc.example.net as ann_\nNot listening"));

        m_window->findChild<QAction*>(QStringLiteral("mnuDE"))->trigger();
        QVERIFY(m_indicator->listening());
        QCOMPARE(m_indicator->toolTip(),
                 QStringLiteral("In the room: #grove on irc.example.net as ann_\n"
                                "Listening for the group's lines"));
        QCOMPARE(accessibleText(m_indicator, QAccessible::Description),
                 QStringLiteral("In the room: #grove on irc.example.net as ann_\n"
                                "Listening for the group's lines"));
        QCOMPARE(accessibleText(m_indicator, QAccessible::Name), QStringLiteral("Room"));
        // A control one presses, from the keyboard too.
        QCOMPARE(QAccessible::queryAccessibleInterface(m_indicator)->role(), QAccessible::Button);
        QVERIFY(m_indicator->focusPolicy() & Qt::TabFocus);

        m_room->stand(RoomState::OutOfReach);
        QVERIFY(m_indicator->toolTip().startsWith(QStringLiteral("The room is out of reach: ")));
        m_window->findChild<QAction*>(QStringLiteral("mnuStop"))->trigger();
        QVERIFY(!m_indicator->listening());
    }

    void indicatorLooksDifferentInEveryState()
    {
        RoomIndicator indicator;
        indicator.resize(indicator.sizeHint());
        QList<QImage> seen;
        for (RoomState state : {RoomState::Reaching, RoomState::Connected, RoomState::OutOfReach}) {
            for (bool listening : {false, true}) {
                indicator.setRoomState(state);
                indicator.setListening(listening);
                const QImage image = indicator.grab().toImage();
                for (const QImage& other : seen)
                    QVERIFY(image != other);
                seen.append(image);
            }
        }
        // No colour needed to tell the three apart: their shapes differ too.
        QList<QImage> shapes;
        for (RoomState state : {RoomState::Reaching, RoomState::Connected, RoomState::OutOfReach}) {
            indicator.setRoomState(state);
            indicator.setListening(false);
            QImage grey = indicator.grab().toImage().convertToFormat(QImage::Format_Mono);
            for (const QImage& other : shapes)
                QVERIFY(grey != other);
            shapes.append(grey);
        }
    }

    void helpTellsWhatTheRoomIsDoing()
    {
        m_room->stand(RoomState::Connected);
        m_window->findChild<QAction*>(QStringLiteral("mnuDE"))->trigger();
        QString shown;
        QString below;
        QTimer::singleShot(0, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
            shown = box->text();
            below = box->informativeText();
            box->accept();
        });
        m_window->findChild<QAction*>(QStringLiteral("mnuHelp"))->trigger();
        QVERIFY(shown.startsWith(QStringLiteral("All you have to do is Open AOL")));
        QCOMPARE(below, QStringLiteral("In the room: #grove on irc.example.net as ann\n"
                                       "Listening for the group's lines"));
    }

private:
    StandingRoom* m_room = nullptr;
    QPointer<Solvane> m_window;
    RoomIndicator* m_indicator = nullptr;
};

QTEST_MAIN(ChatWindowAccess)
#include "tst_chat_window_access.moc"
