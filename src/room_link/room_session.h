// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "chat_room_control.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <algorithm>
#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

namespace svw {

// What every room does whatever its network: it keeps the lines said while
// the room cannot take them, in order, and the lines sent but not yet
// confirmed; it knows where the room stands for the indicator; and it tells
// the user only of an outage that lasts (or at once, when the room says
// something the user must act on). A room drives it with reached(), lost()
// and troubleNow() and forwards its signals through ChatRoomControl.
//
// The IRC and XMPP rooms keep their lines and state here; the local room
// keeps its own, for reasons of its kind. Its lines are not waiting or sent:
// each is numbered when said and stays, with the time it last went out,
// until a host relays it, and is offered whole again to every new host; the
// numbers are what the other copies check its lines against, so a line
// cannot go back to a queue of bare texts. And its outage is not a lost
// connection: it is told on its clock tick only once it knows what keeps the
// copy out (a lock held by a stranger, a host that turns it away or passes
// nothing on), in words that are also its status, and each new look for the
// room starts the wait again.
class RoomSession : public QObject
{
    Q_OBJECT

public:
    // A line sent but not confirmed yet.
    struct SentLine
    {
        QString id;
        QString text;
        bool shown = false; // shown to the user as said before its confirmation
    };

    // `place` names the room in the messages for the user ("room@muc.example
    // on XMPP"); an outage is told once it has lasted `troubleAfterMs`.
    RoomSession(const QString& place, int troubleAfterMs, QObject* parent = nullptr);

    // Lines waiting to be sent, oldest first.
    void enqueue(const QString& line);
    std::optional<QString> takeNext();
    int waitingCount() const { return int(m_waiting.size()); }
    // Whether a waiting line may go now: there is one, and fewer lines than
    // the limit are unconfirmed.
    bool canSend() const;
    // At most `limit` lines unconfirmed at once; 0: no limit.
    void setUnconfirmedLimit(int limit) { m_unconfirmedLimit = std::max(0, limit); }

    // A line sent under `id`, until the room's reflection confirms it.
    // `shown`: the user already sees it as said; it is not sent again.
    void markSent(const QString& id, const QString& line, bool shown = false);
    // True when `id` was one of ours not yet confirmed; it is then done.
    bool confirm(const QString& id);
    // For rooms that give their reflection an id of their own: confirms the
    // oldest unconfirmed line with this text; false when there is none.
    bool confirmText(const QString& line);
    // For rooms whose confirmations come in the order the lines went: the
    // oldest lines whose id `covered` accepts are done; returns them, oldest
    // first, stopping at the first it does not accept.
    std::vector<SentLine> confirmOldest(const std::function<bool(const QString& id)>& covered);
    // Drops a sent line the room refused; returns its text (empty: not ours).
    QString forget(const QString& id);
    // Drops the oldest unconfirmed line, which the room refused.
    std::optional<SentLine> forgetOldest();
    // Gives up waiting for confirmations: every unconfirmed line is done.
    std::vector<SentLine> takeUnconfirmed();
    int unconfirmedCount() const { return int(m_inFlight.size()); }
    // Lines the user does not see as said yet: waiting, or sent and neither
    // confirmed nor shown.
    int unsaidCount() const;
    // Nothing waits and nothing is unconfirmed.
    bool allConfirmed() const { return m_waiting.empty() && m_inFlight.empty(); }
    // The unconfirmed lines go back in front of the waiting ones, in their
    // order, behind the ones that bounced: a connection was lost before the
    // room reflected them. Lines already shown are not sent again.
    void requeueUnconfirmed();
    // The oldest unconfirmed line did not reach the room because we were
    // out of it: it goes back to wait, before every line not yet sent and
    // behind the ones that bounced before it.
    void bounceOldest();

    RoomState state() const { return m_state; }
    QString status() const { return m_status; }
    bool isInRoom() const { return m_state == RoomState::Connected; }
    // The user heard of this time out of the room.
    bool outageTold() const { return m_outageTold; }
    // How a lasting outage is told, given the status at that time; by
    // default the room is `place` and is joined again.
    void setOutageWording(std::function<QString(const QString& status)> wording);

    // The room takes lines now.
    void reached(const QString& status);
    // The room is out of reach for now; the user hears of it if it lasts.
    void lost(const QString& status);
    // The two halves of lost(), for rooms that announce in between: the
    // indicator leaves the room, and the wait to tell starts (unless the
    // user has heard already or it runs).
    void leftRoom();
    void beginOutage();
    // After an outage told at once, the room tries again: if that fails too,
    // it is news again once it lasts. False when nothing was told.
    bool watchAgain();
    // Something the user must hear at once; the room is out of reach.
    void troubleNow(const QString& status, const QString& consequence);
    // The same with a whole message of its own for the user.
    void tellNow(const QString& why);
    // The room is left for good: no outage is told any more.
    void stopWatching() { m_troubleTimer.stop(); }
    // A status line that changes nothing else.
    void announce(const QString& status);

signals:
    void stateChanged(svw::RoomState state);
    void statusChanged(const QString& status);
    void trouble(const QString& why);
    void ready();

private:
    void setState(RoomState state);

    QString m_place;
    int m_troubleAfterMs;
    std::function<QString(const QString&)> m_outageWording;
    std::deque<QString> m_waiting;
    std::size_t m_bounced = 0; // lines at the front of m_waiting that came back
    std::deque<SentLine> m_inFlight;
    int m_unconfirmedLimit = 0;
    RoomState m_state = RoomState::Reaching;
    QString m_status;
    QTimer m_troubleTimer;
    bool m_outageTold = false;
};

} // namespace svw
