// SPDX-License-Identifier: GPL-3.0-or-later
// The IRC room in its channel: joining and leaving, confirmations of our
// lines, and the lines said there.
#include "irc_room.h"
#include "irc_room_detail.h"

#include <algorithm>

namespace svw {

using namespace Qt::StringLiterals;
using namespace irc_room_detail;

void IrcRoom::handleJoin(const IrcMessage& message)
{
    if (!isOwnNick(message.nick()) || !isOurChannel(message.param(0)))
        return;
    if (!message.user().isEmpty() && !message.host().isEmpty())
        m_userHost = message.user() + u'@' + message.host();
    m_rejoinTimer.stop();
    m_backoffMs = std::max(1, m_settings.reconnectMinMs);
    setPhase(Phase::Joined);
    announce(
        u"In %1 on %2 as %3."_s.arg(m_settings.address.channel, m_settings.address.host, m_nick));
    m_troubleTimer.stop();
    m_outageTold = false;
    emit joined();
    emit roomReady();
    pump();
}

void IrcRoom::handleLeft(const QString& reason)
{
    if (m_phase != Phase::Joined)
        return;
    // Lines the server had not taken before we left are refused by it; say
    // them again once we are back.
    requeueInFlight();
    setPhase(Phase::Registered);
    scheduleRejoin(reason);
}

void IrcRoom::handleJoinRefused(const IrcMessage& message)
{
    if (m_phase != Phase::Registered)
        return;
    scheduleRejoin(u"cannot join %1: %2"_s.arg(m_settings.address.channel, message.lastParam()));
}

void IrcRoom::scheduleRejoin(const QString& reason)
{
    const int delay = m_backoffMs;
    m_backoffMs = std::min(std::max(1, m_settings.reconnectMaxMs), m_backoffMs * 2);
    announce(
        u"%1 (%2). Joining again in %3 ..."_s.arg(m_settings.address.host, reason, seconds(delay)));
    beginOutage();
    m_rejoinTimer.start(delay);
}

void IrcRoom::handlePong(const IrcMessage& message)
{
    const QString token = message.lastParam();
    if (!token.startsWith(kMarkPrefix))
        return;
    bool ok = false;
    const quint64 mark = token.mid(kMarkPrefix.size()).toULongLong(&ok);
    if (!ok)
        return;
    bool confirmed = false;
    while (!m_inFlight.empty() && m_inFlight.front().mark != 0 && m_inFlight.front().mark <= mark) {
        const QString text = m_inFlight.front().text;
        m_inFlight.pop_front();
        confirmed = true;
        // Without echo-message the server keeps our own lines to itself;
        // now that it has taken this one, it is said.
        if (!m_serverEchoes && m_scanning)
            emit RoomLine(m_nick, text);
    }
    if (confirmed && m_queue.empty() && m_inFlight.empty())
        emit linesConfirmed();
}

void IrcRoom::handlePrivmsg(const IrcMessage& message)
{
    if (message.params.size() < 2 || !isOurChannel(message.param(0)))
        return;
    const QString& text = message.params[1];
    if (text.startsWith(u'\x01'))
        return; // CTCP: actions and queries, not lines said in the room
    const QString sender = message.nick();
    if (isOwnNick(sender) && !m_serverEchoes)
        return; // already shown when the server confirmed it
    if (m_scanning)
        emit RoomLine(sender, text);
}

} // namespace svw
