// SPDX-License-Identifier: GPL-3.0-or-later
// The IRC room: its life, what the chat window calls, and the outgoing queue.
#include "irc_room.h"
#include "irc_room_detail.h"

#include <QSslSocket>

#include <algorithm>

#include <pwd.h>
#include <unistd.h>

namespace svw {

using namespace Qt::StringLiterals;
using namespace irc_room_detail;

namespace {

// What we assume of our own "user@host" until the server tells us: a
// ten-character user name and the longest host name DNS allows.
constexpr int kAssumedUserHostBytes = 10 + 1 + 63;

} // namespace

QString ircUserNameFromLogin()
{
    // Servers take a user name of letters, digits and a few marks, and cut
    // it at about ten characters.
    QString login;
    if (const passwd* user = ::getpwuid(::geteuid()); user && user->pw_name)
        login = QString::fromLocal8Bit(user->pw_name);
    if (login.isEmpty())
        login = qEnvironmentVariable("USER");
    QString name;
    for (QChar c : login) {
        if (name.size() >= 10)
            break;
        if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
            c == u'_' || c == u'-' || c == u'.')
            name.append(c);
    }
    return name.isEmpty() ? u"user"_s : name;
}

IrcRoom::IrcRoom(const IrcRoomSettings& settings, QObject* parent)
    : ChatRoomControl(parent), m_settings(settings),
      m_session(settings.address.channel, settings.troubleAfterMs), m_nick(settings.address.nick),
      m_pacer(settings.pacing), m_backoffMs(std::max(1, settings.reconnectMinMs))
{
    m_clock.start();
    for (QTimer* timer : {&m_pumpTimer, &m_idleTimer, &m_reconnectTimer, &m_rejoinTimer,
                          &m_pongTimer, &m_confirmTimer, &m_leaveTimer})
        timer->setSingleShot(true);
    // Servers restart and connections drop; the control rejoins on its own
    // and only a room that stays out of reach is worth interrupting the user.
    m_session.setOutageWording([this](const QString& status) {
        return u"%1 on %2 has been out of reach for %3.\n%4\n\nWhat you send meanwhile "
               u"waits and goes out, in order, once the channel is joined again. The "
               u"program keeps trying."_s.arg(m_settings.address.channel, m_settings.address.host,
                                              seconds(m_settings.troubleAfterMs), status);
    });
    setUnconfirmed(false);
    connect(&m_session, &RoomSession::stateChanged, this,
            [this](RoomState state) { setRoomState(state); });
    connect(&m_session, &RoomSession::statusChanged, this, &IrcRoom::statusChanged);
    connect(&m_session, &RoomSession::trouble, this, &IrcRoom::roomTrouble);
    // The session is ready when the channel is joined.
    connect(&m_session, &RoomSession::ready, this, [this] {
        emit joined();
        emit roomReady();
    });
    connect(&m_pumpTimer, &QTimer::timeout, this, &IrcRoom::pump);
    connect(&m_confirmTimer, &QTimer::timeout, this, &IrcRoom::onConfirmTimeout);
    connect(&m_leaveTimer, &QTimer::timeout, this, &IrcRoom::finishLeaving);
    connect(&m_pongTimer, &QTimer::timeout, this, &IrcRoom::writePong);
    connect(&m_idleTimer, &QTimer::timeout, this, &IrcRoom::onIdleTimeout);
    connect(&m_reconnectTimer, &QTimer::timeout, this, &IrcRoom::connectToServer);
    connect(&m_rejoinTimer, &QTimer::timeout, this, [this] {
        if (m_phase != Phase::Registered)
            return;
        joinChannel();
        // After a kick the user heard why we are out; if the channel does
        // not take us back, that is news again once it has lasted.
        if (m_recentKicks > 0 && !m_kickRejoinTried && m_session.watchAgain())
            m_kickRejoinTried = true;
    });
    QTimer::singleShot(0, this, &IrcRoom::connectToServer);
}

IrcRoom::~IrcRoom()
{
    if (!m_socket)
        return;
    m_socket->disconnect(this);
    if (m_phase == Phase::Waiting || m_phase == Phase::Connecting)
        return;
    // Lines still waiting are not written: unpaced, servers with fake lag
    // drop them with the QUIT anyway. leaveRoom() is the way to say them.
    // No quit message: the channel need not learn which program we ran.
    m_socket->write("QUIT\r\n");
    m_socket->flush();
    while (m_socket->bytesToWrite() > 0 && m_socket->waitForBytesWritten(1000)) {
    }
    m_socket->disconnectFromHost();
}

