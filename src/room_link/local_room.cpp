// SPDX-License-Identifier: GPL-3.0-or-later
#include "local_room.h"

#include "private_directory.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QUuid>

#include <limits>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace svw {

namespace {

// A copy that lets this much of the room's traffic pile up unread is dropped
// rather than allowed to fill the host's memory.
constexpr qint64 kMaxBacklog = 16 * kLocalRoomMaxFrame;

// How long closing a control may wait for its lines to leave.
constexpr int kCloseFlushMs = 1000;

// The lines every copy remembers, for the next host when the room re-forms:
// far longer than a re-forming takes, and bounded in count and size.
constexpr qint64 kRecentMs = 10000;
constexpr qsizetype kRecentLines = 1000;
constexpr qsizetype kRecentBytes = 8 * kLocalRoomMaxFrame;

// The size CBOR gives the head of a text of `length` bytes.
qsizetype cborTextHead(qsizetype length)
{
    if (length < 24)
        return 1;
    if (length < 0x100)
        return 2;
    if (length < 0x10000)
        return 3;
    if (length < 0x100000000LL)
        return 5;
    return 9;
}

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

bool LocalRoom::isValidName(const QString& name)
{
    if (name.isEmpty() || name.size() > 64)
        return false;
    for (const QChar c : name) {
        const bool ok = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                        (c >= u'0' && c <= u'9') || c == u'-' || c == u'_' || c == u'.';
        if (!ok)
            return false;
    }
    return true;
}

LocalRoom::LocalRoom(const QString& nick, const QString& name, const QString& directory,
                     QObject* parent)
    : ChatRoomControl(parent), m_nick(nick), m_name(name),
      m_directory(directory.isEmpty() ? defaultLocalRoomDirectory() : directory),
      m_origin(QUuid::createUuid().toRfc4122())
{
    m_clock.start();
    LocalRoomMessage probe;
    probe.kind = LocalRoomMessage::Kind::Line;
    probe.origin = m_origin;
    probe.number = std::numeric_limits<qint64>::max();
    probe.nick = m_nick;
    m_frameOverhead = encodeLocalRoomMessage(probe).size() - cborTextHead(0);

    m_retry.setInterval(kRetryMs);
    connect(&m_retry, &QTimer::timeout, this, &LocalRoom::tryEnter);

    QString problem;
    if (!isValidName(m_name)) {
        problem = QStringLiteral("The local room's name \"%1\" is not usable: a name is 1 to 64 "
                                 "letters, digits, '-', '_' or '.'.")
                      .arg(m_name);
    } else if (preparePrivateDirectory(m_directory, &problem)) {
        m_socketPath = m_directory + QStringLiteral("/room-%1.sock").arg(m_name);
        m_lock.setPath(m_directory + QStringLiteral("/room-%1.lock").arg(m_name));
        if (QFile::encodeName(m_socketPath).size() >= qsizetype(sizeof(sockaddr_un::sun_path)))
            problem = QStringLiteral("The local room cannot be used: its socket path %1 is "
                                     "longer than the system allows.")
                          .arg(m_socketPath);
    }

    if (!problem.isEmpty()) {
        m_state = State::Unavailable;
        m_status = problem;
        setErrorString(problem);
        qWarning("%s", qPrintable(problem));
        // Told once the event loop runs, so whoever just created us hears it.
        QTimer::singleShot(0, this, [this] {
            emit statusChanged(m_status);
            emit roomTrouble(m_status + QStringLiteral("\n\nNothing can be said or heard in the "
                                                       "room until the program is started again."));
        });
        return;
    }
    QTimer::singleShot(0, this, [this] {
        setState(State::Looking);
        tryEnter();
        if (m_state == State::Looking)
            m_retry.start();
    });
}

LocalRoom::~LocalRoom()
{
    closeRoom();
}

int LocalRoom::joinedCopies() const
{
    int joined = 0;
    for (const auto& [socket, copy] : m_copies)
        joined += !copy.origin.isEmpty();
    return joined;
}

// An orderly exit: the host relays what it still holds and waits (bounded)
// for every copy to have it before it gives up the socket and the lock; a
// joined copy waits for its lines to reach the host. The lines a copy sent
// that the host has not relayed yet stay with that copy, which says them
// again to the next host.
void LocalRoom::closeRoom()
{
    m_closing = true;
    m_retry.stop();
    const QDeadlineTimer deadline(kCloseFlushMs);

    if (m_state == State::Hosting) {
        relayOwnLines();
        for (auto& [socket, copy] : m_copies) {
            socket->disconnect(this);
            while (socket->bytesToWrite() > 0 && !deadline.hasExpired() &&
                   socket->waitForBytesWritten(int(deadline.remainingTime()))) {
            }
            socket->abort();
        }
        m_copies.clear();
        // Closing removes the socket file; only then may another copy win
        // the lock, so it never finds our socket in its way.
        m_server->close();
        delete m_server;
        m_server = nullptr;
        m_lock.unlock();
    }

    if (m_host) {
        m_host->disconnect(this);
        if (m_state == State::Joined) {
            while (m_host->bytesToWrite() > 0 && !deadline.hasExpired() &&
                   m_host->waitForBytesWritten(int(deadline.remainingTime()))) {
            }
        }
        m_host->abort();
        delete m_host;
        m_host = nullptr;
    }

    if (m_state != State::Hosting && m_state != State::Joined && !m_pending.empty())
        qWarning("The local room \"%s\" was closed while re-forming; %d line(s) said here "
                 "could not be delivered.",
                 qPrintable(m_name), int(m_pending.size()));
}

bool LocalRoom::SendRoomLine(const QString& line)
{
    if (m_state == State::Unavailable)
        return false; // errorString() already says why
    if (!QStringView(line).isValidUtf16()) {
        setErrorString(QStringLiteral("The line holds a broken character (half of a surrogate "
                                      "pair) and cannot be said in the local room."));
        return false;
    }
    if (!fitsOneLine(line)) {
        setErrorString(QStringLiteral("The line is too long for the local room, which carries "
                                      "at most %1 bytes a line.")
                           .arg(kLocalRoomMaxFrame));
        return false;
    }

    m_pending.push_back({m_nextNumber++, line});
    if (m_state == State::Joined) {
        m_host->write(
            frameLocalRoomMessage(ownMessage(LocalRoomMessage::Kind::Say, m_pending.back())));
        m_host->flush();
    } else if (m_state == State::Hosting) {
        // Relayed from the event loop, never inside this call: RoomLine must
        // not reach the caller's handlers while it is still saying the line.
        scheduleOwnLines();
    }
    // Otherwise the room is re-forming: the line waits in m_pending.
    return true;
}

void LocalRoom::StartRoomScan()
{
    m_scanning = true;
}

void LocalRoom::StopRoomScan()
{
    m_scanning = false;
}

bool LocalRoom::fitsOneLine(const QString& line) const
{
    const qsizetype text = line.toUtf8().size();
    return m_frameOverhead + cborTextHead(text) + text <= kLocalRoomMaxFrame;
}

LocalRoomMessage LocalRoom::ownMessage(LocalRoomMessage::Kind kind, const PendingLine& line) const
{
    LocalRoomMessage message;
    message.kind = kind;
    message.origin = m_origin;
    message.number = line.number;
    message.nick = m_nick;
    message.text = line.text;
    return message;
}

void LocalRoom::tryEnter()
{
    if (m_state != State::Looking && m_state != State::Reforming)
        return;
    QString error;
    if (m_lock.tryLock(&error)) {
        startHosting();
        return;
    }
    if (!error.isEmpty()) {
        announceTrouble(error);
        return;
    }
    if (!m_host)
        connectToHost();
}

// ---- hosting -----------------------------------------------------------

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

// ---- joining -----------------------------------------------------------

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

// ---- every copy --------------------------------------------------------

void LocalRoom::receive(const LocalRoomMessage& line)
{
    if (line.origin == m_origin) {
        while (!m_pending.empty() && m_pending.front().number <= line.number)
            m_pending.pop_front();
    }
    qint64& last = m_lastSeen[line.origin];
    if (line.number <= last)
        return; // relayed again after the room re-formed
    last = line.number;

    m_recent.push_back({m_clock.elapsed(), line});
    m_recentBytes += line.text.size() * 2 + line.nick.size() * 2;
    forgetOldLines();

    if (m_scanning && !m_closing)
        emit RoomLine(line.nick, line.text);
}

void LocalRoom::forgetOldLines()
{
    const qint64 oldest = m_clock.elapsed() - kRecentMs;
    while (!m_recent.empty() &&
           (m_recent.front().receivedAt < oldest || qsizetype(m_recent.size()) > kRecentLines ||
            m_recentBytes > kRecentBytes)) {
        const LocalRoomMessage& line = m_recent.front().line;
        m_recentBytes -= line.text.size() * 2 + line.nick.size() * 2;
        m_recent.pop_front();
    }
}

void LocalRoom::setState(State state, const QString& detail)
{
    m_state = state;
    const QString room = QStringLiteral("the local room \"%1\"").arg(m_name);
    switch (state) {
    case State::Looking:
        announce(QStringLiteral("looking for %1").arg(room));
        break;
    case State::Hosting:
        announce(QStringLiteral("hosting %1").arg(room));
        emit roomReady();
        break;
    case State::Joined:
        announce(QStringLiteral("joined %1").arg(room));
        emit roomReady();
        break;
    case State::Reforming:
        announce(detail.isEmpty() ? QStringLiteral("re-forming %1").arg(room)
                                  : QStringLiteral("re-forming %1: %2").arg(room, detail));
        break;
    case State::Unavailable:
        announce(detail);
        break;
    }
}

void LocalRoom::announceTrouble(const QString& status)
{
    // Said once a failure, not once a retry.
    if (status == m_status || m_closing)
        return;
    announce(status);
    emit roomTrouble(status + QStringLiteral("\n\nWhat you send meanwhile waits and goes out, in "
                                             "order, once the room is entered. The program keeps "
                                             "trying."));
}

void LocalRoom::announce(const QString& status)
{
    if (status == m_status || m_closing)
        return;
    m_status = status;
    emit statusChanged(status);
}

} // namespace svw
