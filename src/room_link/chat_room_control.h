// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDateTime>
#include <QMetaObject>
#include <QObject>
#include <QString>

#include <chrono>

namespace svw {

// Where the room stands, as the window shows it at a glance.
enum class RoomState {
    Reaching,   // not yet in the room (starting, connecting, joining, re-forming)
    Connected,  // lines go out and come in
    OutOfReach, // the room has been out of reach long enough to tell the user
};

// The chat room control: the one way lines go into a chat room and come out
// of it. The chat window knows rooms only through this interface.
class ChatRoomControl : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    ~ChatRoomControl() override = default;

    // Says `line` into the room as one line with the user as its sender.
    // Returns false, with errorString() set, when the room refuses the line
    // outright (for instance a line the room cannot carry). A room that is
    // only momentarily unreachable queues the line and returns true.
    virtual bool SendRoomLine(const QString& line) = 0;

    // From now on every line said in the room, the user's own included, is
    // reported through RoomLine() until StopRoomScan().
    virtual void StartRoomScan() = 0;
    virtual void StopRoomScan() = 0;

    // Whether the room can carry `line` as one line. The chat window splits a
    // long outgoing text into pieces whose room lines fit.
    virtual bool fitsOneLine(const QString& line) const
    {
        Q_UNUSED(line);
        return true;
    }

    // The reason for the last refusal of SendRoomLine().
    QString errorString() const { return m_errorString; }

    // Which room this is, in words for the user: its kind, where it is and
    // the name the user goes by there ("#chan on irc.example.net as ann").
    virtual QString roomDescription() const { return QString(); }

    RoomState roomState() const { return m_roomState; }

    // When the line that RoomLine() reports right now was said, for a line
    // the room reports late (played back by a bouncer or from the room's
    // history). Invalid for a line said just now, and outside RoomLine().
    QDateTime lineSaidAt() const { return m_lineSaidAt; }

    // How many lines SendRoomLine() took that the room has not said yet
    // (waiting for their turn, or for the room to be reached).
    virtual int waitingLineCount() const { return 0; }

    // Leaves the room politely: the lines still waiting go out first, for at
    // most `patience`, then the room is left. roomLeft() follows once, with
    // the number of lines that were not said. A room with nothing to wait
    // for is left at once.
    virtual void leaveRoom(std::chrono::milliseconds patience)
    {
        Q_UNUSED(patience);
        QMetaObject::invokeMethod(
            this, [this] { emit roomLeft(0); }, Qt::QueuedConnection);
    }

signals:
    // One line said in the room: who said it and the text exactly as said.
    void RoomLine(const QString& sender, const QString& text);

    // The room's connection state in words, for the user ("connected to
    // #chan on irc.example.net", "reconnecting in 4 s ..."). Informational.
    void statusChanged(const QString& status);

    // Something the user has to know went wrong: the room cannot be reached
    // or refused what was said. `why` is a whole message for the user, saying
    // also what becomes of the lines said meanwhile. roomReady() follows once
    // the room can be used again.
    void roomTrouble(const QString& why);
    void roomReady();

    // roomState() changed.
    void roomStateChanged(svw::RoomState state);

    // roomDescription() changed, for instance because the server gave the
    // user another nick.
    void roomDescriptionChanged();

    // Something the room said to this user that is not a line of the
    // conversation (a notice from the network's services, the server
    // changing the user's nick): a whole sentence for the user, shown as a
    // note, never in a way that takes the focus.
    void roomNotice(const QString& text);

    // leaveRoom() is done; `unsaidLines` lines were not said.
    void roomLeft(int unsaidLines);

protected:
    void setErrorString(const QString& text) { m_errorString = text; }
    void setLineSaidAt(const QDateTime& when) { m_lineSaidAt = when; }

    // Rooms call this on every change of where they stand; a repeat of the
    // standing state is not signalled again.
    void setRoomState(RoomState state)
    {
        if (state == m_roomState)
            return;
        m_roomState = state;
        emit roomStateChanged(state);
    }

private:
    QString m_errorString;
    QDateTime m_lineSaidAt;
    RoomState m_roomState = RoomState::Reaching;
};

} // namespace svw
