// SPDX-License-Identifier: GPL-3.0-or-later
// The hosting copy: it holds the lock, listens, and relays every line said in
// the room to every copy in one order.
#include "local_room.h"

#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

#include <QtEndian>

#include <cerrno>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace svw {

namespace {

std::optional<ucred> peerOf(QLocalSocket* socket)
{
    struct ucred credentials = {};
    socklen_t size = sizeof credentials;
    if (::getsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &credentials,
                     &size) != 0)
        return std::nullopt;
    return credentials;
}

// The directory already keeps other users out; checking the peer's user as
// well also keeps out processes of other users that could pass it (root).
bool fromThisUser(QLocalSocket* socket)
{
    const std::optional<ucred> peer = peerOf(socket);
    return peer && peer->uid == ::geteuid();
}

pid_t processOf(const QByteArray& origin)
{
    return pid_t(qFromBigEndian<quint32>(origin.constData()));
}

// Lines held for a copy whose process has not ended yet: how many copies,
// how many lines each, and how long before they are given up.
constexpr qsizetype kMaxHeldOrigins = 64;
constexpr qsizetype kMaxHeldLines = 4096;
constexpr qint64 kHeldOffersMs = 30'000;

// Whether the process an origin names still runs (stopped counts).
bool originAlive(const QByteArray& origin)
{
    const pid_t pid = processOf(origin);
    return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
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

    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &LocalRoom::acceptCopies);
    if (!listen()) {
        const QString why = QStringLiteral("The local room cannot be hosted at %1 (%2).")
                                .arg(socketPath(), m_server->errorString());
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

// QLocalServer closes its socket for good when an accept fails, as it does
// when the process runs out of descriptors; tick() listens again once it
// notices, so newcomers get in once descriptors are free again.
bool LocalRoom::listen()
{
    // We hold the lock, so any socket file is left over from a host that died
    // or from our own closed server.
    QLocalServer::removeServer(socketPath());
    return m_server->listen(socketPath());
}

// Whether `socket` comes from the process that `origin` names: only that
// process makes origins with its id (see newOrigin()).
bool LocalRoom::genuine(QLocalSocket* socket, const QByteArray& origin) const
{
    const std::optional<ucred> peer = peerOf(socket);
    return peer && peer->pid == processOf(origin);
}

void LocalRoom::hostTick()
{
    QString why;
    if (roomMoved(&why)) {
        relocate(why, m_lock.heldAtPath());
        return;
    }
    releaseHeldOffers();
    if (recordedEpoch() > m_epoch) {
        stepDown();
        return;
    }
    // A socket file removed on its own (a cleaner) leaves newcomers nothing
    // to connect to: listen again, which the copies already in do not notice.
    struct stat socketFile;
    if (m_server->isListening() &&
        ::lstat(QFile::encodeName(socketPath()).constData(), &socketFile) != 0) {
        m_server->close();
    }
    if (!m_server->isListening())
        listen();
    dropStrangers();
    LocalRoomMessage message;
    message.kind = LocalRoomMessage::Kind::Ping;
    const QByteArray ping = frameLocalRoomMessage(message);
    for (auto& [socket, copy] : m_copies) {
        if (!copy.origin.isEmpty() && socket->bytesToWrite() == 0)
            socket->write(ping);
    }
    flushCopies();
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
        Copy copy;
        copy.since = m_clock.elapsed();
        m_copies.emplace(socket, std::move(copy));
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFromCopy(socket); });
        connect(socket, &QLocalSocket::bytesWritten, this, [this, socket] { pace(socket); });
        connect(socket, &QLocalSocket::disconnected, this,
                [this, socket] { dropCopy(socket, {}); });
        connect(socket, &QLocalSocket::errorOccurred, this,
                [this, socket] { dropCopy(socket, {}); });
        if (socket->bytesAvailable() > 0)
            QTimer::singleShot(0, this, [this, socket] { readFromCopy(socket); });
    }
    dropStrangers();
}

