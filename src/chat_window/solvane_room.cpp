// SPDX-License-Identifier: GPL-3.0-or-later
// The chat window's room: every signal of the room control is connected in
// one place, so that the room can be swapped while the window runs; the room
// dialog behind the room sign; leaving a room with lines still waiting, for
// another room or at Exit; what the room says that is not a line.

#include "solvane.h"

#include "chat_room_control.h"
#include "notice.h"
#include "room_dialog.h"
#include "room_factory.h"
#include "room_indicator.h"
#include "room_keeper.h"
#include "shown_text.h"

#include <QApplication>
#include <QCloseEvent>
#include <QPlainTextEdit>
#include <QTimer>

namespace svw {

namespace {

QString lineCount(int count)
{
    return count == 1 ? QStringLiteral("1 line") : QStringLiteral("%1 lines").arg(count);
}

const QString kFirstStartText =
    QStringLiteral("This room is on this computer only: nobody on another computer reads what "
                   "is said here. To talk with friends, press the room sign at the right end of "
                   "the menu bar and choose a room you all enter.");

} // namespace

void Solvane::attachRoom(ChatRoomControl* room)
{
    Chat1 = room;
    Chat1->setParent(this);
    Chat1->setObjectName(QStringLiteral("Chat1"));
    connect(Chat1, &ChatRoomControl::RoomLine, this, &Solvane::Chat1_RoomLine);
    connect(Chat1, &ChatRoomControl::roomTrouble, this, &Solvane::Chat1_RoomTrouble);
    connect(Chat1, &ChatRoomControl::roomReady, this, &Solvane::Chat1_RoomReady);
    connect(Chat1, &ChatRoomControl::roomStateChanged, this, &Solvane::showRoomState);
    connect(Chat1, &ChatRoomControl::roomDescriptionChanged, this,
            &Solvane::Chat1_RoomDescriptionChanged);
    connect(Chat1, &ChatRoomControl::roomNotice, this, &Solvane::Chat1_RoomNotice);
    connect(Chat1, &ChatRoomControl::roomLeft, this, &Solvane::Chat1_RoomLeft);
    m_roomIndicator->setRoomDescription(Chat1->roomDescription());
    m_roomIndicator->setRoomState(Chat1->roomState());
}

void Solvane::setRoomKeeper(RoomKeeper* keeper)
{
    m_keeper = keeper;
}

void Solvane::setFirstStart(bool first)
{
    m_firstStart = first;
    txtSaid->setPlaceholderText(first ? kFirstStartText : QString());
    if (!first)
        return;
    // Not a line of the conversation: it goes for good once one shows.
    auto once = std::make_shared<QMetaObject::Connection>();
    *once = connect(txtSaid, &QPlainTextEdit::textChanged, this, [this, once] {
        if (txtSaid->document()->isEmpty())
            return;
        disconnect(*once);
        setFirstStart(false);
    });
}

void Solvane::openRoomDialog()
{
    if (!m_keeper || m_leaving)
        return;
    RoomDialog dialog(m_keeper, defaultNick(), this);
    if (dialog.exec() != QDialog::Accepted || !m_keeper)
        return;
    const RoomChoice choice = dialog.choice();
    RoomKeeper* keeper = m_keeper;
    moveToRoom([keeper, choice](QString* error) { return keeper->enter(choice, error); });
}

void Solvane::moveToRoom(RoomMaker makeNext)
{
    if (m_leaving)
        return;
    m_nextRoom = std::move(makeNext);
    leaveRoom();
}

void Solvane::leaveRoom()
{
    m_leaving = true;
    if (const int waiting = Chat1->waitingLineCount(); waiting > 0) {
        const auto seconds = std::chrono::ceil<std::chrono::seconds>(m_patience).count();
        showNote(QStringLiteral("Saying the %1 still waiting before %2 (at most %3 s) ...")
                     .arg(lineCount(waiting), m_exiting   ? QStringLiteral("the program ends")
                                              : m_closing ? QStringLiteral("the window closes")
                                                          : QStringLiteral("leaving the room"))
                     .arg(seconds));
    }
    // A room that never says it is done holds nobody up for long.
    ChatRoomControl* leaving = Chat1;
    QTimer::singleShot(m_patience + std::chrono::seconds(2), this, [this, leaving] {
        if (m_leaving && Chat1 == leaving)
            Chat1_RoomLeft(Chat1->waitingLineCount());
    });
    Chat1->leaveRoom(m_patience);
}

void Solvane::Chat1_RoomLeft(int unsaidLines)
{
    if (!m_leaving)
        return;
    m_leaving = false;

    if (m_exiting) {
        const int lost = unsaidLines + int(m_heldLines.size());
        if (lost > 0)
            showNotice(this, QStringLiteral("%1 could not be said before the program ended.")
                                 .arg(lineCount(lost)));
        QApplication::closeAllWindows();
        QCoreApplication::quit();
        return;
    }
    if (m_closing) {
        const int lost = unsaidLines + int(m_heldLines.size());
        if (lost > 0)
            showNotice(this, QStringLiteral("%1 could not be said before the window closed.")
                                 .arg(lineCount(lost)));
        m_closed = true;
        close();
        return;
    }
    if (unsaidLines > 0)
        showNote(QStringLiteral("%1 could not be said in the room left behind.")
                     .arg(lineCount(unsaidLines)));

    QString error;
    RoomMaker make = std::move(m_nextRoom);
    m_nextRoom = nullptr;
    std::unique_ptr<ChatRoomControl> next = make(&error);
    if (!next) {
        // The room left stays the window's until another is chosen.
        openNotice(this, error + QStringLiteral("\n\nChoose another room with the room sign."));
        emit roomChanged(false);
        return;
    }

    ChatRoomControl* old = Chat1;
    disconnect(old, nullptr, this, nullptr);
    old->setObjectName(QString()); // "Chat1" is the room the window is in
    old->deleteLater();
    Chat1_RoomReady(); // the old room's trouble is no longer true
    attachRoom(next.release());
    if (m_roomIndicator->listening())
        Chat1->StartRoomScan();
    setFirstStart(false);
    showNote(QStringLiteral("Now in %1.").arg(Chat1->roomDescription()));

    const QStringList held = std::exchange(m_heldLines, {});
    for (const QString& line : held) {
        if (!Chat1->SendRoomLine(line)) {
            openNotice(this, Chat1->errorString());
            break;
        }
    }
    emit roomChanged(true);
}

bool Solvane::sayInRoom(const QString& roomLine)
{
    // Between two rooms a line waits for the next one, in order.
    if (m_leaving) {
        m_heldLines.append(roomLine);
        return true;
    }
    return Chat1->SendRoomLine(roomLine);
}

void Solvane::Chat1_RoomNotice(const QString& text)
{
    showNote(text);
}

void Solvane::Chat1_RoomDescriptionChanged()
{
    m_roomIndicator->setRoomDescription(Chat1->roomDescription());
}

// A note from the program or the room, set apart from the members' lines.
// It comes from outside like they do, and shows as one line the same way.
void Solvane::showNote(const QString& text)
{
    appendShownLine(QStringLiteral("* ") + shownText(text));
}

void Solvane::mnuExit_Click()
{
    // Every window goes, web windows included, and the program ends; the
    // lines still waiting for the room go out first, for a bounded time. A
    // second Exit does not wait.
    const bool waiting = Chat1->waitingLineCount() > 0 || !m_heldLines.isEmpty();
    if (m_exiting || (!waiting && !m_leaving)) {
        QApplication::closeAllWindows();
        QCoreApplication::quit();
        return;
    }
    m_exiting = true;
    m_nextRoom = nullptr;
    if (!m_leaving)
        leaveRoom();
}

void Solvane::closeEvent(QCloseEvent* event)
{
    // Closed by its frame, the window goes with its room and web windows
    // stay; but what waits for the room is said first, for a bounded time,
    // as Exit does. A second close does not wait.
    const bool waiting = Chat1->waitingLineCount() > 0 || !m_heldLines.isEmpty();
    if (m_closed || m_exiting || m_closing || (!waiting && !m_leaving)) {
        QMainWindow::closeEvent(event);
        return;
    }
    event->ignore();
    m_closing = true;
    m_nextRoom = nullptr;
    if (!m_leaving)
        leaveRoom();
}

} // namespace svw
