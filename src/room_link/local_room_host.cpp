// SPDX-License-Identifier: GPL-3.0-or-later
// The hosting copy: it holds the lock, listens, and relays every line said in
// the room to every copy in one order.
#include "local_room.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>

#include <vector>

#include <sys/socket.h>
#include <unistd.h>

namespace svw {

namespace {

// A copy that lets this much of the room's traffic pile up unread is dropped
// rather than allowed to fill the host's memory.
constexpr qint64 kMaxBacklog = 16 * kLocalRoomMaxFrame;

// The directory already keeps other users out; checking the peer's user as
// well also keeps out processes of other users that could pass it (root).
bool fromThisUser(QLocalSocket* socket)
{
#ifdef SO_PEERCRED
    struct ucred credentials = {};
    socklen_t size = sizeof credentials;
    if (::getsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &credentials,
                     &size) != 0)
        return false;
    return credentials.uid == ::geteuid();
#else
    Q_UNUSED(socket);
    return true;
#endif
}

} // namespace

void LocalRoom::startHosting()
{
    if (m_host) {
        // A connection attempt still running: the room is ours now.
        m_host->disconnect(this);
        m_host->abort();
        m_host->deleteLater();
        m_host = nullptr;
        m_hostReader.clear();
    }

    // We hold the lock, so any socket file is left over from a host that died.
    QLocalServer::removeServer(m_socketPath);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &LocalRoom::acceptCopies);
    if (!m_server->listen(m_socketPath)) {
        const QString why = QStringLiteral("The local room cannot be hosted at %1 (%2).")
                                .arg(m_socketPath, m_server->errorString());
        delete m_server;
        m_server = nullptr;
        // Let another copy try; this one keeps trying too.
        m_lock.unlock();
        announceTrouble(why);
        return;
    }
    m_retry.stop();
    m_everJoined = true;
    setState(State::Hosting);
    // Lines said while the room re-formed go out now, in the order said.
    scheduleOwnLines();
}

void LocalRoom::acceptCopies()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        if (!fromThisUser(socket)) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        // It gets lines once it has said hello; see takeFromCopy().
        m_copies.emplace(socket, Copy());
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFromCopy(socket); });
        connect(socket, &QLocalSocket::disconnected, this,
                [this, socket] { dropCopy(socket, {}); });
        connect(socket, &QLocalSocket::errorOccurred, this,
                [this, socket] { dropCopy(socket, {}); });
        if (socket->bytesAvailable() > 0)
            QTimer::singleShot(0, this, [this, socket] { readFromCopy(socket); });
    }
}

void LocalRoom::readFromCopy(QLocalSocket* socket)
{
    auto found = m_copies.find(socket);
    if (found == m_copies.end())
        return;
    found->second.reader.append(socket->readAll());

    QPointer<LocalRoom> alive(this);
    for (;;) {
        found = m_copies.find(socket);
        if (found == m_copies.end())
            break; // dropped meanwhile
        QByteArray body;
        const auto status = found->second.reader.next(&body);
        if (status == LocalRoomFrameReader::Status::NeedMore)
            break;
        if (status == LocalRoomFrameReader::Status::Broken) {
            dropCopy(socket, QStringLiteral("it announced an empty or oversized message"));
            break;
        }
        const std::optional<LocalRoomMessage> message = decodeLocalRoomMessage(body);
        if (!message || !takeFromCopy(socket, *message)) {
            dropCopy(socket, QStringLiteral("it sent a malformed message"));
            break;
        }
        if (!alive)
            return;
    }
    flushCopies();
}

// One message from a copy; false when the copy broke the rules.
bool LocalRoom::takeFromCopy(QLocalSocket* socket, const LocalRoomMessage& message)
{
    Copy& copy = m_copies.at(socket);
    const bool greeted = !copy.origin.isEmpty();

    if (message.kind == LocalRoomMessage::Kind::Hello) {
        if (greeted)
            return false;
        copy.origin = message.origin;
        LocalRoomMessage welcome;
        welcome.kind = LocalRoomMessage::Kind::Welcome;
        socket->write(frameLocalRoomMessage(welcome));
        // A returning copy gets what it missed while the room re-formed; a
        // new one starts with the lines said from now on.
        if (!message.fresh) {
            for (const RecentLine& recent : m_recent) {
                if (recent.line.number > message.seen.value(recent.line.origin, 0))
                    socket->write(frameLocalRoomMessage(recent.line));
            }
        }
        return true;
    }

    if (message.kind != LocalRoomMessage::Kind::Say || !greeted)
        return false;
    LocalRoomMessage line = message;
    line.kind = LocalRoomMessage::Kind::Line;
    if (line.number > m_lastSeen.value(line.origin, 0))
        return relay(line);
    // Relayed before, maybe by the last host. Its sender may not have seen
    // it, and keeps offering it until it does: answer the sender alone.
    if (line.origin == copy.origin) {
        const QByteArray frame = frameLocalRoomMessage(line);
        if (frame.size() - 4 > kLocalRoomMaxFrame)
            return false;
        socket->write(frame);
    }
    return true;
}

void LocalRoom::dropCopy(QLocalSocket* socket, const QString& why)
{
    auto found = m_copies.find(socket);
    if (found == m_copies.end())
        return;
    m_copies.erase(found);
    socket->disconnect(this);
    if (!why.isEmpty())
        qWarning("The local room \"%s\" dropped a copy: %s.", qPrintable(m_name), qPrintable(why));
    socket->abort();
    socket->deleteLater();
}

// Tells every copy that has joined, and this one, a line of the room.
// False when the line is too long to pass on.
bool LocalRoom::relay(const LocalRoomMessage& line)
{
    const QByteArray frame = frameLocalRoomMessage(line);
    if (frame.size() - 4 > kLocalRoomMaxFrame)
        return false;

    std::vector<QLocalSocket*> laggards;
    for (auto& [socket, copy] : m_copies) {
        if (copy.origin.isEmpty())
            continue; // not in yet: it gets this line with its welcome, if it needs it
        socket->write(frame);
        if (socket->bytesToWrite() > kMaxBacklog)
            laggards.push_back(socket);
    }
    for (QLocalSocket* socket : laggards)
        dropCopy(socket, QStringLiteral("it stopped reading the room"));
    receive(line);
    return true;
}

void LocalRoom::scheduleOwnLines()
{
    if (m_ownLinesScheduled)
        return;
    m_ownLinesScheduled = true;
    QTimer::singleShot(0, this, &LocalRoom::relayOwnLines);
}

void LocalRoom::relayOwnLines()
{
    m_ownLinesScheduled = false;
    if (m_state != State::Hosting)
        return;
    QPointer<LocalRoom> alive(this);
    // receive() takes each line off m_pending as it is relayed.
    const std::deque<PendingLine> lines = m_pending;
    for (const PendingLine& line : lines) {
        relay(ownMessage(LocalRoomMessage::Kind::Line, line));
        if (!alive)
            return;
        if (m_state != State::Hosting)
            break;
    }
    flushCopies();
}

void LocalRoom::flushCopies()
{
    // Written out now rather than on the next pass of the event loop, so a
    // host that dies soon after leaves as few copies behind as possible.
    std::vector<QLocalSocket*> sockets;
    for (auto& [socket, copy] : m_copies)
        sockets.push_back(socket);
    for (QLocalSocket* socket : sockets) {
        if (m_copies.count(socket))
            socket->flush();
    }
}

} // namespace svw