bool IrcRoom::SendRoomLine(const QString& line)
{
    if (line.isEmpty()) {
        setErrorString(u"IRC cannot carry an empty line."_s);
        return false;
    }
    for (QChar c : line) {
        if (c == u'\r' || c == u'\n' || c == u'\0') {
            setErrorString(u"The line holds a line break or a NUL character, which IRC would "
                           u"take as the end of the line; it was not said."_s);
            return false;
        }
    }
    if (line.startsWith(u'\x01')) {
        setErrorString(u"The line begins with the character U+0001, which IRC clients take as "
                       u"a CTCP request rather than something said; it was not said."_s);
        return false;
    }
    if (line.endsWith(u' ') || line.endsWith(u'\t')) {
        setErrorString(u"The line ends in a space or tab, which IRC servers strip from what "
                       u"they relay; it was not said."_s);
        return false;
    }
    const qsizetype bytes = line.toUtf8().size();
    const int budget = roomLineByteBudget();
    if (bytes > budget) {
        setErrorString(u"The line takes %1 bytes; in %2 a line can take at most %3, or the "
                       u"server would cut it."_s.arg(bytes)
                           .arg(m_settings.address.channel)
                           .arg(budget));
        return false;
    }
    m_session.enqueue(line);
    pump();
    return true;
}

void IrcRoom::StartRoomScan()
{
    m_scanning = true;
    // Lines played back before listening started are the first heard.
    while (m_scanning && !m_held.empty()) {
        const HeldLine line = m_held.front();
        m_held.pop_front();
        setLineSaidAt(line.saidAt);
        emit RoomLine(line.sender, line.text);
        setLineSaidAt({});
    }
}

void IrcRoom::StopRoomScan()
{
    m_scanning = false;
}

bool IrcRoom::fitsOneLine(const QString& line) const
{
    return line.toUtf8().size() <= roomLineByteBudget();
}

QString IrcRoom::roomDescription() const
{
    const IrcAddress& address = m_settings.address;
    return u"%1 on %2:%3 as %4"_s.arg(address.channel, address.host).arg(address.port).arg(m_nick);
}

int IrcRoom::waitingLineCount() const
{
    return m_session.unsaidCount();
}

void IrcRoom::leaveRoom(std::chrono::milliseconds patience)
{
    if (m_leaving)
        return;
    m_leaving = true;
    const int waiting = waitingLineCount();
    // Out of reach, the lines may still go out if the room is back in time.
    if (waiting == 0 || m_gaveUp) {
        QMetaObject::invokeMethod(this, &IrcRoom::finishLeaving, Qt::QueuedConnection);
        return;
    }
    announce(u"Leaving %1: saying the %2 waiting lines first, for at most %3 ..."_s.arg(
        m_settings.address.channel, QString::number(waiting),
        seconds(int(std::max<qint64>(0, patience.count())))));
    m_leaveTimer.start(int(std::clamp<qint64>(patience.count(), 0, 24LL * 3600 * 1000)));
}

void IrcRoom::finishLeaving()
{
    if (!m_leaving || m_left)
        return;
    m_left = true;
    m_leaveTimer.stop();
    // Lines written before the QUIT reach the channel ahead of it; the
    // ones still queued do not, nor, out of the channel, those in flight.
    const int unsaid = isJoined() ? m_session.waitingCount() : waitingLineCount();
    m_gaveUp = true;
    for (QTimer* timer : {&m_pumpTimer, &m_idleTimer, &m_reconnectTimer, &m_rejoinTimer,
                          &m_pongTimer, &m_confirmTimer})
        timer->stop();
    m_session.stopWatching();
    if (m_socket) {
        m_socket->disconnect(this);
        if (m_phase != Phase::Waiting && m_phase != Phase::Connecting)
            m_socket->write("QUIT\r\n");
        m_socket->flush(); // the program may end as soon as it hears roomLeft()
        m_socket->disconnectFromHost();
    }
    setPhase(Phase::Waiting);
    announce(unsaid == 0 ? u"Left %1."_s.arg(m_settings.address.channel)
                         : u"Left %1; %2 waiting lines were not said."_s.arg(
                               m_settings.address.channel, QString::number(unsaid)));
    emit roomLeft(unsaid);
}

int IrcRoom::roomLineByteBudget() const
{
    // The server relays our line to the others as
    // ":nick!user@host PRIVMSG #channel :text\r\n", at most 512 bytes. A nick
    // taken after a clash is the chosen one with up to two digits more.
    const int limit = m_nickLengthKnown
                          ? m_nickLength
                          : std::max<int>(kIrcMinNickLength, m_settings.address.nick.size());
    const int nickBytes = std::max<int>(
        m_nick.toUtf8().size(), std::min<int>(limit, m_settings.address.nick.toUtf8().size() + 2));
    const int userHostBytes =
        m_userHost.isEmpty() ? kAssumedUserHostBytes : int(m_userHost.toUtf8().size());
    const int channelBytes = int(m_settings.address.channel.toUtf8().size());
    const int overhead =
        1 + nickBytes + 1 + userHostBytes + int(sizeof(" PRIVMSG ") - 1) + channelBytes + 2 + 2;
    return kIrcMaxLineBytes - overhead;
}
// --- outgoing ---------------------------------------------------------------

