// SPDX-License-Identifier: GPL-3.0-or-later
#include "irc_room.h"

#include <QRandomGenerator>
#include <QSslConfiguration>
#include <QSslSocket>

#include <algorithm>

namespace svw {

using namespace Qt::StringLiterals;

namespace {

// A server line longer than this without a line end is not IRC.
constexpr qsizetype kMaxInboxBytes = 16 * 1024;

// What we assume of our own "user@host" until the server tells us: a
// ten-character user name and the longest host name DNS allows.
constexpr int kAssumedUserHostBytes = 10 + 1 + 63;

const QString kMarkPrefix = u"svw"_s;

QString seconds(int ms)
{
    return ms < 1000 ? u"%1 ms"_s.arg(ms) : u"%1 s"_s.arg((ms + 500) / 1000);
}

} // namespace

IrcRoom::IrcRoom(const IrcRoomSettings& settings, QObject* parent)
    : ChatRoomControl(parent), m_settings(settings), m_nick(settings.address.nick),
      m_pacer(settings.pacing), m_backoffMs(std::max(1, settings.reconnectMinMs))
{
    m_clock.start();
    for (QTimer* timer :
         {&m_pumpTimer, &m_idleTimer, &m_reconnectTimer, &m_rejoinTimer, &m_troubleTimer})
        timer->setSingleShot(true);
    // Servers restart and connections drop; the control rejoins on its own
    // and only a room that stays out of reach is worth interrupting the user.
    m_troubleTimer.setInterval(std::max(0, settings.troubleAfterMs));
    connect(&m_troubleTimer, &QTimer::timeout, this, [this] {
        m_outageTold = true;
        emit roomTrouble(
            u"%1 on %2 has been out of reach for %3.\n%4\n\nWhat you send meanwhile "
            u"waits and goes out, in order, once the channel is joined again. The "
            u"program keeps trying."_s.arg(m_settings.address.channel, m_settings.address.host,
                                           seconds(m_settings.troubleAfterMs), m_status));
    });
    connect(&m_pumpTimer, &QTimer::timeout, this, &IrcRoom::pump);
    connect(&m_idleTimer, &QTimer::timeout, this, &IrcRoom::onIdleTimeout);
    connect(&m_reconnectTimer, &QTimer::timeout, this, &IrcRoom::connectToServer);
    connect(&m_rejoinTimer, &QTimer::timeout, this, [this] {
        if (m_phase == Phase::Registered)
            sendCommand(u"JOIN"_s, {m_settings.address.channel});
    });
    QTimer::singleShot(0, this, &IrcRoom::connectToServer);
    beginOutage();
}

IrcRoom::~IrcRoom()
{
    if (!m_socket)
        return;
    m_socket->disconnect(this);
    if (m_phase == Phase::Waiting || m_phase == Phase::Connecting)
        return;
    // Lines still waiting for their turn go out now, unpaced: the server
    // takes them before the QUIT, and holding back or throwing out a
    // client that is leaving anyway costs nothing. The wait is bounded.
    if (m_phase == Phase::Joined) {
        for (const QString& text : m_queue) {
            if (std::optional<QByteArray> line =
                    formatIrcCommand(u"PRIVMSG"_s, {m_settings.address.channel, text}, true))
                m_socket->write(*line);
        }
    }
    m_socket->write("QUIT :SVW closed\r\n");
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
    m_queue.push_back(line);
    pump();
    return true;
}

void IrcRoom::StartRoomScan()
{
    m_scanning = true;
}

void IrcRoom::StopRoomScan()
{
    m_scanning = false;
}

bool IrcRoom::fitsOneLine(const QString& line) const
{
    return line.toUtf8().size() <= roomLineByteBudget();
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

// --- connection -----------------------------------------------------------

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

// --- incoming ---------------------------------------------------------------

void IrcRoom::handleMessage(const IrcMessage& message)
{
    const QString& command = message.command;
    if (command == u"PING") {
        enqueueCommand(u"PONG"_s, message.params, true, true);
        pump();
    } else if (command == u"PONG") {
        handlePong(message);
    } else if (command == u"PRIVMSG") {
        handlePrivmsg(message);
    } else if (command == u"CAP") {
        handleCap(message);
    } else if (command == u"001") {
        handleWelcome(message);
    } else if (command == u"005") {
        handleIsupport(message);
    } else if (command == u"432" || command == u"433" || command == u"436" || command == u"437") {
        handleNickRefused(message);
    } else if (command == u"JOIN") {
        handleJoin(message);
    } else if (command == u"PART") {
        if (isOwnNick(message.nick()) && isOurChannel(message.param(0)))
            handleLeft(u"left %1"_s.arg(m_settings.address.channel));
    } else if (command == u"KICK") {
        if (isOurChannel(message.param(0)) && isOwnNick(message.param(1))) {
            handleLeft(u"kicked from %1 by %2: %3"_s.arg(m_settings.address.channel, message.nick(),
                                                         message.param(2)));
        }
    } else if (command == u"NICK") {
        if (isOwnNick(message.nick()) && !message.param(0).isEmpty())
            m_nick = message.param(0);
    } else if (command == u"396") { // our displayed host changed
        if (!message.param(1).isEmpty() && !m_userHost.isEmpty())
            m_userHost = m_userHost.section(u'@', 0, 0) + u'@' + message.param(1);
    } else if (QStringList{u"403"_s, u"405"_s, u"471"_s, u"473"_s, u"474"_s, u"475"_s, u"476"_s,
                           u"477"_s, u"479"_s, u"489"_s, u"520"_s}
                   .contains(command)) {
        if (isOurChannel(message.param(1)))
            handleJoinRefused(message);
    } else if (command == u"404") {
        if (isOurChannel(message.param(1))) {
            announceTrouble(
                u"%1 refused a line: %2"_s.arg(m_settings.address.channel, message.lastParam()),
                u"That line did not reach the channel."_s);
        }
    } else if (command == u"464" || command == u"465") {
        m_lastServerError = u"the server refused us: %1"_s.arg(message.lastParam());
    } else if (command == u"ERROR") {
        m_lastServerError = u"the server said: %1"_s.arg(message.param(0));
    }
}

void IrcRoom::handleCap(const IrcMessage& message)
{
    const QString sub = message.param(1).toUpper();
    const QStringList caps = message.lastParam().split(u' ', Qt::SkipEmptyParts);
    if (sub == u"LS") {
        for (const QString& cap : caps)
            m_offeredCaps.append(cap.section(u'=', 0, 0));
        const bool more = message.params.size() >= 4 && message.param(2) == u"*";
        if (more || m_phase != Phase::Registering)
            return;
        if (m_offeredCaps.contains(u"echo-message"_s))
            enqueueCommand(u"CAP"_s, {u"REQ"_s, u"echo-message"_s}, true);
        else
            enqueueCommand(u"CAP"_s, {u"END"_s});
        pump();
    } else if (sub == u"ACK" || sub == u"NAK") {
        if (sub == u"ACK" && caps.contains(u"echo-message"_s))
            m_serverEchoes = true;
        if (m_phase == Phase::Registering) {
            enqueueCommand(u"CAP"_s, {u"END"_s});
            pump();
        }
    } else if (sub == u"DEL") {
        if (caps.contains(u"echo-message"_s))
            m_serverEchoes = false;
    }
}

void IrcRoom::handleWelcome(const IrcMessage& message)
{
    if (m_phase != Phase::Registering)
        return;
    if (!message.param(0).isEmpty())
        m_nick = message.param(0);
    // Most servers greet with our full "nick!user@host".
    const QString greeting = message.lastParam();
    const QString last = greeting.section(u' ', -1);
    const qsizetype bang = last.indexOf(u'!');
    if (bang > 0 && last.indexOf(u'@', bang) > bang)
        m_userHost = last.mid(bang + 1);
    setPhase(Phase::Registered);
    m_pingOutstanding = false;
    restartIdleTimer(m_settings.keepaliveMs);
    announce(u"Joining %1 on %2 as %3 ..."_s.arg(m_settings.address.channel,
                                                 m_settings.address.host, m_nick));
    sendCommand(u"JOIN"_s, {m_settings.address.channel});
}

void IrcRoom::handleIsupport(const IrcMessage& message)
{
    for (qsizetype i = 1; i + 1 < message.params.size(); ++i) {
        const QString& token = message.params[i];
        const QString key = token.section(u'=', 0, 0);
        const QString value = token.section(u'=', 1);
        if (key == u"NICKLEN" || key == u"MAXNICKLEN") {
            bool ok = false;
            const int length = value.toInt(&ok);
            if (ok && length > 0) {
                m_nickLength = length;
                m_nickLengthKnown = true;
            }
        } else if (key == u"CASEMAPPING") {
            m_caseMapping = caseMappingFromName(value);
        }
    }
}

void IrcRoom::handleNickRefused(const IrcMessage& message)
{
    if (m_phase != Phase::Registering)
        return;
    const QString refused = message.param(1).isEmpty() ? m_nick : message.param(1);
    const bool erroneous = message.command == u"432";
    // A nick the server calls erroneous may just be too long for it; after
    // a few tries we give up on the chosen nick's letters.
    QString base = m_settings.address.nick;
    if (erroneous && m_nickAttempt >= 2)
        base = u"svw"_s;
    int limit = m_nickLengthKnown ? m_nickLength
                                  : (erroneous ? kIrcMinNickLength
                                               : std::max<int>(kIrcMinNickLength, refused.size()));
    QString next;
    do {
        ++m_nickAttempt;
        next = alternateNick(base, m_nickAttempt, limit);
    } while (ircFolded(next, m_caseMapping) == ircFolded(refused, m_caseMapping));
    announce(
        u"The nick %1 was refused (%2); trying %3 ..."_s.arg(refused, message.lastParam(), next));
    m_nick = next;
    sendCommand(u"NICK"_s, {next});
}

void IrcRoom::handleJoin(const IrcMessage& message)
{
    if (!isOwnNick(message.nick()) || !isOurChannel(message.param(0)))
        return;
    if (!message.user().isEmpty() && !message.host().isEmpty())
        m_userHost = message.user() + u'@' + message.host();
    m_rejoinTimer.stop();
    m_backoffMs = std::max(1, m_settings.reconnectMinMs);
    setPhase(Phase::Joined);
    announce(
        u"In %1 on %2 as %3."_s.arg(m_settings.address.channel, m_settings.address.host, m_nick));
    m_troubleTimer.stop();
    m_outageTold = false;
    emit joined();
    emit roomReady();
    pump();
}

void IrcRoom::handleLeft(const QString& reason)
{
    if (m_phase != Phase::Joined)
        return;
    // Lines the server had not taken before we left are refused by it; say
    // them again once we are back.
    requeueInFlight();
    setPhase(Phase::Registered);
    scheduleRejoin(reason);
}

void IrcRoom::handleJoinRefused(const IrcMessage& message)
{
    if (m_phase != Phase::Registered)
        return;
    scheduleRejoin(u"cannot join %1: %2"_s.arg(m_settings.address.channel, message.lastParam()));
}

void IrcRoom::scheduleRejoin(const QString& reason)
{
    const int delay = m_backoffMs;
    m_backoffMs = std::min(std::max(1, m_settings.reconnectMaxMs), m_backoffMs * 2);
    announce(
        u"%1 (%2). Joining again in %3 ..."_s.arg(m_settings.address.host, reason, seconds(delay)));
    beginOutage();
    m_rejoinTimer.start(delay);
}

void IrcRoom::handlePong(const IrcMessage& message)
{
    const QString token = message.lastParam();
    if (!token.startsWith(kMarkPrefix))
        return;
    bool ok = false;
    const quint64 mark = token.mid(kMarkPrefix.size()).toULongLong(&ok);
    if (!ok)
        return;
    bool confirmed = false;
    while (!m_inFlight.empty() && m_inFlight.front().mark != 0 && m_inFlight.front().mark <= mark) {
        const QString text = m_inFlight.front().text;
        m_inFlight.pop_front();
        confirmed = true;
        // Without echo-message the server keeps our own lines to itself;
        // now that it has taken this one, it is said.
        if (!m_serverEchoes && m_scanning)
            emit RoomLine(m_nick, text);
    }
    if (confirmed && m_queue.empty() && m_inFlight.empty())
        emit linesConfirmed();
}

void IrcRoom::handlePrivmsg(const IrcMessage& message)
{
    if (message.params.size() < 2 || !isOurChannel(message.param(0)))
        return;
    const QString& text = message.params[1];
    if (text.startsWith(u'\x01'))
        return; // CTCP: actions and queries, not lines said in the room
    const QString sender = message.nick();
    if (isOwnNick(sender) && !m_serverEchoes)
        return; // already shown when the server confirmed it
    if (m_scanning)
        emit RoomLine(sender, text);
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

void IrcRoom::askConfirmation()
{
    ++m_lastMark;
    for (SentLine& line : m_inFlight) {
        if (line.mark == 0)
            line.mark = m_lastMark;
    }
    m_unmarkedLines = 0;
    enqueueCommand(u"PING"_s, {kMarkPrefix + QString::number(m_lastMark)}, true);
}

void IrcRoom::pump()
{
    m_pumpTimer.stop();
    while (m_socket && m_phase != Phase::Waiting && m_phase != Phase::Connecting) {
        const bool haveCommand = !m_commands.empty();
        const bool haveLine = m_phase == Phase::Joined && !m_queue.empty();
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
            const QString text = m_queue.front();
            m_queue.pop_front();
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
            bytes = std::move(*line);
            m_inFlight.push_back({text, 0});
            if (++m_unmarkedLines >= std::max(1, m_settings.confirmEveryLines) || m_queue.empty())
                askConfirmation();
        }
        m_socket->write(bytes);
        m_pacer.consume(now, int(bytes.size()));
    }
}

void IrcRoom::requeueInFlight()
{
    while (!m_inFlight.empty()) {
        m_queue.push_front(m_inFlight.back().text);
        m_inFlight.pop_back();
    }
    m_unmarkedLines = 0;
}

// --- state ------------------------------------------------------------------

void IrcRoom::setPhase(Phase phase)
{
    m_phase = phase;
}

void IrcRoom::announce(const QString& status)
{
    if (status == m_status)
        return;
    m_status = status;
    emit statusChanged(status);
}

void IrcRoom::announceTrouble(const QString& status, const QString& consequence)
{
    announce(status);
    emit roomTrouble(status + u"\n\n"_s + consequence);
}

void IrcRoom::beginOutage()
{
    if (!m_outageTold && !m_troubleTimer.isActive())
        m_troubleTimer.start();
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
