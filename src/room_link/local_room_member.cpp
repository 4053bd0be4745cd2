// SPDX-License-Identifier: GPL-3.0-or-later
// A copy that joins the host: it says hello, waits for the welcome, sends its
// lines and takes the room's lines in the host's order.
#include "local_room.h"

#include <QLocalSocket>
#include <QPointer>

namespace svw {

void LocalRoom::connectToHost()
{
    QLocalSocket* host = new QLocalSocket(this);
    m_host = host;
    m_hostReader.clear();
    connect(host, &QLocalSocket::connected, this, [this, host] {
        if (host == m_host)
            sayHello();
    });
    connect(host, &QLocalSocket::readyRead, this, [this, host] {
        if (host == m_host)
            readFromHost();
    });
    connect(host, &QLocalSocket::disconnected, this, [this, host] {
        if (host == m_host)
            leaveHost(QStringLiteral("its host has left"));
    });
    connect(host, &QLocalSocket::errorOccurred, this, [this, host] {
        if (host == m_host)
            leaveHost(QStringLiteral("its host has left"));
    });
    // May fail (or succeed) before it returns; the handlers above cope.
    host->connectToServer(m_socketPath);
}

void LocalRoom::sayHello()
{
    LocalRoomMessage hello;
    hello.kind = LocalRoomMessage::Kind::Hello;
    hello.origin = m_origin;
    hello.fresh = !m_everJoined;
    hello.seen = m_lastSeen;
    m_host->write(frameLocalRoomMessage(hello));
    m_host->flush();
}

void LocalRoom::welcomed()
{
    m_retry.stop();
    m_everJoined = true;
    setState(State::Joined);
    // The lines of the last few seconds, which the last host may not have
    // told the new one; the host relays those it has not seen.
    for (const RecentLine& recent : m_recent) {
        if (recent.line.origin != m_origin) {
            LocalRoomMessage offer = recent.line;
            offer.kind = LocalRoomMessage::Kind::Say;
            m_host->write(frameLocalRoomMessage(offer));
        }
    }
    // Then everything said here and not yet seen relayed, in the order said.
    for (const PendingLine& line : m_pending)
        m_host->write(frameLocalRoomMessage(ownMessage(LocalRoomMessage::Kind::Say, line)));
    m_host->flush();
}

void LocalRoom::readFromHost()
{
    QLocalSocket* host = m_host;
    m_hostReader.append(host->readAll());
    QPointer<LocalRoom> alive(this);
    for (;;) {
        if (m_host != host)
            return;
        QByteArray body;
        const auto status = m_hostReader.next(&body);
        if (status == LocalRoomFrameReader::Status::NeedMore)
            return;
        if (status == LocalRoomFrameReader::Status::Broken) {
            leaveHost(QStringLiteral("its host announced an oversized message"));
            return;
        }
        const std::optional<LocalRoomMessage> message = decodeLocalRoomMessage(body);
        // The host welcomes a copy once, first; after that it only relays lines.
        const auto expected = m_state == State::Joined ? LocalRoomMessage::Kind::Line
                                                       : LocalRoomMessage::Kind::Welcome;
        if (!message || message->kind != expected) {
            leaveHost(QStringLiteral("its host sent a malformed message"));
            return;
        }
        if (message->kind == LocalRoomMessage::Kind::Welcome)
            welcomed();
        else
            receive(*message);
        if (!alive)
            return;
    }
}

void LocalRoom::leaveHost(const QString& why)
{
    QLocalSocket* host = m_host;
    m_host = nullptr;
    m_hostReader.clear();
    host->disconnect(this);
    host->abort();
    host->deleteLater();
    if (m_closing)
        return;
    if (m_state == State::Joined)
        setState(State::Reforming, why);
    if (!m_retry.isActive()) {
        m_retry.start();
        // The first try at once: the lock is often free already.
        QTimer::singleShot(0, this, &LocalRoom::tryEnter);
    }
}

} // namespace svw
