// SPDX-License-Identifier: GPL-3.0-or-later
// The IRC room in its channel: joining and leaving, confirmations of our
// lines, and the lines said there.
#include "irc_room.h"
#include "irc_room_detail.h"

#include <QRegularExpression>

#include <algorithm>
#include <vector>

namespace svw {

using namespace Qt::StringLiterals;
using namespace irc_room_detail;

void IrcRoom::handleJoin(const IrcMessage& message)
{
    if (!isOwnNick(message.nick()) && isOurChannel(message.param(0)) &&
        m_splitMembers.removeAll(ircFolded(message.nick(), m_caseMapping)) > 0 &&
        m_splitMembers.isEmpty() && m_splitTold) {
        m_splitTold = false;
        announce(u"The network is whole again: the members cut off are back in %1."_s.arg(
            m_settings.address.channel));
        emit roomReady();
    }
    if (!isOwnNick(message.nick()) || !isOurChannel(message.param(0)))
        return;
    if (!message.user().isEmpty() && !message.host().isEmpty())
        m_userHost = message.user() + u'@' + message.host();
    m_rejoinTimer.stop();
    m_backoffMs = std::max(1, m_settings.reconnectMinMs);
    setPhase(Phase::Joined);
    m_refusedLines = 0; // a fresh join is a fresh start
    askForHistory();
    // In the channel: nothing to tell; joined() and roomReady() follow.
    m_session.reached(
        u"In %1 on %2 as %3."_s.arg(m_settings.address.channel, m_settings.address.host, m_nick));
    pump();
}

void IrcRoom::handleLeft(const QString& reason, int rejoinDelayMs)
{
    if (m_phase != Phase::Joined)
        return;
    // Lines in flight stay there: the server answers each in order, a PONG
    // for one it took before we left, a refusal for one it did not, which
    // then goes out again once we are back.
    setPhase(Phase::Registered);
    m_session.leftRoom();
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
    m_session.tellNow(
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
    if (m_phase != Phase::Joined) {
        // Kicked or parted before the server came to it: not the channel's
        // refusal, only our absence.
        m_session.bounceOldest();
        pump();
        return;
    }
    if (m_session.forgetOldest()) {
        if (m_session.unconfirmedCount() == 0)
            m_confirmTimer.stop();
        else
            m_confirmTimer.start(std::max(1, m_settings.confirmTimeoutMs));
    }
    ++m_refusedLines;
    m_refusalReason = message.lastParam();
    const QString count = m_refusedLines == 1 ? u"1 line you sent was"_s
                                              : u"%1 lines you sent were"_s.arg(m_refusedLines);
    announce(u"%1 refuses lines: %2"_s.arg(m_settings.address.channel, m_refusalReason));
    emit roomTrouble(u"%1 refuses what you send: %2\n\n%3 not said in the channel, and will "
                     u"not be. Lines you send are still offered to the channel; you will see "
                     u"here when it takes them again."_s.arg(m_settings.address.channel,
                                                             m_refusalReason, count));
    if (m_session.allConfirmed())
        emit linesConfirmed();
    if (m_leaving && waitingLineCount() == 0)
        finishLeaving();
    else
        pump();
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
    m_session.beginOutage();
    m_rejoinTimer.start(delay);
}

void IrcRoom::handlePong(const IrcMessage& message)
{
    if (m_viaBouncer)
        return; // the bouncer's own answer: the server has seen nothing yet
    const QString token = message.lastParam();
    if (token.startsWith(kMarkPrefix)) {
        confirmUpTo(token);
    } else if (m_answeredMark < m_lastMark) {
        // A server that drops the token still answers our PINGs in order.
        confirmUpTo(kMarkPrefix + QString::number(m_answeredMark + 1));
    }
}

void IrcRoom::confirmUpTo(const QString& token)
{
    bool ok = false;
    const quint64 mark = token.mid(kMarkPrefix.size()).toULongLong(&ok);
    if (!ok || !token.startsWith(kMarkPrefix))
        return;
    m_answeredMark = std::max(m_answeredMark, mark);
    // A line is written under the mark of the PING that follows it; the
    // server answers PINGs in order.
    const std::vector<RoomSession::SentLine> done =
        m_session.confirmOldest([mark](const QString& id) { return id.toULongLong() <= mark; });
    const bool confirmed = !done.empty();
    for (const RoomSession::SentLine& line : done) {
        // Without echo-message the server keeps our own lines to itself;
        // now that it has taken this one, it is said.
        if (!line.shown && !m_serverEchoes && m_scanning)
            emit RoomLine(m_nick, line.text);
    }
    if (m_session.unconfirmedCount() == 0)
        m_confirmTimer.stop();
    else if (confirmed)
        m_confirmTimer.start(std::max(1, m_settings.confirmTimeoutMs));
    if (m_unconfirmed) {
        setUnconfirmed(false);
        announce(u"%1 confirms lines again."_s.arg(m_settings.address.host));
    }
    if (confirmed)
        endRefusals(u"%1 takes lines again."_s.arg(m_settings.address.channel));
    if (confirmed && m_session.allConfirmed())
        emit linesConfirmed();
    if (m_leaving && waitingLineCount() == 0)
        finishLeaving();
    else
        pump();
}

void IrcRoom::onConfirmTimeout()
{
    // A server that never answers our PINGs would keep the lines waiting
    // for ever and say them all again after a reconnect. Past the bound they
    // count as said, unconfirmed, and so do the next ones until a PONG says
    // otherwise.
    int count = 0;
    for (const RoomSession::SentLine& line : m_session.takeUnconfirmed()) {
        if (line.shown)
            continue;
        ++count;
        if (!m_serverEchoes && m_scanning)
            emit RoomLine(m_nick, line.text);
    }
    if (count > 0 && !m_unconfirmed) {
        setUnconfirmed(true);
        const QString status = u"%1 did not confirm the lines sent within %2."_s.arg(
            m_settings.address.host, seconds(m_settings.confirmTimeoutMs));
        announceTrouble(
            status,
            u"It does not answer our PINGs, or answers without their token. %1 shown as "
            u"said without its word, and so are the lines you send from now on: a line "
            u"the channel refuses may show as said. They are not said again after a "
            u"reconnect."_s.arg(count == 1 ? u"1 line is"_s : u"%1 lines are"_s.arg(count)));
    }
    if (m_session.waitingCount() == 0)
        emit linesConfirmed();
    if (m_leaving && waitingLineCount() == 0)
        finishLeaving();
    else
        pump();
}

std::optional<QDateTime> IrcRoom::playedBackAt(const IrcMessage& message) const
{
    const QString type = m_batches.value(message.tags.value(u"batch"_s));
    if (type != u"znc.in/playback" && type != u"chathistory")
        return std::nullopt;
    return QDateTime::fromString(message.tags.value(u"time"_s), Qt::ISODateWithMs);
}

void IrcRoom::reportLine(const QString& sender, const QString& text, const QDateTime& saidAt)
{
    if (m_scanning) {
        setLineSaidAt(saidAt);
        emit RoomLine(sender, text);
        setLineSaidAt({});
        return;
    }
    // Played back once only: kept for when listening starts, within reason.
    constexpr std::size_t kMaxHeld = 1000;
    if (saidAt.isValid() && m_held.size() < kMaxHeld)
        m_held.push_back({sender, text, saidAt});
}

void IrcRoom::handleBatch(const IrcMessage& message)
{
    const QString reference = message.param(0);
    if (reference.startsWith(u'-')) {
        m_batches.remove(reference.mid(1));
        return;
    }
    if (!reference.startsWith(u'+') || m_batches.size() >= 64)
        return;
    const QString type = message.param(1).toLower();
    m_batches.insert(reference.mid(1), type);
    if (type == u"netsplit" && !m_splitTold) {
        m_splitTold = true;
        announceTrouble(
            u"The network split between %1 and %2."_s.arg(message.param(2), message.param(3)),
            u"Members on the other side do not see what is said in %1 until it heals, and "
            u"what they say does not reach you; lines shown as said meanwhile miss them."_s.arg(
                m_settings.address.channel));
    } else if (type == u"netjoin" && m_splitTold) {
        m_splitTold = false;
        m_splitMembers.clear();
        announce(u"The network is whole again."_s);
        emit roomReady();
    }
}

void IrcRoom::noteHistoryCaps(const QStringList& acked)
{
    m_playbackModule = m_playbackModule || acked.contains(u"znc.in/playback"_s);
    m_chathistory =
        m_chathistory || acked.contains(u"chathistory"_s) || acked.contains(u"draft/chathistory"_s);
}

void IrcRoom::askForHistory()
{
    const QString& channel = m_settings.address.channel;
    if (m_playbackModule) {
        // Seconds since the epoch; 0 plays back all the module keeps.
        const QString since =
            m_lastLiveAt.isValid()
                ? QString::number(double(m_lastLiveAt.toMSecsSinceEpoch()) / 1000, 'f', 3)
                : u"0"_s;
        enqueueCommand(u"PRIVMSG"_s, {u"*playback"_s, u"PLAY %1 %2"_s.arg(channel, since)}, true);
    } else if (m_chathistory) {
        constexpr int kHistoryLines = 100;
        if (m_lastLiveAt.isValid())
            enqueueCommand(u"CHATHISTORY"_s,
                           {u"AFTER"_s, channel,
                            u"timestamp="_s + m_lastLiveAt.toUTC().toString(Qt::ISODateWithMs),
                            QString::number(kHistoryLines)});
        else
            enqueueCommand(u"CHATHISTORY"_s,
                           {u"LATEST"_s, channel, u"*"_s, QString::number(kHistoryLines)});
    }
}

void IrcRoom::handleQuit(const IrcMessage& message)
{
    // A netsplit shows as members quitting with the two servers' names
    // as the reason ("hub.example.net leaf.example.net", or "*.net *.split"
    // on networks that hide their servers).
    static const QRegularExpression serverName(u"^[A-Za-z0-9*_-]+(\\.[A-Za-z0-9*_-]+)+$"_s);
    const QStringList words = message.lastParam().split(u' ');
    const auto looksLikeServer = [](const QString& word) {
        return serverName.match(word).hasMatch();
    };
    if (words.size() != 2 || !looksLikeServer(words[0]) || !looksLikeServer(words[1]) ||
        isOwnNick(message.nick()) || m_splitMembers.size() >= 1000)
        return;
    m_splitMembers.append(ircFolded(message.nick(), m_caseMapping));
    if (m_splitTold)
        return;
    m_splitTold = true;
    announceTrouble(
        u"The network split between %1 and %2: %3 and others on the other side "
        u"left %4."_s.arg(words[0], words[1], message.nick(), m_settings.address.channel),
        u"What is said in %1 does not reach them until the network heals, and "
        u"what they say does not reach you; lines shown as said meanwhile miss "
        u"them."_s.arg(m_settings.address.channel));
}

void IrcRoom::handlePrivmsg(const IrcMessage& message)
{
    if (message.params.size() < 2 || !isOurChannel(message.param(0)))
        return;
    const QString& text = message.params[1];
    if (text.startsWith(u'\x01'))
        return; // CTCP: actions and queries, not lines said in the room
    const QString sender = message.nick();
    if (const std::optional<QDateTime> saidAt = playedBackAt(message)) {
        // Played back after a reconnect, a line heard live before is not
        // heard again; our own lines played back are ours from before.
        if (!saidAt->isValid() || (m_lastLiveAt.isValid() && *saidAt <= m_lastLiveAt))
            return;
        reportLine(sender, text, *saidAt);
        return;
    }
    noteLiveTime(message);
    if (isOwnNick(sender) && !m_serverEchoes)
        return; // already shown when the server confirmed it
    reportLine(sender, text, {});
}

void IrcRoom::noteLiveTime(const IrcMessage& message)
{
    const QDateTime at = QDateTime::fromString(message.tags.value(u"time"_s), Qt::ISODateWithMs);
    if (at.isValid() && (!m_lastLiveAt.isValid() || at > m_lastLiveAt))
        m_lastLiveAt = at;
}

} // namespace svw
