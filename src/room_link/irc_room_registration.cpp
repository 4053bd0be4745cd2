// SPDX-License-Identifier: GPL-3.0-or-later
// The IRC room's registration: the server's lines dispatched, capabilities,
// the welcome, what the server supports, and nicks it refuses.
#include "irc_room.h"
#include "irc_room_detail.h"

#include <algorithm>

namespace svw {

using namespace Qt::StringLiterals;
using namespace irc_room_detail;

namespace {

// Real servers list their capabilities in a few lines of a few dozen.
constexpr int kMaxCapLsLines = 32;
constexpr qsizetype kMaxOfferedCaps = 256;

// Nicks we try before taking the server's refusals as a sign of trouble.
constexpr int kMaxNickAttempts = 30;

} // namespace

void IrcRoom::handleMessage(const IrcMessage& message)
{
    const QString& command = message.command;
    if (command == u"PING") {
        answerPing(message.params);
    } else if (command == u"PONG") {
        handlePong(message);
    } else if (command == u"PRIVMSG") {
        handlePrivmsg(message);
    } else if (command == u"BATCH") {
        handleBatch(message);
    } else if (command == u"QUIT") {
        handleQuit(message);
    } else if (m_viaBouncer && message.param(1).startsWith(kMarkPrefix) &&
               message.command.size() == 3 && message.command.front().isDigit()) {
        // The server's answer to the NAMES that confirms lines behind a bouncer.
        noteLiveTime(message);
        confirmUpTo(message.param(1));
    } else if (command == u"CAP") {
        handleCap(message);
    } else if (command == u"001") {
        handleWelcome(message);
    } else if (command == u"005") {
        handleIsupport(message);
    } else if (command == u"432" || command == u"433" || command == u"436" || command == u"437") {
        handleNickRefused(message);
    } else if (command == u"JOIN") {
        handleJoin(message);
    } else if (command == u"PART") {
        if (isOwnNick(message.nick()) && isOurChannel(message.param(0)))
            handleLeft(u"left %1"_s.arg(m_settings.address.channel));
    } else if (command == u"KICK") {
        handleKick(message);
    } else if (command == u"MODE") {
        handleMode(message);
    } else if (command == u"NICK") {
        if (isOwnNick(message.nick()) && !message.param(0).isEmpty())
            m_nick = message.param(0);
    } else if (command == u"396") { // our displayed host changed
        if (!message.param(1).isEmpty() && !m_userHost.isEmpty())
            m_userHost = m_userHost.section(u'@', 0, 0) + u'@' + message.param(1);
    } else if (command == u"404" ||
               (m_phase == Phase::Joined && (command == u"477" || command == u"489"))) {
        // Cannot send to the channel: moderated, banned, or a channel
        // that wants a registered nick or TLS to speak.
        if (isOurChannel(message.param(1)))
            handleLineRefused(message);
    } else if (QStringList{u"403"_s, u"405"_s, u"471"_s, u"473"_s, u"474"_s, u"475"_s, u"476"_s,
                           u"477"_s, u"479"_s, u"489"_s, u"520"_s}
                   .contains(command)) {
        if (isOurChannel(message.param(1)))
            handleJoinRefused(message);
    } else if (command == u"464" || command == u"465") {
        // The server closes on us next; this is why.
        const QString reason = message.params.size() >= 2 ? message.lastParam() : QString();
        m_lastServerError =
            u"the server refused us: %1"_s.arg(reason.isEmpty() ? u"(no reason given)"_s : reason);
    } else if (command == u"ERROR") {
        const QString reason = message.param(0);
        m_lastServerError = u"the server ended the connection: %1"_s.arg(
            reason.isEmpty() ? u"(no reason given)"_s : reason);
    }
}

void IrcRoom::handleCap(const IrcMessage& message)
{
    const QString sub = message.param(1).toUpper();
    const QStringList caps = message.lastParam().split(u' ', Qt::SkipEmptyParts);
    if (sub == u"LS") {
        // A capability list takes a few lines; one that runs on without end
        // would only grow our memory.
        if (++m_capLsLines > kMaxCapLsLines) {
            onSocketLost(u"the server's capability list ran past %1 lines; it was left as "
                         u"flooding"_s.arg(kMaxCapLsLines));
            return;
        }
        for (const QString& cap : caps) {
            const QString name = cap.section(u'=', 0, 0);
            if (m_offeredCaps.size() < kMaxOfferedCaps && !m_offeredCaps.contains(name))
                m_offeredCaps.append(name);
        }
        const bool more = message.params.size() >= 4 && message.param(2) == u"*";
        if (more || m_phase != Phase::Registering)
            return;
        // A bouncer echoes lines itself, before the server took them.
        m_viaBouncer = std::any_of(m_offeredCaps.cbegin(), m_offeredCaps.cend(),
                                   [](const QString& cap) { return cap.startsWith(u"znc.in/"); });
        QStringList wanted;
        for (const QString& cap :
             {u"echo-message"_s, u"server-time"_s, u"batch"_s, u"znc.in/playback"_s,
              u"chathistory"_s, u"draft/chathistory"_s}) {
            if (m_offeredCaps.contains(cap) && !(m_viaBouncer && cap == u"echo-message"))
                wanted << cap;
        }
        if (!wanted.isEmpty())
            enqueueCommand(u"CAP"_s, {u"REQ"_s, wanted.join(u' ')}, true);
        else
            enqueueCommand(u"CAP"_s, {u"END"_s});
        pump();
    } else if (sub == u"ACK" || sub == u"NAK") {
        if (sub == u"ACK" && caps.contains(u"echo-message"_s))
            m_serverEchoes = true;
        if (sub == u"ACK")
            noteHistoryCaps(caps);
        if (m_phase == Phase::Registering) {
            enqueueCommand(u"CAP"_s, {u"END"_s});
            pump();
        }
    } else if (sub == u"DEL") {
        if (caps.contains(u"echo-message"_s))
            m_serverEchoes = false;
    }
}

void IrcRoom::handleWelcome(const IrcMessage& message)
{
    if (m_phase != Phase::Registering)
        return;
    if (!message.param(0).isEmpty())
        m_nick = message.param(0);
    m_lastServerError.clear(); // a refusal before the welcome did not hold
    // Most servers greet with our full "nick!user@host".
    const QString greeting = message.lastParam();
    const QString last = greeting.section(u' ', -1);
    const qsizetype bang = last.indexOf(u'!');
    if (bang > 0 && last.indexOf(u'@', bang) > bang)
        m_userHost = last.mid(bang + 1);
    setPhase(Phase::Registered);
    m_pingOutstanding = false;
    restartIdleTimer(m_settings.keepaliveMs);
    announce(u"Joining %1 on %2 as %3 ..."_s.arg(m_settings.address.channel,
                                                 m_settings.address.host, m_nick));
    sendCommand(u"JOIN"_s, {m_settings.address.channel});
}

void IrcRoom::handleIsupport(const IrcMessage& message)
{
    for (qsizetype i = 1; i + 1 < message.params.size(); ++i) {
        const QString& token = message.params[i];
        const QString key = token.section(u'=', 0, 0);
        const QString value = token.section(u'=', 1);
        if (key == u"NICKLEN" || key == u"MAXNICKLEN") {
            bool ok = false;
            const int length = value.toInt(&ok);
            if (ok && length > 0) {
                m_nickLength = length;
                m_nickLengthKnown = true;
            }
        } else if (key == u"CASEMAPPING") {
            m_caseMapping = caseMappingFromName(value);
        }
    }
}

void IrcRoom::handleNickRefused(const IrcMessage& message)
{
    if (m_phase != Phase::Registering)
        return;
    const QString refused = message.param(1).isEmpty() ? m_nick : message.param(1);
    const bool erroneous = message.command == u"432";
    // A nick the server calls erroneous may just be too long for it; after
    // a few tries we give up on the chosen nick's letters.
    QString base = m_settings.address.nick;
    if (erroneous && m_nickAttempt >= 2)
        base = u"svw"_s;
    int limit = m_nickLengthKnown ? m_nickLength
                                  : (erroneous ? kIrcMinNickLength
                                               : std::max<int>(kIrcMinNickLength, refused.size()));
    if (m_nickAttempt >= kMaxNickAttempts) {
        onSocketLost(u"the server refused %1 nicks in a row, the last %2 (%3)"_s.arg(
            QString::number(kMaxNickAttempts), refused, message.lastParam()));
        return;
    }
    QString next;
    do {
        ++m_nickAttempt;
        next = alternateNick(base, m_nickAttempt, limit);
    } while (ircFolded(next, m_caseMapping) == ircFolded(refused, m_caseMapping));
    announce(
        u"The nick %1 was refused (%2); trying %3 ..."_s.arg(refused, message.lastParam(), next));
    m_nick = next;
    sendCommand(u"NICK"_s, {next});
}

} // namespace svw