void IrcRoom::enqueueCommand(const QString& command, const QStringList& params, bool lastIsTrailing,
                             bool urgent)
{
    QString error;
    std::optional<QByteArray> bytes = formatIrcCommand(command, params, lastIsTrailing, &error);
    if (!bytes) {
        qWarning("IRC: %s not sent: %s", qPrintable(command), qPrintable(error));
        return;
    }
    if (urgent)
        m_commands.push_front(std::move(*bytes));
    else
        m_commands.push_back(std::move(*bytes));
}

void IrcRoom::sendCommand(const QString& command, const QStringList& params, bool lastIsTrailing)
{
    enqueueCommand(command, params, lastIsTrailing);
    pump();
}

QByteArray IrcRoom::confirmation()
{
    ++m_lastMark;
    const QByteArray token = kMarkPrefix.toLatin1() + QByteArray::number(m_lastMark);
    // A bouncer answers PINGs itself, before the server has seen the line;
    // a NAMES query for a name no channel has is answered by the server,
    // after the lines before it, with the name in its reply.
    return m_viaBouncer ? "NAMES " + token + "\r\n" : "PING :" + token + "\r\n";
}

void IrcRoom::pump()
{
    m_pumpTimer.stop();
    while (m_socket && m_phase != Phase::Waiting && m_phase != Phase::Connecting) {
        const bool haveCommand = !m_commands.empty();
        // One line in flight at a time: the server finds the line and its
        // PING together in an empty buffer, and takes both in one turn
        // (ngircd takes three commands a turn), so nobody else's line gets
        // between them and ours shows in the channel's order. A round trip
        // is short beside the pace servers allow.
        const bool haveLine = m_phase == Phase::Joined && m_session.canSend();
        if (!haveCommand && !haveLine)
            return;
        const qint64 now = m_clock.elapsed();
        const qint64 wait = m_pacer.delayMs(now);
        if (wait > 0) {
            m_pumpTimer.start(int(wait));
            return;
        }
        QByteArray bytes;
        if (haveCommand) {
            bytes = std::move(m_commands.front());
            m_commands.pop_front();
        } else {
            const QString text = *m_session.takeNext();
            QString error;
            std::optional<QByteArray> line =
                formatIrcCommand(u"PRIVMSG"_s, {m_settings.address.channel, text}, true, &error);
            if (!line) {
                // SendRoomLine refused everything IRC cannot carry, so this
                // cannot happen; say so rather than lose the line quietly.
                announceTrouble(u"A line could not be said: %1"_s.arg(error),
                                u"That line did not reach the channel."_s);
                continue;
            }
            // A line's PING goes in the same write: the server answers it
            // right after taking the line, or after refusing it, so our own
            // line is shown in its place among the others', a refused one
            // never is, and a refusal is always the oldest line in flight.
            bytes = *line + confirmation();
            m_session.markSent(QString::number(m_lastMark), text, m_unconfirmed);
            if (!m_confirmTimer.isActive())
                m_confirmTimer.start(std::max(1, m_settings.confirmTimeoutMs));
            if (m_unconfirmed && !m_serverEchoes && m_scanning)
                emit RoomLine(m_nick, text);
        }
        m_socket->write(bytes);
        m_pacer.consume(now, int(bytes.size()));
    }
}

void IrcRoom::requeueInFlight()
{
    // Lines already shown as said are not said again.
    m_session.requeueUnconfirmed();
    m_confirmTimer.stop();
}

void IrcRoom::setUnconfirmed(bool unconfirmed)
{
    // While the server confirms lines, one is in flight at a time (see
    // pump()); while it does not, nothing would free the next.
    m_unconfirmed = unconfirmed;
    m_session.setUnconfirmedLimit(unconfirmed ? 0 : 1);
}

// --- state ------------------------------------------------------------------

void IrcRoom::setPhase(Phase phase)
{
    m_phase = phase;
}

void IrcRoom::announceTrouble(const QString& status, const QString& consequence)
{
    announce(status);
    emit roomTrouble(status + u"\n\n"_s + consequence);
}

bool IrcRoom::isOwnNick(const QString& nick) const
{
    return ircFolded(nick, m_caseMapping) == ircFolded(m_nick, m_caseMapping);
}

bool IrcRoom::isOurChannel(const QString& channel) const
{
    return ircFolded(channel, m_caseMapping) ==
           ircFolded(m_settings.address.channel, m_caseMapping);
}

} // namespace svw
