// SPDX-License-Identifier: GPL-3.0-or-later
#include "xmpp_room.h"

#include "xmpp_room_detail.h"
#include "xmpp_stanza.h"

#include <algorithm>
#include <mutex>

using namespace Qt::StringLiterals;

namespace svw {

namespace {

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

    for (QTimer* timer :
         {&m_connectTimer, &m_reconnectTimer, &m_rejoinTimer, &m_keptTimer, &m_leaveTimer})
        timer->setSingleShot(true);
    m_keptTimer.setInterval(std::max(1, settings.kickForgottenMs));
    connect(&m_keptTimer, &QTimer::timeout, this, [this] { m_kicksInARow = 0; });
    m_connectTimer.setInterval(std::max(1, settings.connectTimeoutMs));
    connect(&m_connectTimer, &QTimer::timeout, this, [this] {
        dropConnection();
        scheduleReconnect(u"The server did not let us in within %1"_s.arg(
            xmppSeconds(m_settings.connectTimeoutMs)));
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

bool XmppRoom::fitsOneLine(const QString& line) const
{
    return m_stanzaLimit <= 0 || roomMessageBytes(m_ctx, m_settings.roomJid, line) <= m_stanzaLimit;
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
        if (m_kicksInARow > 0)
            m_keptTimer.start();
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
                    xmppSeconds(m_settings.reconnectMaxMs)));
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
                                     xmppSeconds(m_settings.reconnectMaxMs)));
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
    case Kind::Banned:
        handleKick(event.kind == Kind::Banned, event.reason);
        return;
    case Kind::Left:
        m_keptTimer.stop();
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

void XmppRoom::handleKick(bool banned, const QString& reason)
{
    m_session.requeueUnconfirmed();
    m_keptTimer.stop();
    int wait = m_settings.reconnectMaxMs;
    if (!banned) {
        // Whoever keeps removing us is not asked again every half minute:
        // each kick in a row doubles the wait, up to a bound.
        const qint64 first = std::max(1, m_settings.kickRejoinMs);
        const qint64 grown = first << std::min(m_kicksInARow, 20);
        wait = int(std::min<qint64>(grown, std::max<qint64>(first, m_settings.kickRejoinMaxMs)));
        ++m_kicksInARow;
    }
    const QString why = reason.isEmpty() ? QString() : u" ("_s + reason + u')';
    m_session.troubleNow(
        (banned ? u"You were banned from %1%2."_s : u"You were removed from %1%2."_s)
            .arg(m_settings.roomJid, why),
        u"What you send waits and goes out once the room takes you back; the program "
        u"asks to join again in %1."_s.arg(xmppSeconds(wait)));
    m_rejoinTimer.start(wait);
}

void XmppRoom::pump()
{
    if (!m_conn || !m_connected || !m_session.isInRoom())
        return;
    while (const std::optional<QString> line = m_session.takeNext()) {
        if (!fitsOneLine(*line)) {
            // Said before the limit was known: the server would end the
            // connection over it, and again after every reconnect.
            emit roomTrouble(u"The server of %1 takes no message longer than %2 bytes.\n\n"
                             u"A line of %3 characters was too long and was not said; the "
                             u"lines after it still go out."_s.arg(m_settings.roomJid)
                                 .arg(m_stanzaLimit)
                                 .arg(line->size()));
            continue;
        }
        char* id = xmpp_uuid_gen(m_ctx);
        xmpp_stanza_t* message = newRoomMessage(m_ctx, m_settings.roomJid, *line, id);
        xmpp_send(m_conn, message);
        xmpp_stanza_release(message);
        m_session.markSent(QString::fromUtf8(id), *line);
        xmpp_free(m_ctx, id);
    }
    // Leaving waits for the lines said to come back; a line not sent
    // leaves nothing to wait for.
    if (m_leaving && waitingLineCount() == 0)
        QTimer::singleShot(0, this, &XmppRoom::finishLeaving);
    drive();
}

} // namespace svw
