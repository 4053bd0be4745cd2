// SPDX-License-Identifier: GPL-3.0-or-later
#include "local_room.h"

#include "private_directory.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSaveFile>
#include <QUuid>
#include <QtEndian>

#include <algorithm>
#include <limits>
#include <vector>

#include <unistd.h>

namespace svw {

namespace {

// How long closing a control may wait for its lines to leave.
constexpr int kCloseFlushMs = 1000;

// What a history line costs beside its frame: its place in the deque, its
// origin and the frame's own head.
constexpr qsizetype kHistoryLineCost = 96;

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

namespace {

// A copy's origin starts with its process id, so a host can tell the copy
// that owns an origin from another process claiming it (see genuine()); the
// rest is random, so two rooms in one process, or a restarted copy, differ.
QByteArray newOrigin()
{
    QByteArray origin = QUuid::createUuid().toRfc4122().left(kLocalRoomOriginSize);
    qToBigEndian<quint32>(quint32(::getpid()), origin.data());
    return origin;
}

} // namespace

LocalRoom::LocalRoom(const QString& nick, const QString& name, const QString& directory,
                     QObject* parent, const Tuning& tuning)
    : ChatRoomControl(parent), m_nick(boundLocalRoomNick(nick)), m_name(name),
      m_chosenDirectory(directory), m_origin(newOrigin()), m_tuning(tuning)
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
    m_tick.setInterval(m_tuning.heartbeatMs);
    connect(&m_tick, &QTimer::timeout, this, &LocalRoom::tick);

    QString problem;
    if (!isValidName(m_name)) {
        problem = QStringLiteral("The local room's name \"%1\" is not usable: a name is 1 to 64 "
                                 "letters, digits, '-', '_' or '.'.")
                      .arg(m_name);
    } else {
        placeRoom(&problem);
    }

