// SPDX-License-Identifier: GPL-3.0-or-later
// The IRC room's connection: reaching the server over TCP or TLS, reading
// its lines, noticing a silent or lost server and reconnecting.
#include "irc_room.h"
#include "irc_room_detail.h"

#include <QRandomGenerator>
#include <QSslConfiguration>
#include <QSslSocket>

#include <algorithm>

namespace svw {

using namespace Qt::StringLiterals;
using namespace irc_room_detail;

namespace {

// A server line longer than this without a line end is not IRC.
constexpr qsizetype kMaxInboxBytes = 16 * 1024;
} // namespace

void IrcRoom::connectToServer()
{
    m_reconnectTimer.stop();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
        m_socket->deleteLater();
    }
    const IrcAddress& address = m_settings.address;
    auto* socket = new QSslSocket(this);
    m_socket = socket;
    m_inbox.clear();
    m_commands.clear();
    m_serverEchoes = false;
    m_offeredCaps.clear();
    m_nick = address.nick;
    m_nickAttempt = 0;
    m_pingOutstanding = false;
    m_lastSslError.clear();
    m_lastServerError.clear();

    connect(socket, &QSslSocket::readyRead, this, &IrcRoom::onReadyRead);
    connect(socket, &QSslSocket::disconnected, this,
            [this] { onSocketLost(u"the server closed the connection"_s); });
    connect(socket, &QSslSocket::errorOccurred, this, [this, socket] {
        if (socket->error() != QAbstractSocket::RemoteHostClosedError)
            onSocketLost(socket->errorString());
        else
            onSocketLost(u"the server closed the connection"_s);
    });

    setPhase(Phase::Connecting);
    announce(u"Connecting to %1:%2 ..."_s.arg(address.host).arg(address.port));
    restartIdleTimer(m_settings.connectTimeoutMs);

    if (!address.tls) {
        connect(socket, &QSslSocket::connected, this, &IrcRoom::onSocketReady);
        socket->connectToHost(address.host, address.port);
        return;
    }
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    if (!m_settings.extraCaCertificates.isEmpty())
        tls.addCaCertificates(m_settings.extraCaCertificates);
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    socket->setSslConfiguration(tls);
    connect(socket, &QSslSocket::encrypted, this, &IrcRoom::onSocketReady);
    // Certificate errors are never ignored: the handshake fails, and the
    // reasons go into the status.
    connect(socket, &QSslSocket::sslErrors, this, [this](const QList<QSslError>& errors) {
        QStringList reasons;
        for (const QSslError& error : errors)
            reasons.append(error.errorString());
        m_lastSslError = u"the server's certificate was refused: "_s + reasons.join(u"; "_s);
    });
    socket->connectToHostEncrypted(address.host, address.port, address.host);
}

void IrcRoom::onSocketReady()
{
    if (!m_socket)
        return;
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    setPhase(Phase::Registering);
    announce(u"Registering with %1 as %2 ..."_s.arg(m_settings.address.host, m_nick));
    m_pacer.reset(m_clock.elapsed());
    enqueueCommand(u"CAP"_s, {u"LS"_s, u"302"_s});
    if (!m_settings.address.password.isEmpty())
        enqueueCommand(u"PASS"_s, {m_settings.address.password});
    enqueueCommand(u"NICK"_s, {m_nick});
    enqueueCommand(u"USER"_s, {m_settings.userName, u"0"_s, u"*"_s, m_settings.realName}, true);
    pump();
}

void IrcRoom::onReadyRead()
{
    QSslSocket* socket = m_socket;
    if (!socket)
        return;
    m_inbox.append(socket->readAll());
    m_pingOutstanding = false;
    restartIdleTimer(m_phase == Phase::Registered || m_phase == Phase::Joined
                         ? m_settings.keepaliveMs
                         : m_settings.connectTimeoutMs);

    qsizetype start = 0;
    while (true) {
        const qsizetype end = m_inbox.indexOf('\n', start);
        if (end < 0)
            break;
        const QByteArrayView line = QByteArrayView(m_inbox).sliced(start, end - start);
        start = end + 1;
        if (const std::optional<IrcMessage> message = parseIrcLine(line))
            handleMessage(*message);
        if (socket != m_socket)
            return; // the connection was given up while handling the line
    }
    m_inbox.remove(0, start);
    if (m_inbox.size() > kMaxInboxBytes)
        onSocketLost(u"the server sent a line too long for IRC"_s);
}

void IrcRoom::onSocketLost(const QString& reason)
{
    if (!m_socket)
        return;
    QSslSocket* socket = m_socket;
    m_socket = nullptr;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();

    requeueInFlight();
    m_commands.clear();
    m_pumpTimer.stop();
    m_rejoinTimer.stop();
    m_idleTimer.stop();
    setPhase(Phase::Waiting);

    QString why = reason;
    if (!m_lastSslError.isEmpty())
        why = m_lastSslError;
    else if (!m_lastServerError.isEmpty())
        why = m_lastServerError;
    scheduleReconnect(why);
}

void IrcRoom::scheduleReconnect(const QString& reason)
{
    // A little spread keeps many clients from coming back to a restarted
    // server in the same instant.
    const int spread = m_backoffMs / 10;
    const int delay =
        m_backoffMs + (spread > 0 ? int(QRandomGenerator::global()->bounded(spread + 1)) : 0);
    m_backoffMs = std::min(std::max(1, m_settings.reconnectMaxMs), m_backoffMs * 2);
    announce(u"Lost the connection to %1 (%2). Reconnecting in %3 ..."_s.arg(
        m_settings.address.host, reason, seconds(delay)));
    beginOutage();
    m_reconnectTimer.start(delay);
}

void IrcRoom::restartIdleTimer(int ms)
{
    m_idleTimer.start(std::max(1, ms));
}

void IrcRoom::onIdleTimeout()
{
    switch (m_phase) {
    case Phase::Waiting:
        return;
    case Phase::Connecting:
    case Phase::Registering:
        onSocketLost(
            u"no welcome from the server within %1"_s.arg(seconds(m_settings.connectTimeoutMs)));
        return;
    case Phase::Registered:
    case Phase::Joined:
        if (m_pingOutstanding) {
            onSocketLost(u"no answer from the server for %1"_s.arg(
                seconds(m_settings.keepaliveMs + m_settings.pingTimeoutMs)));
            return;
        }
        m_pingOutstanding = true;
        askConfirmation();
        restartIdleTimer(m_settings.pingTimeoutMs);
        pump();
        return;
    }
}

} // namespace svw
