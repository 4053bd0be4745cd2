// SPDX-License-Identifier: GPL-3.0-or-later
#include "xmpp_room.h"

#include "xmpp_stanza.h"

#include <QHash>
#include <QRandomGenerator>

#include <algorithm>
#include <cstring>
#include <mutex>

using namespace Qt::StringLiterals;

namespace svw {

namespace {

// libstrophe tells of a refused certificate without the connection's user
// data: this finds the room again.
QHash<const xmpp_conn_t*, XmppRoom*>& roomsByConnection()
{
    static QHash<const xmpp_conn_t*, XmppRoom*> rooms;
    return rooms;
}

// A resource that says nothing of the program or the machine.
QString neutralResource()
{
    static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    QString resource;
    for (int i = 0; i < 12; ++i)
        resource += QChar::fromLatin1(
            kAlphabet[QRandomGenerator::system()->bounded(int(sizeof kAlphabet) - 1)]);
    return resource;
}

// XML 1.0 cannot carry most control characters, and a CR would reach the
// others as LF: such a line would not arrive as said.
bool xmlCarries(const QString& line)
{
    return std::none_of(line.begin(), line.end(), [](QChar c) {
        return (c < u' ' && c != u'\t') || c == QChar(0xFFFE) || c == QChar(0xFFFF);
    });
}

// Nicks tried after the chosen one is taken ("ann2" ... "ann10").
constexpr int kMaxNickAttempts = 9;

QString seconds(int ms)
{
    return QString::number((ms + 999) / 1000) + u" s"_s;
}

} // namespace

XmppRoom::XmppRoom(const XmppRoomSettings& settings, QObject* parent)
    : ChatRoomControl(parent), m_settings(settings),
      m_session(u"%1 on XMPP"_s.arg(settings.roomJid), settings.troubleAfterMs),
      m_nick(settings.nick), m_backoffMs(std::max(1, settings.reconnectMinMs))
{
    static std::once_flag initialized;
    std::call_once(initialized, [] { xmpp_initialize(); });
    m_log.handler = &XmppRoom::onLog;
    m_log.userdata = this;
    m_ctx = xmpp_ctx_new(nullptr, &m_log);
    // At this verbosity libstrophe logs each write it queues ("Q_ADD"),
    // which is how drive() knows to run another turn.
    xmpp_ctx_set_verbosity(m_ctx, 1);

    connect(&m_session, &RoomSession::stateChanged, this,
            [this](RoomState state) { setRoomState(state); });
    connect(&m_session, &RoomSession::statusChanged, this, &XmppRoom::statusChanged);
    connect(&m_session, &RoomSession::trouble, this, &XmppRoom::roomTrouble);
    connect(&m_session, &RoomSession::ready, this, &XmppRoom::roomReady);

    for (QTimer* timer : {&m_connectTimer, &m_reconnectTimer, &m_rejoinTimer, &m_leaveTimer})
        timer->setSingleShot(true);
    m_connectTimer.setInterval(std::max(1, settings.connectTimeoutMs));
    connect(&m_connectTimer, &QTimer::timeout, this, [this] {
        dropConnection();
        scheduleReconnect(
            u"The server did not let us in within %1"_s.arg(seconds(m_settings.connectTimeoutMs)));
    });
    connect(&m_reconnectTimer, &QTimer::timeout, this, &XmppRoom::connectToServer);
    connect(&m_rejoinTimer, &QTimer::timeout, this, [this] {
        if (m_connected && !m_session.isInRoom())
            join();
    });
    connect(&m_leaveTimer, &QTimer::timeout, this, &XmppRoom::finishLeaving);
    QTimer::singleShot(0, this, &XmppRoom::connectToServer);
}

XmppRoom::~XmppRoom()
{
    // Nothing said while going away is news to anyone.
    m_gaveUp = true;
    blockSignals(true);
    m_session.blockSignals(true);
    if (m_conn && m_connected) {
        // Say goodbye so the room does not keep a ghost of us until the
        // server notices the connection is gone.
        xmpp_stanza_t* presence = xmpp_presence_new(m_ctx);
        xmpp_stanza_set_type(presence, "unavailable");
        xmpp_stanza_set_to(presence, (m_settings.roomJid + u'/' + m_nick).toUtf8().constData());
        xmpp_send(m_conn, presence);
        xmpp_stanza_release(presence);
        xmpp_disconnect(m_conn);
        for (int turn = 0; turn < 4 && !xmpp_conn_is_disconnected(m_conn); ++turn)
            xmpp_run_once(m_ctx, 50);
    }
    dropConnection();
    xmpp_ctx_free(m_ctx);
}

bool XmppRoom::SendRoomLine(const QString& line)
{
    if (!xmlCarries(line)) {
        setErrorString(u"An XMPP room cannot carry control characters such as line breaks."_s);
        return false;
    }
    if (m_gaveUp) {
        setErrorString(u"The program has stopped trying to reach %1: %2"_s.arg(m_settings.roomJid,
                                                                               m_session.status()));
        return false;
    }
    m_session.enqueue(line);
    pump();
    return true;
}

QString XmppRoom::roomDescription() const
{
    return u"%1 on XMPP as %2"_s.arg(m_settings.roomJid, m_nick);
}

void XmppRoom::leaveRoom(std::chrono::milliseconds patience)
{
    if (m_leaving)
        return;
    m_leaving = true;
    if (!m_session.isInRoom() || waitingLineCount() == 0) {
        QTimer::singleShot(0, this, &XmppRoom::finishLeaving);
        return;
    }
    m_leaveTimer.start(int(std::max<qint64>(0, patience.count())));
}

void XmppRoom::finishLeaving()
{
    if (!m_leaving || m_gaveUp)
        return;
    m_gaveUp = true; // nothing comes after leaving
    m_leaveTimer.stop();
    m_reconnectTimer.stop();
    m_rejoinTimer.stop();
    const int unsaid = waitingLineCount();
    if (m_conn && m_connected) {
        xmpp_stanza_t* presence = xmpp_presence_new(m_ctx);
        xmpp_stanza_set_type(presence, "unavailable");
        xmpp_stanza_set_to(presence, (m_settings.roomJid + u'/' + m_nick).toUtf8().constData());
        xmpp_send(m_conn, presence);
        xmpp_stanza_release(presence);
        xmpp_disconnect(m_conn);
        drive();
    }
    QMetaObject::invokeMethod(
        this, [this, unsaid] { emit roomLeft(unsaid); }, Qt::QueuedConnection);
}

void XmppRoom::connectToServer()
{
    if (m_gaveUp)
        return;
    dropConnection();
    m_certificateRefusal.clear();
    m_authRefusal.clear();
    m_conn = xmpp_conn_new(m_ctx);
    roomsByConnection().insert(m_conn, this);
    // Stream management would resume a session the room has long forgotten
    // after a server restart; lines not reflected are sent again instead.
    xmpp_conn_set_flags(m_conn, XMPP_CONN_FLAG_MANDATORY_TLS | XMPP_CONN_FLAG_DISABLE_SM);
    const QString jid = m_settings.accountJid + u'/' + neutralResource();
    xmpp_conn_set_jid(m_conn, jid.toUtf8().constData());
    xmpp_conn_set_pass(m_conn, m_settings.password.toUtf8().constData());
    if (!m_settings.caFile.isEmpty())
        xmpp_conn_set_cafile(m_conn, m_settings.caFile.toLocal8Bit().constData());
    xmpp_conn_set_certfail_handler(m_conn, &XmppRoom::onCertificateFailure);
    xmpp_conn_set_sockopt_callback(m_conn, &XmppRoom::onSocket);
    xmpp_handler_add(m_conn, &XmppRoom::onStanza, nullptr, nullptr, nullptr, this);
    const QByteArray host = m_settings.serverHost.toUtf8();
    m_session.announce(u"Connecting to the server of %1 ..."_s.arg(m_settings.accountJid));
    m_connectTimer.start();
    if (xmpp_connect_client(m_conn, host.isEmpty() ? nullptr : host.constData(),
                            m_settings.serverPort, &XmppRoom::onConnection, this) != XMPP_EOK) {
        dropConnection();
        scheduleReconnect(u"The server of %1 could not be reached"_s.arg(m_settings.accountJid));
        return;
    }
    drive();
}

void XmppRoom::dropConnection()
{
    m_connectTimer.stop();
    m_connected = false;
    delete m_readNotifier;
    delete m_writeNotifier;
    if (!m_conn)
        return;
    xmpp_conn_t* conn = m_conn;
    m_conn = nullptr; // whatever libstrophe reports while letting go is not news
    roomsByConnection().remove(conn);
    xmpp_conn_release(conn);
}

void XmppRoom::drive()
{
    if (m_driving || !m_ctx)
        return;
    m_driving = true;
    // A TLS record can hold more than one read takes: run again while the
    // last turn read something, until the socket and TLS have nothing left.
    // What libstrophe queued during a turn is written at the start of the
    // next one: run again while the last turn queued something, too.
    for (int turn = 0; turn < 256; ++turn) {
        m_received = false;
        m_queued = false;
        xmpp_run_once(m_ctx, 0);
        if (!m_received && !m_queued)
            break;
    }
    m_driving = false;
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(
            m_conn && (xmpp_conn_is_connecting(m_conn) || xmpp_conn_send_queue_len(m_conn) > 0));
}

int XmppRoom::onSocket(xmpp_conn_t* conn, void* socket)
{
    XmppRoom* room = roomsByConnection().value(conn);
    if (!room)
        return 0;
    const int fd = *static_cast<int*>(socket);
    delete room->m_readNotifier;
    delete room->m_writeNotifier;
    room->m_readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, room);
    room->m_writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, room);
    connect(room->m_readNotifier, &QSocketNotifier::activated, room, &XmppRoom::drive);
    connect(room->m_writeNotifier, &QSocketNotifier::activated, room, &XmppRoom::drive);
    // A silent peer that vanished is noticed by the kernel's keepalive.
    return xmpp_sockopt_cb_keepalive(conn, socket);
}

