// SPDX-License-Identifier: GPL-3.0-or-later
// Trouble the room reports on its own, while the user types: the box that
// tells it must not take the keyboard, must not close on a key meant for the
// window, and must not outlive what it says.

#include "chat_window_test_support.h"
#include "solvane.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

using namespace svw;
using svw::testing::FakeRoom;

namespace {

// The room's own kind of trouble: a room that can set its state.
class StatefulRoom : public FakeRoom
{
public:
    void moveTo(RoomState state) { setRoomState(state); }
};

QList<QMessageBox*> visibleBoxes()
{
    QList<QMessageBox*> boxes;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
            boxes << box;
    }
    return boxes;
}

} // namespace

class RoomTroubleBox : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_room = new StatefulRoom;
        m_window = new Solvane(m_room);
        m_send = m_window->findChild<QLineEdit*>(QStringLiteral("txtSend"));
        m_window->show();
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        m_send->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), m_send);
    }
    void cleanup() { delete m_window.data(); }

    void typingGoesOnWhileTroubleShows()
    {
        QTest::keyClicks(m_send, QStringLiteral("half a "));
        emit m_room->roomTrouble(QStringLiteral("#chan refuses what you send: moderated."));
        QTRY_COMPARE(visibleBoxes().size(), 1);
        QMessageBox* box = visibleBoxes().constFirst();
        QVERIFY(box->text().startsWith(QStringLiteral("#chan refuses")));
        // It does not hold up the window, and nothing in it answers keys.
        QVERIFY(!box->isModal());
        QCOMPARE(box->windowModality(), Qt::NonModal);
        for (QAbstractButton* button : box->buttons()) {
            QCOMPARE(button->focusPolicy(), Qt::NoFocus);
            if (auto* push = qobject_cast<QPushButton*>(button))
                QVERIFY(!push->isDefault() && !push->autoDefault());
        }
        QTest::qWait(50);

        // The keys go on into the outgoing box, the space among them.
        QCOMPARE(QApplication::focusWidget(), m_send);
        QCOMPARE(QApplication::activeWindow(), m_window.data());
        QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("sentence"));
        QCOMPARE(m_send->text(), QStringLiteral("half a sentence"));
        QVERIFY(box->isVisible());

        // Newer trouble replaces what the box says; no second box.
        emit m_room->roomTrouble(QStringLiteral("#chan refuses what you send: 3 lines."));
        QTest::qWait(30);
        QCOMPARE(visibleBoxes(), QList<QMessageBox*>{box});
        QVERIFY(box->text().startsWith(QStringLiteral("#chan refuses what you send: 3 lines.")));
        QCOMPARE(QApplication::focusWidget(), m_send);
    }

    void troubleGoesWhenItNoLongerHolds()
    {
        // The room works again: the box closes, and the same trouble later
        // is told anew.
        const QString why = QStringLiteral("Joining again in 16 s.");
        emit m_room->roomTrouble(why);
        QTRY_COMPARE(visibleBoxes().size(), 1);
        emit m_room->roomReady();
        QTRY_COMPARE(visibleBoxes().size(), 0);
        emit m_room->roomTrouble(why);
        QTRY_COMPARE(visibleBoxes().size(), 1);

        // Where the room stands changed: what the box says is stale.
        m_room->moveTo(RoomState::Connected);
        QTRY_COMPARE(visibleBoxes().size(), 0);
        emit m_room->roomTrouble(why);
        QTRY_COMPARE(visibleBoxes().size(), 1);
        QCOMPARE(QApplication::focusWidget(), m_send);
    }

private:
    StatefulRoom* m_room = nullptr;
    QPointer<Solvane> m_window;
    QLineEdit* m_send = nullptr;
};

QTEST_MAIN(RoomTroubleBox)
#include "tst_room_trouble_box.moc"
