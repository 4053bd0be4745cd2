// SPDX-License-Identifier: GPL-3.0-or-later
// A copy that joins the host: it says hello, waits for the welcome, sends its
// lines and takes the room's lines in the host's order.
#include "local_room.h"

#include <QLocalSocket>
#include <QPointer>
#include <QtEndian>

#include <algorithm>

#include <poll.h>

namespace svw {

namespace {

QByteArray lengthPrefixed(const QByteArray& body)
{
    QByteArray frame(4, Qt::Uninitialized);
    qToBigEndian<quint32>(quint32(body.size()), frame.data());
    return frame + body;
}

} // namespace

void LocalRoom::connectToHost()
{
    QLocalSocket* host = new QLocalSocket(this);
    m_host = host;
    m_hostReader.clear();
    m_hostHeard = m_clock.elapsed();
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
    host->connectToServer(socketPath());
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

void LocalRoom::welcomed(const LocalRoomMessage& welcome)
{
    m_retry.stop();
    if (!m_everJoined) {
        // Lines said before this copy came are not its to hear.
        for (auto it = welcome.seen.cbegin(); it != welcome.seen.cend(); ++it) {
            qint64& last = m_lastSeen[it.key()];
            last = std::max(last, it.value());
        }
    }
    m_everJoined = true;
    setState(State::Joined);
    if (welcome.missed > 0 && !m_closing)
        emit roomTrouble(
            QStringLiteral("%1 line(s) of the local room \"%2\" were said while this copy was "
                           "away and are no longer held by the room; they are missing here.")
                .arg(welcome.missed)
                .arg(m_name));
    // The lines of the last few seconds, which the last host may not have
    // told the new one; the host relays those it has not seen. This copy's
    // own come too, as their only keeper may be this copy.
    const qint64 oldest = m_clock.elapsed() - m_tuning.recentMs;
    for (const HistoryLine& recent : m_history) {
        if (recent.receivedAt < oldest)
            continue;
        std::optional<LocalRoomMessage> offer = decodeLocalRoomMessage(recent.frame.mid(4));
        if (!offer)
            continue;
        offer->kind = LocalRoomMessage::Kind::Say;
        m_host->write(frameLocalRoomMessage(*offer));
    }
    // Then everything said here and not yet seen relayed, in the order said.
    for (const PendingLine& line : m_pending)
        m_host->write(frameLocalRoomMessage(ownMessage(LocalRoomMessage::Kind::Say, line)));
    m_host->flush();
}

void LocalRoom::readFromHost()
{
    QLocalSocket* host = m_host;
    m_hostHeard = m_clock.elapsed();
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
        // The host welcomes a copy once, first; after that it relays lines
        // and pings.
        const bool joined = m_state == State::Joined;
        const bool expected =
            message && (joined ? message->kind == LocalRoomMessage::Kind::Line ||
                                     message->kind == LocalRoomMessage::Kind::Ping
                               : message->kind == LocalRoomMessage::Kind::Welcome);
        if (!expected) {
            leaveHost(QStringLiteral("its host sent a malformed message"));
            return;
        }
        if (message->kind == LocalRoomMessage::Kind::Welcome) {
            welcomed(*message);
        } else if (message->kind == LocalRoomMessage::Kind::Line) {
            LocalRoomMessage line = *message;
            line.nick = boundLocalRoomNick(line.nick);
            receive(line, lengthPrefixed(body));
        }
        if (!alive)
            return;
    }
}

// A host that has said nothing, not even a ping, for so long is frozen (a
// stopped process keeps its lock and its socket): the room moves on to the
// next epoch without it.
void LocalRoom::checkHost()
{
    if (!m_host || m_clock.elapsed() - m_hostHeard < m_tuning.silenceMs)
        return;
    // This copy may have been the one stopped: what the host said meanwhile
    // is waiting to be read, and the event loop hands it over next. (Not
    // waitForReadyRead(): its time-out counts as an error of the socket.)
    pollfd waiting = {int(m_host->socketDescriptor()), POLLIN, 0};
    if (waiting.fd >= 0 && ::poll(&waiting, 1, 0) > 0)
        return;
    const qint64 recorded = recordedEpoch();
    leaveHost(QStringLiteral("its host stopped answering"));
    m_epoch = recorded > m_epoch ? recorded : m_epoch + 1;
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
