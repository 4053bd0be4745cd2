// SPDX-License-Identifier: GPL-3.0-or-later
// The XMPP room's connection: libstrophe's loop driven by the socket's
// readiness, logging in, and what follows a lost connection.
#include "xmpp_room.h"

#include "xmpp_room_detail.h"
#include "xmpp_stanza.h"

#include <QHash>
#include <QRandomGenerator>

#include <cstring>

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

// libstrophe reads at most this much a turn; TLS decrypts at most a record
// at a time.
constexpr int kReadSize = 4096;
constexpr int kLargestTlsRecord = 16384;

} // namespace

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
    // A TLS record can hold more than one read takes, and what TLS holds
    // decrypted the socket's notifier never tells of: run again while the
    // last turns read something, until the socket and TLS have nothing
    // left. A turn that reads part of a long stanza says nothing (only
    // whole stanzas are logged), so a few quiet turns in a row, enough to
    // empty the largest record, end the run. What libstrophe queued during
    // a turn is written at the start of the next one: run again while the
    // last turn queued something, too.
    constexpr int kQuietTurns = kLargestTlsRecord / kReadSize + 1;
    int quiet = 0;
    for (int turn = 0; turn < 256 && quiet < kQuietTurns; ++turn) {
        m_received = false;
        m_queued = false;
        xmpp_run_once(m_ctx, 0);
        quiet = m_received || m_queued ? 0 : quiet + 1;
    }
    m_driving = false;
    // Still busy after many turns (a long burst): the rest after the
    // window has had its turn.
    if (quiet < kQuietTurns)
        QTimer::singleShot(0, this, &XmppRoom::drive);
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
        // libstrophe keeps the stream's features to itself; its log shows
        // them, and with them the largest stanza the server takes.
        if (std::strncmp(msg + 6, "<features ", 10) == 0) {
            if (const std::optional<qint64> limit = advertisedStanzaLimit(room->m_ctx, msg + 6))
                room->m_stanzaLimit = *limit;
        }
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
    m_keptTimer.stop();
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
    m_session.lost(u"%1; trying again in %2."_s.arg(why, xmppSeconds(m_backoffMs)));
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

} // namespace svw
