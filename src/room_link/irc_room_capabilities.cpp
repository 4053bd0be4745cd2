// SPDX-License-Identifier: GPL-3.0-or-later
// The IRC room's capability negotiation and SASL, before the welcome.
#include "irc_capabilities.h"
#include "irc_room.h"
#include "irc_room_detail.h"

#include <QSslSocket>

namespace svw {

using namespace Qt::StringLiterals;
using namespace irc_room_detail;

namespace {

// Real servers list their capabilities in a few lines of a few dozen.
constexpr int kMaxCapLsLines = 32;

} // namespace

QString IrcRoom::saslMechanism() const
{
    return saslMechanismFor(!m_settings.clientCertificate.isNull(), m_settings.saslAccount,
                            m_settings.saslPassword);
}

void IrcRoom::handleCap(const IrcMessage& message)
{
    const QString sub = message.param(1).toUpper();
    const QString list = message.lastParam();
    const QStringList caps = list.split(u' ', Qt::SkipEmptyParts);
    if (sub == u"LS") {
        // A capability list takes a few lines; one that runs on without end
        // would only grow our memory.
        if (++m_capLsLines > kMaxCapLsLines) {
            onSocketLost(u"the server's capability list ran past %1 lines; it was left as "
                         u"flooding"_s.arg(kMaxCapLsLines));
            return;
        }
        addOfferedCapabilities(list, &m_offeredCaps);
        const bool more = message.params.size() >= 4 && message.param(2) == u"*";
        if (more || m_phase != Phase::Registering)
            return;
        m_viaBouncer = offeredByBouncer(m_offeredCaps);
        const QStringList request = wantedOfServer(m_saslMechanism);
        if (!m_saslMechanism.isEmpty() && !request.contains(u"sasl"_s)) {
            tellNoSasl(m_offeredCaps.contains(u"sasl"_s)
                           ? u"it does not take SASL %1 (it takes %2)"_s.arg(
                                 m_saslMechanism, m_offeredCaps.value(u"sasl"_s))
                           : u"it does not offer SASL"_s);
        }
        requestCapabilities(request);
    } else if (sub == u"ACK") {
        for (const QString& cap : caps) {
            if (cap.startsWith(u'-'))
                m_enabledCaps.remove(cap.mid(1));
            else
                m_enabledCaps.insert(cap);
        }
        m_serverEchoes = m_enabledCaps.contains(u"echo-message"_s);
        noteHistoryCaps(caps);
        if (m_phase != Phase::Registering)
            return;
        if (caps.contains(u"sasl"_s) && !m_saslMechanism.isEmpty())
            sendCommand(u"AUTHENTICATE"_s, {m_saslMechanism});
        else
            endCapabilities();
    } else if (sub == u"NAK") {
        if (m_phase != Phase::Registering)
            return;
        // A request is taken or refused whole.
        if (caps.contains(u"sasl"_s))
            tellNoSasl(u"it refused the request for SASL"_s);
        endCapabilities();
    } else if (sub == u"DEL") {
        for (const QString& cap : caps)
            m_enabledCaps.remove(cap.section(u'=', 0, 0));
        m_serverEchoes = m_enabledCaps.contains(u"echo-message"_s);
    } else if (sub == u"NEW") {
        addOfferedCapabilities(list, &m_offeredCaps);
        if (m_phase == Phase::Registering)
            return; // the request after LS is still to come or answered
        // Identifying happens only before the welcome.
        QStringList request = wantedOfServer(QString());
        request.removeIf([this](const QString& cap) { return m_enabledCaps.contains(cap); });
        if (!request.isEmpty())
            sendCommand(u"CAP"_s, {u"REQ"_s, request.join(u' ')}, true);
    }
}

QStringList IrcRoom::wantedOfServer(const QString& saslMechanism) const
{
    QStringList request = capabilitiesToRequest(m_offeredCaps, saslMechanism);
    // Behind a bouncer its echo would show a line as said before the server
    // took it; lines are confirmed through the server instead.
    if (m_viaBouncer)
        request.removeAll(u"echo-message"_s);
    return request;
}

void IrcRoom::requestCapabilities(const QStringList& request)
{
    if (request.isEmpty())
        endCapabilities();
    else
        sendCommand(u"CAP"_s, {u"REQ"_s, request.join(u' ')}, true);
}

void IrcRoom::endCapabilities()
{
    if (m_capEnded)
        return;
    m_capEnded = true;
    sendCommand(u"CAP"_s, {u"END"_s});
}

void IrcRoom::handleSasl(const IrcMessage& message)
{
    const QString& command = message.command;
    if (command == u"900") { // logged in, also when services log us in later
        m_account = message.param(2);
        emit roomNotice(u"%1: %2"_s.arg(message.nick(), message.lastParam()));
        return;
    }
    if (command == u"901") {
        m_account.clear();
        emit roomNotice(u"%1: %2"_s.arg(message.nick(), message.lastParam()));
        return;
    }
    if (m_phase != Phase::Registering || m_saslMechanism.isEmpty())
        return;
    if (command == u"AUTHENTICATE") {
        if (message.param(0) != u"+")
            return; // neither PLAIN nor EXTERNAL has challenges
        const QByteArray response =
            saslResponse(m_saslMechanism, m_settings.saslAccount, m_settings.saslPassword);
        for (const QString& chunk : saslChunks(response))
            enqueueCommand(u"AUTHENTICATE"_s, {chunk});
        pump();
    } else if (command == u"903" || command == u"907") { // identified (907: already)
        endCapabilities();
    } else if (command == u"908") {
        m_saslMechanisms = message.param(1);
    } else if (command == u"902" || command == u"904" || command == u"905" || command == u"906") {
        QString reason = message.lastParam();
        if (!m_saslMechanisms.isEmpty() &&
            !m_saslMechanisms.split(u',').contains(m_saslMechanism, Qt::CaseInsensitive))
            reason += u"; the server takes %1, not %2"_s.arg(m_saslMechanisms, m_saslMechanism);
        refuseAccount(reason.isEmpty() ? u"no reason given"_s : reason);
    }
}

void IrcRoom::refuseAccount(const QString& reason)
{
    const QString& account = m_settings.saslAccount;
    const bool external = m_saslMechanism == u"EXTERNAL";
    const QString whom =
        external
            ? (account.isEmpty() ? u"your client certificate"_s
                                 : u"the account %1 with your client certificate"_s.arg(account))
            : u"the account %1"_s.arg(account);
    const QString mend = external ? u"Check that the certificate's fingerprint is added to the "
                                    u"account (NickServ CERT ADD) and that SVW_IRC_CERT names "
                                    u"the right file."_s
                                  : u"Check the account name and its password."_s;
    if (m_socket) {
        m_socket->write("QUIT\r\n");
        m_socket->flush();
    }
    // Trying a wrong password again and again gets accounts locked and
    // addresses banned; the user mends it and starts anew.
    giveUp(u"%1 refused %2."_s.arg(m_settings.address.host, whom),
           u"%1 refused %2: %3.\n\n%4 The program does not try again; what you send waits "
           u"until SVW is started with an account the server takes."_s.arg(m_settings.address.host,
                                                                           whom, reason, mend));
}

void IrcRoom::tellNoSasl(const QString& why)
{
    // We register all the same: the channel may not need the account. The
    // user hears of it once, not on every reconnect.
    if (m_saslMissingTold)
        return;
    m_saslMissingTold = true;
    const QString whom = m_settings.saslAccount.isEmpty() ? u"with your client certificate"_s
                                                          : u"as %1"_s.arg(m_settings.saslAccount);
    emit roomTrouble(
        u"%1 cannot identify you %2: %3.\n\nThe program joins %4 without an account; a "
        u"channel that takes only identified members will not let you in or speak."_s.arg(
            m_settings.address.host, whom, why, m_settings.address.channel));
}

} // namespace svw