int XmppRoom::onCertificateFailure(const xmpp_tlscert_t* cert, const char* errorMessage)
{
    if (XmppRoom* room = roomsByConnection().value(xmpp_tlscert_get_conn(cert)))
        room->m_certificateRefusal = QString::fromUtf8(errorMessage ? errorMessage : "");
    return 0; // never trust a certificate the store does not vouch for
}

void XmppRoom::onLog(void* self, xmpp_log_level_t level, const char* /*area*/, const char* msg)
{
    Q_UNUSED(level);
    auto* room = static_cast<XmppRoom*>(self);
    if (!msg)
        return;
    if (std::strncmp(msg, "RECV: ", 6) == 0) {
        room->m_received = true;
    } else if (std::strncmp(msg, "Q_ADD: ", 7) == 0) {
        room->m_queued = true;
    } else if (std::strncmp(msg, "Certificate verification FAILED", 31) == 0) {
        // The refusal handler does not always learn its connection; the
        // log, which is this room's own, always tells.
        if (room->m_certificateRefusal.isEmpty()) {
            const char* result = std::strstr(msg, "result=");
            room->m_certificateRefusal =
                QString::fromUtf8(result ? result + 7 : "verification failed");
        }
    } else if (std::strncmp(msg, "SASL ", 5) == 0 && std::strstr(msg, "auth failed")) {
        room->m_authRefusal = QString::fromUtf8(msg);
    }
}

