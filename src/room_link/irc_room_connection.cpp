// SPDX-License-Identifier: GPL-3.0-or-later
// The IRC room's connection: reaching the server over TCP or TLS, reading
// its lines, noticing a silent or lost server and reconnecting.
#include "irc_room.h"
#include "irc_room_detail.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QSslSocket>

#include <algorithm>

namespace svw {

using namespace Qt::StringLiterals;
using namespace irc_room_detail;

namespace {

// A server line longer than this is not IRC (512 bytes and 8 KiB of tags).
constexpr qsizetype kMaxInboxBytes = 16 * 1024;

// What the socket may hold for us unread; a server that sends faster than
// we handle its lines waits instead of growing our memory.
constexpr qint64 kReadBufferBytes = 64 * 1024;

QString describeCertificate(const QSslCertificate& certificate)
{
    if (certificate.isNull())
        return u"The server showed no certificate."_s;
    const QString subject = certificate.subjectDisplayName();
    const QString issuer = certificate.issuerDisplayName();
    return u"Certificate subject: %1\nIssued by: %2\nSHA-256 fingerprint: %3"_s.arg(
        subject.isEmpty() ? u"(none)"_s : subject, issuer.isEmpty() ? u"(none)"_s : issuer,
        QString::fromLatin1(certificate.digest(QCryptographicHash::Sha256).toHex(':').toUpper()));
}

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
    m_enabledCaps.clear();
    m_capEnded = false;
    m_saslMechanism = saslMechanism();
    m_saslMechanisms.clear();
    m_account.clear();
    m_passwordRefused = false;
    m_heardFromServer = false;
    setNick(address.nick);
    m_nickAttempt = 0;
    m_pingOutstanding = false;
    m_lastServerError.clear();
    m_certificateRefusal.clear();
    m_tcpConnected = false;
    m_capLsLines = 0;
    m_answeredMark = m_lastMark;
    m_viaBouncer = false;
    setUnconfirmed(false);
    m_batches.clear();
    m_playbackModule = false;
    m_chathistory = false;
    m_splitMembers.clear();
    m_pendingPong.reset();
    m_pongTimer.stop();
    m_pingsInWindow = 0;
    socket->setReadBufferSize(kReadBufferBytes);

    connect(socket, &QSslSocket::readyRead, this, &IrcRoom::onReadyRead);
    connect(socket, &QSslSocket::connected, this, [this] {
        m_tcpConnected = true;
        if (m_settings.address.tls)
            restartIdleTimer(m_settings.tlsHandshakeMs);
    });
    connect(socket, &QSslSocket::disconnected, this,
            [this] { onSocketLost(u"the server closed the connection"_s, true); });
    connect(socket, &QSslSocket::errorOccurred, this, [this, socket] {
        const QAbstractSocket::SocketError error = socket->error();
        const bool handshaking =
            m_settings.address.tls && m_tcpConnected && m_phase == Phase::Connecting;
        if (!m_certificateRefusal.isEmpty()) {
            giveUp(u"The certificate of %1:%2 was refused."_s.arg(m_settings.address.host)
                       .arg(m_settings.address.port),
                   m_certificateRefusal);
        } else if (error == QAbstractSocket::SslHandshakeFailedError) {
            // A plain IRC port answers a TLS greeting with IRC text, which
            // fails the handshake every time: trying again would not help.
            giveUp(u"The TLS handshake with %1:%2 failed."_s.arg(m_settings.address.host)
                       .arg(m_settings.address.port),
                   u"The TLS handshake with %1:%2 failed (%3). The port may not speak TLS: an "
                   u"ircs:// address needs the server's TLS port (often 6697); a plain port "
                   u"(often 6667) is reached with irc://.\n\nThe program does not try again; "
                   u"what you send waits until SVW is started with a working address."_s
                       .arg(m_settings.address.host)
                       .arg(m_settings.address.port)
                       .arg(socket->errorString()));
        } else if (handshaking) {
            onSocketLost(u"the connection ended during the TLS handshake (%1); the port may "
                         u"not speak TLS"_s.arg(socket->errorString()));
        } else if (error != QAbstractSocket::RemoteHostClosedError) {
            onSocketLost(socket->errorString());
        } else {
            onSocketLost(u"the server closed the connection"_s, true);
        }
    });