// Connections that have not said who they are cost a descriptor and a buffer
// each: they get a few seconds, and only so many may wait at once, the oldest
// going first.
void LocalRoom::dropStrangers()
{
    std::vector<std::pair<qint64, QLocalSocket*>> strangers;
    for (const auto& [socket, copy] : m_copies) {
        if (copy.origin.isEmpty())
            strangers.emplace_back(copy.since, socket);
    }
    std::sort(strangers.begin(), strangers.end());
    const qint64 now = m_clock.elapsed();
    qsizetype excess = qsizetype(strangers.size()) - m_tuning.maxUnintroduced;
    for (const auto& [since, socket] : strangers) {
        if (excess-- > 0)
            dropCopy(socket, QStringLiteral("too many connections wait to say hello"));
        else if (now - since >= m_tuning.introductionMs)
            dropCopy(socket, QStringLiteral("it did not say hello in time"));
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
            dropCopy(socket, QStringLiteral("it broke the room's rules"));
            break;
        }
        if (!alive)
            return;
    }
    capHeldBytes();
    flushCopies();
}

// One message from a copy; false when the copy broke the rules.
bool LocalRoom::takeFromCopy(QLocalSocket* socket, const LocalRoomMessage& message)
{
    Copy& copy = m_copies.at(socket);
    const bool greeted = !copy.origin.isEmpty();

    if (message.kind == LocalRoomMessage::Kind::Hello) {
        if (greeted || message.origin == m_origin)
            return false;
        // Each origin speaks through one connection: the first to say hello
        // with it, unless a later one comes from the process the origin
        // names and the first does not. Nor may another process take the
        // name of a copy that still runs (stopped, say, while the room
        // re-forms). So a copy coming back always gets its name back.
        const bool own = genuine(socket, message.origin);
        if (QLocalSocket* speaker = m_speakers.value(message.origin)) {
            if (genuine(speaker, message.origin) || !own)
                return false;
            dropCopy(speaker, QStringLiteral("another process had said hello with its name"));
        } else if (!own && originAlive(message.origin)) {
            return false;
        }
        if (joinedCopies() >= m_tuning.maxCopies) {
            dropCopy(socket, QStringLiteral("the room holds as many copies as it takes"));
            return true;
        }
        welcome(socket, m_copies.at(socket), message);
        return true;
    }
    if (message.kind != LocalRoomMessage::Kind::Say || !greeted)
        return false;
    return takeSay(socket, copy, message);
}

void LocalRoom::welcome(QLocalSocket* socket, Copy& copy, const LocalRoomMessage& hello)
{
    // A copy knows its own count best: ours far ahead of it was walked up by
    // a hostile host before this one, and would drop the copy's lines.
    if (genuine(socket, hello.origin)) {
        const auto ours = m_lastSeen.find(hello.origin);
        const qint64 own = hello.seen.value(hello.origin, 0);
        if (ours != m_lastSeen.end() && ours.value() > own + kMaxNumberJump) {
            if (own > 0)
                ours.value() = own;
            else
                m_lastSeen.erase(ours); // nothing seen: no entry, as the protocol wants
        }
    }
    copy.origin = hello.origin;
    m_speakers.insert(copy.origin, socket);
    const qint64 end = m_historyFirst + qint64(m_history.size());

    LocalRoomMessage welcome;
    welcome.kind = LocalRoomMessage::Kind::Welcome;
    // Where the room stands: a new copy counts each origin from here; a
    // returning one checks the count of missed lines against it.
    welcome.seen = m_lastSeen;
    if (hello.fresh) {
        // A new copy starts with the lines said from now on.
        copy.cursor = end;
    } else {
        // A returning copy gets what it missed from the history, at its own
        // pace (see pace()), and hears how many lines the history no longer holds.
        copy.cursor = m_historyFirst;
        copy.skip = hello.seen;
        QHash<QByteArray, qint64> held;
        for (const HistoryLine& line : m_history) {
            if (line.number > hello.seen.value(line.origin, 0))
                ++held[line.origin];
        }
        for (auto it = m_lastSeen.cbegin(); it != m_lastSeen.cend(); ++it) {
            const qint64 unseen = it.value() - hello.seen.value(it.key(), 0);
            welcome.missed += std::max<qint64>(0, unseen - held.value(it.key(), 0));
        }
    }
    socket->write(frameLocalRoomMessage(welcome));
    pace(socket);
}