void XmppRoom::onConnection(xmpp_conn_t* conn, xmpp_conn_event_t event, int error,
                            xmpp_stream_error_t* streamError, void* self)
{
    auto* room = static_cast<XmppRoom*>(self);
    if (conn != room->m_conn)
        return;
    if (event == XMPP_CONN_CONNECT)
        room->handleConnected();
    else if (event == XMPP_CONN_DISCONNECT || event == XMPP_CONN_FAIL)
        room->handleDisconnected(error, streamError);
}

int XmppRoom::onStanza(xmpp_conn_t* conn, xmpp_stanza_t* stanza, void* self)
{
    auto* room = static_cast<XmppRoom*>(self);
    if (conn == room->m_conn)
        room->handleStanza(stanza);
    return 1;
}

void XmppRoom::handleConnected()
{
    m_connected = true;
    m_connectTimer.stop();
    const char* bound = xmpp_conn_get_bound_jid(m_conn);
    m_boundJid = QString::fromUtf8(bound ? bound : "");
    join();
}

void XmppRoom::handleDisconnected(int error, xmpp_stream_error_t* streamError)
{
    m_connected = false;
    m_connectTimer.stop();
    m_rejoinTimer.stop();
    if (m_readNotifier)
        m_readNotifier->setEnabled(false);
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
    m_session.requeueUnconfirmed();
    if (m_leaving || m_gaveUp)
        return;
    if (!m_certificateRefusal.isEmpty()) {
        giveUp(u"The server of %1 showed a certificate that is not trusted (%2)."_s.arg(
                   m_settings.accountJid, m_certificateRefusal),
               u"The program does not try again. Lines you send are not said. Check the "
               u"server's name, or give the certificate of its authority in SVW_XMPP_CAFILE."_s);
        return;
    }
    if (!m_authRefusal.isEmpty()) {
        giveUp(u"The server refused the password of %1."_s.arg(m_settings.accountJid),
               u"The program does not try again. Lines you send are not said."_s);
        return;
    }
    QString why = u"The connection to the server of %1 was lost"_s.arg(m_settings.accountJid);
    if (streamError && streamError->text)
        why += u" ("_s + QString::fromUtf8(streamError->text) + u')';
    else if (error)
        why += u" ("_s + QString::fromLocal8Bit(std::strerror(error)) + u')';
    scheduleReconnect(why);
}