    setPhase(Phase::Connecting);
    m_session.leftRoom();
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
    if (!m_settings.clientCertificate.isNull()) {
        tls.setLocalCertificate(m_settings.clientCertificate);
        tls.setPrivateKey(m_settings.clientKey);
    }
    socket->setSslConfiguration(tls);
    connect(socket, &QSslSocket::encrypted, this, &IrcRoom::onSocketReady);
    // Certificate errors are never ignored: the handshake fails.
    connect(socket, &QSslSocket::sslErrors, this, &IrcRoom::onSslErrors);
    socket->connectToHostEncrypted(address.host, address.port, address.host);
}

void IrcRoom::onSslErrors(const QList<QSslError>& errors)
{
    QStringList reasons;
    QSslCertificate certificate;
    for (const QSslError& error : errors) {
        reasons.append(error.errorString());
        if (certificate.isNull())
            certificate = error.certificate();
    }
    if (certificate.isNull() && m_socket && !m_socket->peerCertificateChain().isEmpty())
        certificate = m_socket->peerCertificateChain().constFirst();
    // A refused certificate is refused again on every try: the user hears
    // of it at once, with what it takes to trust it.
    m_certificateRefusal =
        u"The server %1:%2 showed a certificate that is not trusted: %3.\n\n%4\n\nThe program "
        u"does not connect to it and does not try again. If you trust this certificate, save it "
        u"(or the certificate that issued it) in a PEM file, set SVW_IRC_CAFILE to that file and "
        u"start SVW again. What you send waits until then."_s.arg(m_settings.address.host)
            .arg(m_settings.address.port)
            .arg(reasons.join(u"; "_s), describeCertificate(certificate));
}

void IrcRoom::giveUp(const QString& status, const QString& why)
{
    m_gaveUp = true;
    onSocketLost(status);
    announce(status + u" Not trying again."_s);
    m_session.tellNow(why);
}

void IrcRoom::answerPing(const QStringList& params)
{
    const qint64 now = m_clock.elapsed();
    if (now - m_pingWindowStartMs > m_settings.pingWindowMs) {
        m_pingWindowStartMs = now;
        m_pingsInWindow = 0;
    }
    if (++m_pingsInWindow > std::max(1, m_settings.pingFloodLimit)) {
        onSocketLost(u"the server sent more than %1 PINGs within %2; it was left as "
                     u"flooding"_s.arg(m_settings.pingFloodLimit)
                         .arg(seconds(m_settings.pingWindowMs)));
        return;
    }
    // One answer waits at most, with the newest token: a server asks
    // whether we are still there, and one answer says so.
    m_pendingPong = params;
    const qint64 since = now - m_lastPongMs;
    if (m_lastPongMs < 0 || since >= m_settings.pongIntervalMs)
        writePong();
    else if (!m_pongTimer.isActive())
        m_pongTimer.start(int(m_settings.pongIntervalMs - since));
}

void IrcRoom::writePong()
{
    if (!m_pendingPong || !m_socket)
        return;
    // Answers go outside the pace of room lines, so they never hold back
    // what the user says; there is at most one an interval.
    if (std::optional<QByteArray> bytes = formatIrcCommand(u"PONG"_s, *m_pendingPong, true))
        m_socket->write(*bytes);
    m_pendingPong.reset();
    m_lastPongMs = m_clock.elapsed();
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
    const QByteArray bytes = socket->readAll();
    if (answeredWithTls(bytes))
        return;
    m_heardFromServer = true;
    m_inbox.append(bytes);
    m_pingOutstanding = false;
    restartIdleTimer(m_phase == Phase::Registered || m_phase == Phase::Joined
                         ? m_settings.keepaliveMs
                         : m_settings.connectTimeoutMs);

    qsizetype start = 0;
    while (true) {
        const qsizetype end = m_inbox.indexOf('\n', start);
        if (end < 0)
            break;
        if (end - start > kMaxInboxBytes) {
            onSocketLost(u"the server sent a line too long for IRC"_s);
            return;
        }
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

void IrcRoom::onSocketLost(const QString& reason, bool serverClosed)
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
    m_pendingPong.reset();
    m_pongTimer.stop();
    m_pumpTimer.stop();
    m_rejoinTimer.stop();
    m_idleTimer.stop();
    setPhase(Phase::Waiting);

    m_session.leftRoom();

    // What the server said before closing on us is the cause only when it
    // closed; a disconnect of our own has its own reason.
    QString why = serverClosed && !m_lastServerError.isEmpty() ? m_lastServerError : reason;
    if (serverClosed && !m_settings.address.tls && m_tcpConnected && !m_heardFromServer)
        why += u" before saying anything: this port may speak TLS: try ircs://"_s;
    m_lastServerError.clear();
    if (m_passwordRefused && !m_gaveUp)
        refusePassword();
    else if (!m_gaveUp)
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
    m_session.beginOutage();
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
        if (m_settings.address.tls && m_tcpConnected) {
            // A plain IRC port waits for a line end that a TLS greeting never
            // has. That is worth telling now, not once an outage has lasted;
            // the server may still come back speaking TLS, so we keep trying.
            const QString why =
                u"%1:%2 took the connection but did not answer the TLS "
                u"greeting within %3: the port may not speak TLS"_s.arg(m_settings.address.host)
                    .arg(m_settings.address.port)
                    .arg(seconds(m_settings.tlsHandshakeMs));
            onSocketLost(why);
            if (!m_session.outageTold()) {
                m_session.tellNow(
                    why + u".\n\nAn ircs:// address needs the server's TLS port (often 6697); "
                          u"a plain port (often 6667) is reached with irc://. The program keeps "
                          u"trying; what you send waits."_s);
            }
            return;
        }
        [[fallthrough]];
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
        m_commands.push_front(confirmation());
        restartIdleTimer(m_settings.pingTimeoutMs);
        pump();
        return;
    }
}

} // namespace svw
