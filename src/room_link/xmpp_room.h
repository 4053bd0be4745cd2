// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "chat_room_control.h"
#include "room_session.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

#include <strophe.h>

namespace svw {

struct XmppRoomSettings
{
    QString accountJid; // "ann@example.org"; the resource is ours to choose
    QString password;
    QString roomJid; // "room@conference.example.org"
    QString nick;
    QString caFile;     // trusted besides the system's store; empty: the system's only
    QString serverHost; // empty: found from the account's domain (SRV)
    quint16 serverPort = 0;
    int connectTimeoutMs = 30'000; // to be logged in once the connection is asked
    int reconnectMinMs = 1'000;    // first wait before reconnecting; doubles ...
    int reconnectMaxMs = 60'000;   // ... up to this
    int kickRejoinMs = 30'000;     // wait before rejoining after a kick; doubles ...
    int kickRejoinMaxMs = 600'000; // ... with each kick in a row, up to this
    int kickForgottenMs = 600'000; // in the room this long again: earlier kicks are forgotten
    int troubleAfterMs = 20'000;   // out of the room this long before the user is told
};

// A chat room in an XMPP multi-user chat, reached through libstrophe.
//
// The control logs in over verified TLS (SASL, SCRAM where the server has
// it) as soon as the event loop runs and joins the room asking for no
// history; a delayed line the room sends anyway is not shown. libstrophe's
// loop runs only when its socket has something to do, so an idle room
// costs nothing.
//
// Lines wait, in order, until the room is joined; each goes out as a
// groupchat message and is shown when the room reflects it, so the user's
// own lines appear once and in the room's order. Lines not reflected when
// the connection drops go out again after the rejoin (a line the room took
// just before may then be said twice; none is lost).
//
// A dropped connection is tried again with a growing pause; a nick in use
// is replaced by another; a kick or ban is told at once, as is a
// certificate or password the server refuses (those are not tried again).
// A copy kicked again and again waits longer each time before it asks to
// come back, until the room has kept it for a while.
//
// Where the server advertises the largest stanza it takes, a line whose
// message would be larger does not fit one line of the room; one that
// comes anyway is not sent (the server would end the connection for it).
// The room learns nothing of this program: the resource is random and a
// version query is answered with an error.
class XmppRoom : public ChatRoomControl
{
    Q_OBJECT

public:
    explicit XmppRoom(const XmppRoomSettings& settings, QObject* parent = nullptr);
    ~XmppRoom() override;

    bool SendRoomLine(const QString& line) override;
    void StartRoomScan() override { m_scanning = true; }
    void StopRoomScan() override { m_scanning = false; }
    bool fitsOneLine(const QString& line) const override;
    QString roomDescription() const override;
    int waitingLineCount() const override { return m_session.unsaidCount(); }
    void leaveRoom(std::chrono::milliseconds patience) override;

    bool isJoined() const { return m_session.isInRoom(); }
    QString nick() const { return m_nick; }
    QString status() const { return m_session.status(); }
    // The full address the server bound for us ("ann@example.org/abc123").
    QString boundJid() const { return m_boundJid; }
    // The largest stanza the server said it takes, in bytes; 0: no limit known.
    qint64 stanzaLimit() const { return m_stanzaLimit; }
    // Kicks in a row not yet forgotten: each one doubles the wait.
    int kicksInARow() const { return m_kicksInARow; }

signals:
    void joined(); // each time the room is (re)joined

private:
    static void onConnection(xmpp_conn_t* conn, xmpp_conn_event_t event, int error,
                             xmpp_stream_error_t* streamError, void* self);
    static int onStanza(xmpp_conn_t* conn, xmpp_stanza_t* stanza, void* self);
    static int onSocket(xmpp_conn_t* conn, void* socket);
    static int onCertificateFailure(const xmpp_tlscert_t* cert, const char* errorMessage);
    static void onLog(void* self, xmpp_log_level_t level, const char* area, const char* msg);

    void connectToServer();
    void dropConnection();
    // Runs libstrophe for as long as it has something to read or write now.
    void drive();
    void handleConnected();
    void handleDisconnected(int error, xmpp_stream_error_t* streamError);
    void handleStanza(xmpp_stanza_t* stanza);
    void handleKick(bool banned, const QString& reason);
    void join();
    void pump();
    void scheduleReconnect(const QString& why);
    void giveUp(const QString& status, const QString& why);
    void finishLeaving();

    XmppRoomSettings m_settings;
    RoomSession m_session;
    QString m_nick;
    int m_nickAttempt = 0;
    QString m_lastRefusal; // the room's last refusal to let us in, told once
    QString m_boundJid;
    bool m_scanning = false;

    xmpp_log_t m_log{};
    xmpp_ctx_t* m_ctx = nullptr;
    xmpp_conn_t* m_conn = nullptr;
    QPointer<QSocketNotifier> m_readNotifier;
    QPointer<QSocketNotifier> m_writeNotifier;
    bool m_received = false; // libstrophe read something in this turn
    bool m_queued = false;   // libstrophe queued something to write in this turn
    bool m_driving = false;
    bool m_connected = false; // logged in on this connection
    QString m_certificateRefusal;
    QString m_authRefusal;
    qint64 m_stanzaLimit = 0; // kept across connections until the server says otherwise

    QTimer m_connectTimer;
    QTimer m_reconnectTimer;
    QTimer m_rejoinTimer;
    QTimer m_keptTimer; // the room has kept us long enough to forget the kicks
    int m_kicksInARow = 0;
    int m_backoffMs = 0;
    bool m_gaveUp = false;

    bool m_leaving = false;
    QTimer m_leaveTimer;
};

} // namespace svw