void XmppRoom::scheduleReconnect(const QString& why)
{
    m_session.requeueUnconfirmed();
    m_session.lost(u"%1; trying again in %2."_s.arg(why, seconds(m_backoffMs)));
    m_reconnectTimer.start(m_backoffMs);
    m_backoffMs = std::min(m_backoffMs * 2, std::max(1, m_settings.reconnectMaxMs));
}

void XmppRoom::giveUp(const QString& status, const QString& why)
{
    m_gaveUp = true;
    m_reconnectTimer.stop();
    m_rejoinTimer.stop();
    m_session.troubleNow(status, why);
}

void XmppRoom::join()
{
    if (!m_conn || !m_connected)
        return;
    // Ask the room for no history: lines said before we came are not news.
    xmpp_stanza_t* presence = xmpp_presence_new(m_ctx);
    xmpp_stanza_set_to(presence, (m_settings.roomJid + u'/' + m_nick).toUtf8().constData());
    xmpp_stanza_t* muc = xmpp_stanza_new(m_ctx);
    xmpp_stanza_set_name(muc, "x");
    xmpp_stanza_set_ns(muc, "http://jabber.org/protocol/muc");
    xmpp_stanza_t* history = xmpp_stanza_new(m_ctx);
    xmpp_stanza_set_name(history, "history");
    xmpp_stanza_set_attribute(history, "maxstanzas", "0");
    xmpp_stanza_add_child_ex(muc, history, 0);
    xmpp_stanza_add_child_ex(presence, muc, 0);
    xmpp_send(m_conn, presence);
    xmpp_stanza_release(presence);
    m_session.announce(u"Joining %1 as %2 ..."_s.arg(m_settings.roomJid, m_nick));
    drive();
}