bool LocalRoom::takeSay(QLocalSocket* socket, Copy& copy, LocalRoomMessage line)
{
    line.kind = LocalRoomMessage::Kind::Line;
    line.nick = boundLocalRoomNick(line.nick);
    const qint64 last = m_lastSeen.value(line.origin, 0);

    if (line.origin != copy.origin) {
        // Another copy's line, offered after a re-forming because the last
        // host may have told only some copies. Taken only when no connection
        // here speaks for that origin, only as its very next line, and only
        // when the copy that said it has ended: a copy that is alive (if
        // stopped) offers its own lines when it comes back, so nobody can put
        // words in the place of its own.
        if (line.origin == m_origin || m_speakers.contains(line.origin))
            return true;
        auto held = m_heldOffers.find(line.origin);
        const qint64 next = held != m_heldOffers.end() ? held->lines.back().number + 1 : last + 1;
        if (line.number != next)
            return true;
        if (held != m_heldOffers.end() || originAlive(line.origin)) {
            if (held == m_heldOffers.end()) {
                if (m_heldOffers.size() >= kMaxHeldOrigins)
                    return true;
                held = m_heldOffers.insert(line.origin, HeldOffers{{}, m_clock.elapsed()});
            }
            if (qsizetype(held->lines.size()) < kMaxHeldLines)
                held->lines.push_back(line);
            return true;
        }
        return relay(line);
    }
    if (line.number > last + kMaxNumberJump)
        return false;
    if (line.number > last)
        return relay(line);
    // Relayed before, maybe by the last host. Its sender may not have seen
    // it, and keeps offering it until it does: answer the sender alone.
    const QByteArray frame = frameLocalRoomMessage(line);
    if (frame.size() - 4 > kLocalRoomMaxFrame)
        return false;
    socket->write(frame);
    return true;
}

void LocalRoom::releaseHeldOffers()
{
    for (auto it = m_heldOffers.begin(); it != m_heldOffers.end();) {
        // A copy that came back offers its own lines; one whose process
        // runs on for long is not ending, and its lines are not ours to say.
        const bool back = m_speakers.contains(it.key());
        const bool stale = m_clock.elapsed() - it->since > kHeldOffersMs;
        if (!back && !stale && originAlive(it.key())) {
            ++it;
            continue;
        }
        if (!back && !stale) {
            for (const LocalRoomMessage& line : it->lines) {
                if (line.number != m_lastSeen.value(line.origin, 0) + 1 || !relay(line))
                    break;
            }
        }
        it = m_heldOffers.erase(it);
    }
}

void LocalRoom::dropCopy(QLocalSocket* socket, const QString& why)
{
    auto found = m_copies.find(socket);
    if (found == m_copies.end())
        return;
    if (!found->second.origin.isEmpty())
        m_speakers.remove(found->second.origin);
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
    QByteArray frame = frameLocalRoomMessage(line);
    if (frame.size() - 4 > kLocalRoomMaxFrame)
        return false;
    receive(line, std::move(frame));
    paceAll();
    return true;
}

// Hands a copy the history lines it has not had, while little of what it was
// given is still unsent: a copy that stops reading holds only its place in
// the history, not a growing buffer in the host.
void LocalRoom::pace(QLocalSocket* socket)
{
    const auto found = m_copies.find(socket);
    if (found == m_copies.end() || found->second.origin.isEmpty())
        return;
    Copy& copy = found->second;
    const qint64 end = m_historyFirst + qint64(m_history.size());
    while (copy.cursor < end && socket->bytesToWrite() < m_tuning.paceBytes) {
        const HistoryLine& line = m_history[size_t(copy.cursor - m_historyFirst)];
        ++copy.cursor;
        if (!copy.skip.isEmpty() && line.number <= copy.skip.value(line.origin, 0))
            continue;
        socket->write(line.frame);
    }
    if (copy.cursor >= end)
        copy.skip.clear();
}

void LocalRoom::paceAll()
{
    for (auto& [socket, copy] : m_copies)
        pace(socket);
    capHeldBytes();
}

// What the host holds for all its connections together is bounded: past the
// bound, the copy furthest behind goes first.
void LocalRoom::capHeldBytes()
{
    for (;;) {
        qsizetype held = 0;
        QLocalSocket* slowest = nullptr;
        qint64 slowestCursor = std::numeric_limits<qint64>::max();
        for (const auto& [socket, copy] : m_copies) {
            held += socket->bytesToWrite() + copy.reader.buffered();
            const qint64 cursor = copy.origin.isEmpty() ? -1 : copy.cursor;
            if (cursor < slowestCursor ||
                (cursor == slowestCursor && socket->bytesToWrite() > slowest->bytesToWrite())) {
                slowest = socket;
                slowestCursor = cursor;
            }
        }
        if (held <= m_tuning.holdBytes || !slowest)
            return;
        dropCopy(slowest, QStringLiteral("the host holds too much for its copies"));
    }
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