    if (!problem.isEmpty()) {
        m_state = State::Unavailable;
        m_status = problem;
        setErrorString(problem);
        qWarning("%s", qPrintable(problem));
        // Told once the event loop runs, so whoever just created us hears it.
        QTimer::singleShot(0, this, [this] {
            setRoomState(RoomState::OutOfReach);
            emit statusChanged(m_status);
            emit roomTrouble(m_status + QStringLiteral("\n\nNothing can be said or heard in the "
                                                       "room until the program is started again."));
        });
        return;
    }
    m_epoch = recordedEpoch();
    QTimer::singleShot(0, this, [this] {
        setState(State::Looking);
        tryEnter();
        if (m_state == State::Looking)
            m_retry.start();
    });
    m_tick.start();
}

QString LocalRoom::roomDescription() const
{
    // "In the room" alone would read as talking with others: the words say
    // that nobody outside this computer takes part. The nick stays last,
    // after " as ", where the window reads the name it goes by.
    const QString room = m_name == defaultName() ? QStringLiteral("the local room")
                                                 : QStringLiteral("the local room %1").arg(m_name);
    return QStringLiteral("%1, on this computer only, as %2").arg(room, m_nick);
}

// Every copy's own checks, once a heartbeat.
void LocalRoom::tick()
{
    if (m_closing)
        return;
    if (m_state == State::Hosting) {
        hostTick();
        return;
    }
    if (m_state != State::Looking && m_state != State::Reforming) {
        if (m_state == State::Joined)
            checkHost();
        return;
    }
    if (m_host)
        checkHost();
    if (m_toldOut || m_clock.elapsed() - m_outSince < m_tuning.tellAfterMs)
        return;
    const QString text = outOfReachText();
    if (text.isEmpty())
        return; // nothing known yet; told when something is
    m_toldOut = true;
    setRoomState(RoomState::OutOfReach);
    announceTrouble(text);
}

// What keeps this copy out, as far as it has seen for itself: each cause is
// only named when this copy met it.
QString LocalRoom::outOfReachText() const
{
    switch (m_outCause) {
    case OutCause::None:
        return {};
    case OutCause::NoListener:
        return QStringLiteral("The local room \"%1\" cannot be entered: its lock %2 is held by a "
                              "process that does not host the room. End that process (\"fuser "
                              "%2\" names it), or choose another room with SVW_ROOM=local:NAME.")
            .arg(m_name, lockPath());
    case OutCause::TurnedAway:
        return QStringLiteral("The local room \"%1\" cannot be entered: the copy that hosts it "
                              "(on %2) closes this copy's connection before letting it in. Another "
                              "process may be using this copy's name in the room, or the host is "
                              "full; \"fuser %2\" names the processes there.")
            .arg(m_name, socketPath());
    case OutCause::NotPassing:
        return QStringLiteral("The local room \"%1\" cannot be entered: the copy that hosts it "
                              "(on %2) takes lines but passes none on. End that process (\"fuser "
                              "%2\" names it), or choose another room with SVW_ROOM=local:NAME.")
            .arg(m_name, socketPath());
    }
    return {};
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
    m_tick.stop();
    const QDeadlineTimer deadline(kCloseFlushMs);

    if (m_state == State::Hosting) {
        relayOwnLines();
        const qint64 end = m_historyFirst + qint64(m_history.size());
        for (auto& [socket, copy] : m_copies) {
            socket->disconnect(this);
            while (!deadline.hasExpired()) {
                pace(socket);
                if (socket->bytesToWrite() == 0 && (copy.origin.isEmpty() || copy.cursor >= end))
                    break;
                if (!socket->waitForBytesWritten(int(deadline.remainingTime())))
                    break;
            }
            socket->abort();
        }
        m_copies.clear();
        m_speakers.clear();
        m_heldOffers.clear();
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

    m_pending.push_back({m_nextNumber++, line, m_clock.elapsed()});
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
    if (!m_host) {
        // The directory may have gone or changed since the last try; a later
        // epoch found there means the room has moved on, an earlier one that
        // the directory was made anew.
        QString problem;
        if (!placeRoom(&problem)) {
            announceTrouble(problem);
            return;
        }
        m_epoch = recordedEpoch();
    }
    m_lock.setPath(lockPath());
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

void LocalRoom::receive(const LocalRoomMessage& line, QByteArray frame)
{
    if (line.origin == m_origin) {
        while (!m_pending.empty() && m_pending.front().number <= line.number)
            m_pending.pop_front();
    }
    qint64& last = m_lastSeen[line.origin];
    if (line.number <= last)
        return; // relayed again after the room re-formed
    last = line.number;

    if (frame.isEmpty())
        frame = frameLocalRoomMessage(line);
    m_historyBytes += frame.size() + kHistoryLineCost;
    m_history.push_back({m_clock.elapsed(), line.origin, line.number, std::move(frame)});
    forgetOldLines();

    if (m_scanning && !m_closing)
        emit RoomLine(line.nick, line.text);
}

// The history keeps its last lines for copies that come back. Past its
// count it keeps only what a copy here still waits for, so a burst of short
// lines does not cost a reader that keeps up its place; its size (each
// line's bookkeeping included) is a hard bound.
void LocalRoom::forgetOldLines()
{
    qint64 needed = m_historyFirst + qint64(m_history.size());
    for (const auto& [socket, copy] : m_copies) {
        if (!copy.origin.isEmpty())
            needed = std::min(needed, copy.cursor);
    }
    while (!m_history.empty() &&
           (m_historyBytes > m_tuning.historyBytes ||
            (qsizetype(m_history.size()) > m_tuning.historyLines && m_historyFirst < needed))) {
        m_historyBytes -= m_history.front().frame.size() + kHistoryLineCost;
        m_history.pop_front();
        ++m_historyFirst;
    }
    // A copy still waiting for a line the history no longer holds has fallen
    // too far behind; when it comes back it hears how much it missed.
    std::vector<QLocalSocket*> behind;
    for (const auto& [socket, copy] : m_copies) {
        if (!copy.origin.isEmpty() && copy.cursor < m_historyFirst)
            behind.push_back(socket);
    }
    for (QLocalSocket* socket : behind)
        dropCopy(socket, QStringLiteral("it fell behind further than the room's history"));
}

void LocalRoom::setState(State state, const QString& detail)
{
    const bool wasIn = m_state == State::Hosting || m_state == State::Joined;
    m_state = state;
    const bool in = state == State::Hosting || state == State::Joined;
    if (in) {
        m_toldOut = false;
        m_outCause = OutCause::None;
        setRoomState(RoomState::Connected);
    } else if (wasIn || state == State::Looking) {
        m_outSince = m_clock.elapsed();
        setRoomState(RoomState::Reaching);
    }
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
