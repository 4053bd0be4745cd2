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
    m_helloSent = false;
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
    m_helloSent = true;
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
    } else {
        // A count further ahead of this host's than any host lets an origin
        // leap was walked up by a hostile host, line by line: left as it is,
        // it would drop that origin's real lines for good.
        for (auto it = m_lastSeen.begin(); it != m_lastSeen.end();) {
            const qint64 theirs = welcome.seen.value(it.key(), 0);
            if (it.key() == m_origin || it.value() <= theirs + kMaxNumberJump) {
                ++it;
            } else if (theirs > 0) {
                it.value() = theirs;
                ++it;
            } else {
                it = m_lastSeen.erase(it); // nothing seen: no entry, as the protocol wants
            }
        }
    }
    // The host's count of missed lines cannot be more than its own numbers
    // leave unseen here, each origin moving on at most as far as a host lets it.
    qint64 unseen = 0;
    for (auto it = welcome.seen.cbegin(); it != welcome.seen.cend(); ++it) {
        if (it.key() != m_origin)
            unseen +=
                std::clamp<qint64>(it.value() - m_lastSeen.value(it.key(), 0), 0, kMaxNumberJump);
    }
    const qint64 missed = std::min(welcome.missed, unseen);
    m_everJoined = true;
    m_hostLine = m_clock.elapsed();
    setState(State::Joined);
    if (missed > 0 && !m_closing)
        emit roomTrouble(
            QStringLiteral("%1 line(s) of the local room \"%2\" were said while this copy was "
                           "away and are no longer held by the room; they are missing here.")
                .arg(missed)
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
    for (PendingLine& line : m_pending) {
        line.saidAt = m_clock.elapsed();
        m_host->write(frameLocalRoomMessage(ownMessage(LocalRoomMessage::Kind::Say, line)));
    }
    m_host->flush();
}

// A line the host passes on is taken only when the host itself would have
// taken it: none of this copy's own that it has not said, and no origin's
// numbering leaping ahead. Either would make this copy drop the real lines
// that follow, long after the host that sent it has gone.
bool LocalRoom::believable(const LocalRoomMessage& line) const
{
    if (line.origin == m_origin)
        return line.number < m_nextNumber;
    return line.number <= m_lastSeen.value(line.origin, 0) + kMaxNumberJump;
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
            m_hostLine = m_clock.elapsed();
            LocalRoomMessage line = *message;
            line.nick = boundLocalRoomNick(line.nick);
            if (believable(line))
                receive(line, lengthPrefixed(body));
            else
                qWarning("The local room \"%s\": its host passed on a line numbered %lld that "
                         "no copy can have said; it is left out.",
                         qPrintable(m_name), line.number);
        }
        if (!alive)
            return;
    }
}

// A host that has said nothing, not even a ping, for so long is frozen (a
// stopped process keeps its lock and its socket); one that has passed on no
// line for so long while a line said here waits is broken or hostile. The
// room moves on to the next epoch without it.
void LocalRoom::checkHost()
{
    if (!m_host)
        return;
    const qint64 now = m_clock.elapsed();
    const bool silent = now - m_hostHeard >= m_tuning.silenceMs;
    const bool notPassing = m_state == State::Joined && !m_pending.empty() &&
                            now - m_pending.front().saidAt >= m_tuning.silenceMs &&
                            now - m_hostLine >= m_tuning.silenceMs;
    if (!silent && !notPassing)
        return;
    // This copy may have been the one stopped: what the host said meanwhile
    // is waiting to be read, and the event loop hands it over next. (Not
    // waitForReadyRead(): its time-out counts as an error of the socket.)
    pollfd waiting = {int(m_host->socketDescriptor()), POLLIN, 0};
    if (waiting.fd >= 0 && ::poll(&waiting, 1, 0) > 0)
        return;
    const qint64 recorded = recordedEpoch();
    leaveHost(silent ? QStringLiteral("its host stopped answering")
                     : QStringLiteral("its host passes no line on"));
    // A frozen host is no cause to tell of: the next epoch is tried at once.
    m_outCause = silent ? OutCause::None : OutCause::NotPassing;
    m_epoch = recorded > m_epoch ? recorded : m_epoch + 1;
    markEpoch();
}

void LocalRoom::leaveHost(const QString& why)
{
    QLocalSocket* host = m_host;
    m_host = nullptr;
    m_hostReader.clear();
    if (m_state != State::Joined)
        m_outCause = m_helloSent ? OutCause::TurnedAway : OutCause::NoListener;
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
