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
    m_troubleTimer.stop(); // in the channel: nothing to tell
    m_outageTold = false;
    m_refusedLines = 0; // a fresh join is a fresh start
    setRoomState(RoomState::Connected);
    emit joined();
    emit roomReady();
    pump();
}

void IrcRoom::handleLeft(const QString& reason, int rejoinDelayMs)
{
    if (m_phase != Phase::Joined)
        return;
    // Lines the server had not taken before we left are refused by it; say
    // them again once we are back.
    requeueInFlight();
    setPhase(Phase::Registered);
    setRoomState(m_outageTold ? RoomState::OutOfReach : RoomState::Reaching);
    scheduleRejoin(reason, rejoinDelayMs);
}

void IrcRoom::handleKick(const IrcMessage& message)
{
    if (!isOurChannel(message.param(0)) || !isOwnNick(message.param(1)) || m_phase != Phase::Joined)
        return;
    // Channels punish a member who is back the instant after a kick; the
    // wait grows with kicks that follow soon, and is forgotten after a
    // quiet while.
    const qint64 now = m_clock.elapsed();
    const qint64 forgetMs = 8LL * std::max(1, m_settings.kickRejoinMaxMs);
    if (m_recentKicks > 0 && now - m_lastKickMs > forgetMs)
        m_recentKicks = 0;
    m_lastKickMs = now;
    m_kickRejoinTried = false;
    qint64 delay = std::max(1, m_settings.kickRejoinMs);
    for (int i = 0; i < m_recentKicks && delay < m_settings.kickRejoinMaxMs; ++i)
        delay *= 2;
    delay = std::min<qint64>(delay, std::max(m_settings.kickRejoinMs, m_settings.kickRejoinMaxMs));
    ++m_recentKicks;

    const QString by = message.nick().isEmpty() ? u"the server"_s : message.nick();
    const QString why = message.param(2).isEmpty() ? u"no reason given"_s : message.param(2);
    handleLeft(u"kicked from %1 by %2: %3"_s.arg(m_settings.address.channel, by, why), int(delay));
    m_troubleTimer.stop();
    m_outageTold = true; // told now, not again when the wait has lasted
    setRoomState(RoomState::OutOfReach);
    emit roomTrouble(
        u"%1 kicked you from %2: %3\n\nThe program joins %2 again in %4. What you send "
        u"meanwhile waits and goes out, in order, once the channel is joined again."_s.arg(
            by, m_settings.address.channel, why, seconds(int(delay))));
}

void IrcRoom::handleMode(const IrcMessage& message)
{
    if (m_refusedLines == 0 || !isOurChannel(message.param(0)))
        return;
    // Modes that may let us speak again: moderation or a ban lifted, or a
    // voice given to us. The next line tells for sure.
    bool adding = true;
    bool mayTake = false;
    for (QChar c : message.param(1)) {
        if (c == u'+' || c == u'-')
            adding = c == u'+';
        else if (!adding && QStringView(u"mbqM").contains(c))
            mayTake = true;
    }
    if (message.param(1).contains(u'+')) {
        for (qsizetype i = 2; i < message.params.size(); ++i)
            mayTake = mayTake || isOwnNick(message.params[i]);
    }
    if (mayTake) {
        endRefusals(u"%1 may take lines again: %2 set %3."_s.arg(
            m_settings.address.channel, message.nick(), message.params.mid(1).join(u' ')));
    }
}

void IrcRoom::handleLineRefused(const IrcMessage& message)
{
    // The server answers a line, refused or taken, before the PING that
    // follows it, so the refused line is the oldest one not confirmed.
    if (!m_inFlight.empty())
        m_inFlight.pop_front();
    ++m_refusedLines;
    m_refusalReason = message.lastParam();
    const QString count = m_refusedLines == 1 ? u"1 line you sent was"_s
                                              : u"%1 lines you sent were"_s.arg(m_refusedLines);
    announce(u"%1 refuses lines: %2"_s.arg(m_settings.address.channel, m_refusalReason));
    emit roomTrouble(u"%1 refuses what you send: %2\n\n%3 not said in the channel, and will "
                     u"not be. Lines you send are still offered to the channel; you will see "
                     u"here when it takes them again."_s.arg(m_settings.address.channel,
                                                             m_refusalReason, count));
    if (m_queue.empty() && m_inFlight.empty())
        emit linesConfirmed();
}

void IrcRoom::endRefusals(const QString& status)
{
    if (m_refusedLines == 0)
        return;
    announce(u"%1 (%2 refused before)"_s.arg(
        status, m_refusedLines == 1 ? u"1 line was"_s : u"%1 lines were"_s.arg(m_refusedLines)));
    m_refusedLines = 0;
    emit roomReady();
}

void IrcRoom::handleJoinRefused(const IrcMessage& message)
{
    if (m_phase != Phase::Registered)
        return;
    scheduleRejoin(u"cannot join %1: %2"_s.arg(m_settings.address.channel, message.lastParam()));
}

void IrcRoom::scheduleRejoin(const QString& reason, int delayMs)
{
    int delay = delayMs;
    if (delay < 0) {
        delay = m_backoffMs;
        m_backoffMs = std::min(std::max(1, m_settings.reconnectMaxMs), m_backoffMs * 2);
    }
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
    if (m_confirmMark != 0 && mark >= m_confirmMark)
        m_confirmMark = 0;
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
    if (confirmed)
        endRefusals(u"%1 takes lines again."_s.arg(m_settings.address.channel));
    confirmUnmarked();
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
