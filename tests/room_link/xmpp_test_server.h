// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// An XMPP server for tests: a real prosody on 127.0.0.1 with a group chat
// component, started by the test on a free port with its configuration,
// certificate and data in a temporary directory, run in the foreground as a
// child process and killed and waited for when the test is done. Also a raw
// XMPP client (libstrophe, driven by the test) that stands in for another
// member of the room.

#include "xmpp_room.h"

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <strophe.h>

namespace svw::test {

inline constexpr int kXmppWaitMs = 20000;

class XmppTestServer
{
public:
    XmppTestServer();
    ~XmppTestServer();
    XmppTestServer(const XmppTestServer&) = delete;
    XmppTestServer& operator=(const XmppTestServer&) = delete;

    // Writes the configuration (and, the first time, the certificate) and
    // starts the server; returns once it takes connections. The port stays
    // the same across kill() and start(); accounts stay too.
    bool start(QString* error);
    void kill(); // at once, as in a crash, and waits for the process
    bool addAccount(const QString& user, const QString& password, QString* error);
    // From the next start(): the server takes no stanza larger than `bytes`
    // from a client (10000 at least) and says so in its stream features.
    void limitStanzas(int bytes) { m_stanzaLimit = bytes; }

    QString domain() const { return QStringLiteral("localhost"); }
    QString mucDomain() const { return QStringLiteral("conference.localhost"); }
    quint16 port() const { return m_port; }
    QString caFile() const { return m_dir.filePath(QStringLiteral("localhost-cert.pem")); }
    QString directory() const { return m_dir.path(); }
    QString log() const { return QString::fromUtf8(m_log); }

    // Settings for a control of `user` (password "pw-USER") in `room` on
    // this server, with quick reconnects.
    XmppRoomSettings roomSettings(const QString& user, const QString& room,
                                  const QString& nick = QString()) const;

private:
    QString configFile() const { return m_dir.filePath(QStringLiteral("prosody.cfg.lua")); }
    bool waitForLog(const QString& text, int timeoutMs);

    QTemporaryDir m_dir;
    quint16 m_port = 0;
    QProcess m_process;
    QByteArray m_log;
    int m_stanzaLimit = 0;
};

// Another member of the room, speaking raw stanzas.
class RawXmppClient
{
public:
    RawXmppClient();
    ~RawXmppClient();
    RawXmppClient(const RawXmppClient&) = delete;
    RawXmppClient& operator=(const RawXmppClient&) = delete;

    bool connectTo(const XmppTestServer& server, const QString& user);
    // Joins `roomJid` as `nick` and returns once the room confirmed it.
    bool join(const QString& roomJid, const QString& nick);
    void sendRaw(const QString& xml);
    void say(const QString& roomJid, const QString& text);
    // Waits (running the Qt event loop too) until a stanza received holds
    // `part`; returns it, or an empty string.
    QString waitFor(const QString& part, int timeoutMs = kXmppWaitMs);
    // Every stanza received so far, as text.
    QStringList received() const { return m_received; }
    void runFor(int ms);

private:
    static int onStanza(xmpp_conn_t* conn, xmpp_stanza_t* stanza, void* self);
    static void onConnection(xmpp_conn_t* conn, xmpp_conn_event_t event, int error,
                             xmpp_stream_error_t* streamError, void* self);

    xmpp_ctx_t* m_ctx = nullptr;
    xmpp_conn_t* m_conn = nullptr;
    bool m_connected = false;
    bool m_failed = false;
    QStringList m_received;
};

} // namespace svw::test
