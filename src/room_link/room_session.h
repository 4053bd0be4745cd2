// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "chat_room_control.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <optional>

namespace svw {

// What every room does whatever its network: it keeps the lines said while
// the room cannot take them, in order, and the lines sent but not yet
// confirmed; it knows where the room stands for the indicator; and it tells
// the user only of an outage that lasts (or at once, when the room says
// something the user must act on). A room drives it with reached(), lost()
// and troubleNow() and forwards its signals through ChatRoomControl.
class RoomSession : public QObject
{
    Q_OBJECT

public:
    // `place` names the room in the messages for the user ("room@muc.example
    // on XMPP"); an outage is told once it has lasted `troubleAfterMs`.
    RoomSession(const QString& place, int troubleAfterMs, QObject* parent = nullptr);

    // Lines waiting to be sent, oldest first.
    void enqueue(const QString& line);
    std::optional<QString> takeNext();
    int waitingCount() const { return int(m_waiting.size()); }

    // A line sent under `id`, until the room's reflection confirms it.
    void markSent(const QString& id, const QString& line);
    // True when `id` was one of ours not yet confirmed; it is then done.
    bool confirm(const QString& id);
    // For rooms that give their reflection an id of their own: confirms the
    // oldest unconfirmed line with this text; false when there is none.
    bool confirmText(const QString& line);
    // Drops a sent line the room refused; returns its text (empty: not ours).
    QString forget(const QString& id);
    int unconfirmedCount() const { return int(m_inFlight.size()); }
    // The unconfirmed lines go back in front of the waiting ones, in their
    // order: a connection was lost before the room reflected them.
    void requeueUnconfirmed();

    RoomState state() const { return m_state; }
    QString status() const { return m_status; }
    bool isInRoom() const { return m_state == RoomState::Connected; }

    // The room takes lines now.
    void reached(const QString& status);
    // The room is out of reach for now; the user hears of it if it lasts.
    void lost(const QString& status);
    // Something the user must hear at once; the room is out of reach.
    void troubleNow(const QString& status, const QString& consequence);
    // A status line that changes nothing else.
    void announce(const QString& status);

signals:
    void stateChanged(svw::RoomState state);
    void statusChanged(const QString& status);
    void trouble(const QString& why);
    void ready();

private:
    struct SentLine
    {
        QString id;
        QString text;
    };
    void setState(RoomState state);

    QString m_place;
    int m_troubleAfterMs;
    std::deque<QString> m_waiting;
    std::deque<SentLine> m_inFlight;
    RoomState m_state = RoomState::Reaching;
    QString m_status;
    QTimer m_troubleTimer;
    bool m_outageTold = false;
};

} // namespace svw