void XmppRoom::handleStanza(xmpp_stanza_t* stanza)
{
    const XmppRoomEvent event = readRoomStanza(stanza, m_settings.roomJid, m_nick);
    using Kind = XmppRoomEvent::Kind;
    switch (event.kind) {
    case Kind::Ignore:
    case Kind::History: // said before we came: not shown as new
        return;
    case Kind::Line:
        // Some rooms give the reflection an id of their own: then the text
        // tells which of our lines came back.
        if (event.nick == m_nick && !m_session.confirm(event.id))
            m_session.confirmText(event.text);
        if (m_scanning)
            emit RoomLine(event.nick, event.text);
        if (m_leaving && waitingLineCount() == 0)
            QTimer::singleShot(0, this, &XmppRoom::finishLeaving);
        return;
    case Kind::LineRefused:
        if (!m_session.forget(event.id).isNull())
            emit roomTrouble(u"%1 refused a line: %2.\n\nThat line was not said; the lines "
                             u"after it still go out."_s.arg(m_settings.roomJid, event.reason));
        return;
    case Kind::Joined:
        if (m_session.isInRoom())
            return;
        if (event.nick != m_nick) {
            m_nick = event.nick;
            emit roomDescriptionChanged();
        }
        m_backoffMs = std::max(1, m_settings.reconnectMinMs);
        m_lastRefusal.clear();
        m_session.reached(u"In %1 as %2."_s.arg(m_settings.roomJid, m_nick));
        emit joined();
        pump();
        return;
    case Kind::NickTaken: {
        if (m_session.isInRoom())
            return;
        if (m_nickAttempt >= kMaxNickAttempts) {
            m_session.troubleNow(
                u"%1 has no free nick like \"%2\"."_s.arg(m_settings.roomJid, m_settings.nick),
                u"What you send waits; the program asks again in %1."_s.arg(
                    seconds(m_settings.reconnectMaxMs)));
            m_nickAttempt = 0;
            m_nick = m_settings.nick;
            m_rejoinTimer.start(m_settings.reconnectMaxMs);
            return;
        }
        const QString taken = m_nick;
        m_nick = m_settings.nick + QString::number(++m_nickAttempt + 1);
        emit roomDescriptionChanged();
        emit roomNotice(u"The nick \"%1\" is taken in %2; you join as \"%3\"."_s.arg(
            taken, m_settings.roomJid, m_nick));
        join();
        return;
    }
    case Kind::JoinRefused: {
        const QString status =
            u"%1 does not let you in: %2."_s.arg(m_settings.roomJid, event.reason);
        // Asking again every minute must not tell the same refusal every minute.
        if (status == m_lastRefusal)
            m_session.announce(status);
        else
            m_session.troubleNow(status,
                                 u"What you send waits; the program asks again in %1."_s.arg(
                                     seconds(m_settings.reconnectMaxMs)));
        m_lastRefusal = status;
        m_rejoinTimer.start(m_settings.reconnectMaxMs);
        return;
    }
    case Kind::NickChanged:
        m_nick = event.nick;
        emit roomDescriptionChanged();
        emit roomNotice(u"%1 now knows you as \"%2\"."_s.arg(m_settings.roomJid, m_nick));
        return;
    case Kind::Kicked:
    case Kind::Banned: {
        const bool banned = event.kind == Kind::Banned;
        m_session.requeueUnconfirmed();
        const QString reason = event.reason.isEmpty() ? QString() : u" ("_s + event.reason + u')';
        const int wait = banned ? m_settings.reconnectMaxMs : m_settings.kickRejoinMs;
        m_session.troubleNow(
            (banned ? u"You were banned from %1%2."_s : u"You were removed from %1%2."_s)
                .arg(m_settings.roomJid, reason),
            u"What you send waits and goes out once the room takes you back; the program "
            u"asks to join again in %1."_s.arg(seconds(wait)));
        m_rejoinTimer.start(wait);
        return;
    }
    case Kind::Left:
        m_session.requeueUnconfirmed();
        m_session.lost(u"Out of %1; joining again."_s.arg(m_settings.roomJid));
        m_rejoinTimer.start(m_backoffMs);
        return;
    case Kind::VersionQuery:
    case Kind::OtherQuery: {
        // Answer nothing about ourselves: the error is what any client that
        // serves no such query says.
        xmpp_stanza_t* reply =
            xmpp_stanza_reply_error(stanza, "cancel", "service-unavailable", nullptr);
        if (reply) {
            xmpp_send(m_conn, reply);
            xmpp_stanza_release(reply);
        }
        return;
    }
    }
}

void XmppRoom::pump()
{
    if (!m_conn || !m_connected || !m_session.isInRoom())
        return;
    while (const std::optional<QString> line = m_session.takeNext()) {
        char* id = xmpp_uuid_gen(m_ctx);
        xmpp_stanza_t* message =
            xmpp_message_new(m_ctx, "groupchat", m_settings.roomJid.toUtf8().constData(), id);
        xmpp_message_set_body(message, line->toUtf8().constData());
        xmpp_send(m_conn, message);
        xmpp_stanza_release(message);
        m_session.markSent(QString::fromUtf8(id), *line);
        xmpp_free(m_ctx, id);
    }
    drive();
}

} // namespace svw
