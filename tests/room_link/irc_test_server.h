// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// IRC servers for tests: a real ngircd or inspircd on 127.0.0.1, started by
// the test on a free port with its configuration in a temporary directory,
// run in the foreground as a child process, and killed and waited for when
// the test is done (nothing here reaps orphans, so every server must stay a
// child). Also a self-signed certificate for TLS tests, and a raw IRC client
// that lets a test speak to the server as an outside user would.

#include "irc_room.h"

#include <QByteArray>
#include <QProcess>
#include <QStringList>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <optional>

namespace svw::test {

// Generous: under the sanitizers everything takes a while.
inline constexpr int kServerWaitMs = 20000;

// A port on 127.0.0.1 that nothing listens on right now, outside the range the
// kernel hands out to outgoing connections.
quint16 freeLocalPort();

// Waits until `process`, a server just started, takes connections on `port`
// of 127.0.0.1. False, with `error` naming `what` and the server's `log`,
// when it ends or never does.
bool waitForListening(const QProcess& process, quint16 port, const QString& what,
                      const std::function<QString()>& log, QString* error);

// Ends a server at once, as in a crash, and waits for it.
void killAndWait(QProcess& process);

// A self-signed certificate for "localhost" and 127.0.0.1, made with
// openssl, with its key and Diffie-Hellman parameters.
struct TlsFiles
{
    QString certFile;
    QString keyFile;
    QString dhFile;
};
std::optional<TlsFiles> makeSelfSignedCertificate(const QString& dir, const QString& name,
                                                  const QString& subjectAltName, QString* error);

class IrcTestServer
{
public:
    enum class Kind { Ngircd, Inspircd };

    explicit IrcTestServer(Kind kind = Kind::Ngircd,
                           const QString& name = QStringLiteral("irc.test"));
    ~IrcTestServer();
    IrcTestServer(const IrcTestServer&) = delete;
    IrcTestServer& operator=(const IrcTestServer&) = delete;

    // Before start(): turn ngircd's flood penalty off; add a TLS port; link
    // to another ngircd (the passive side waits for the active one).
    void setFloodPenaltyOff(bool off) { m_floodPenaltyOff = off; }
    void enableTls(const TlsFiles& files);
    void linkTo(const IrcTestServer& peer, bool passive);
    // A password every client must give (PASS).
    void setServerPassword(const QString& password) { m_serverPassword = password; }
    void setEchoMessage(bool on) { m_echoMessage = on; } // inspircd: offered by default
    // inspircd only: a port for a services server (IrcTestServices), SASL
    // through it, the account modes (+R, +M), and an operator "oper" with
    // the password "operpw" who may SANICK.
    void enableServices();
    quint16 servicesPort() const { return m_servicesPort; }

    // Writes the configuration and starts the server; returns once it takes
    // connections. Ports stay the same across stop() and start().
    bool start(QString* error);
    void kill(); // at once, as in a crash, and waits for the process
    bool isRunning() const;

    QString name() const { return m_name; }
    quint16 port() const { return m_port; }
    quint16 tlsPort() const { return m_tlsPort; }
    QString log() const { return QString::fromUtf8(m_log); }
    QString directory() const { return m_dir.path(); }
    qint64 processId() const { return m_process.processId(); }

    // Waits until the server's log holds `text` on a line of its own making.
    bool waitForLog(const QString& text, int timeoutMs = kServerWaitMs);

private:
    QString ngircdConfig() const;
    QString inspircdConfig() const;
    bool waitForPort(QString* error);

    Kind m_kind;
    QString m_name;
    QTemporaryDir m_dir;
    quint16 m_port = 0;
    quint16 m_tlsPort = 0;
    bool m_floodPenaltyOff = false;
    bool m_echoMessage = true;
    QString m_serverPassword;
    quint16 m_servicesPort = 0;
    std::optional<TlsFiles> m_tls;
    struct Link
    {
        QString peerName;
        quint16 peerPort;
        QString myPassword;
        QString peerPassword;
        bool passive;
    };
    std::optional<Link> m_link;
    QProcess m_process;
    QByteArray m_log;
};

// atheme-services linked to an inspircd that enableServices() prepared, as
// "services.test", with NickServ (REGISTER, IDENTIFY, CERT) and SaslServ
// (PLAIN, EXTERNAL). Its configuration and database live in a temporary
// directory of its own; it runs in the foreground and is killed and waited
// for like the servers.
class IrcTestServices
{
public:
    explicit IrcTestServices(const IrcTestServer& server);
    ~IrcTestServices();
    IrcTestServices(const IrcTestServices&) = delete;
    IrcTestServices& operator=(const IrcTestServices&) = delete;

    // Starts the services and returns once they are linked and synced.
    bool start(QString* error);
    void kill();
    QString log() const { return QString::fromUtf8(m_log); }

private:
    QString config() const;

    QString m_serverName;
    quint16 m_port;
    QTemporaryDir m_dir;
    QProcess m_process;
    QByteArray m_log;
};

// A plain IRC client speaking raw lines, for what the controls must handle
// from others (notices, CTCP, other channels, bytes that are not UTF-8) and
// for checking what really goes over the wire.
class RawIrcClient
{
public:
    RawIrcClient() = default;

    // Connects, registers as `nick` and joins `channel` (if not empty);
    // returns once the server confirmed the join.
    bool connectAndJoin(quint16 port, const QByteArray& nick, const QByteArray& channel);
    void send(const QByteArray& line); // CR LF is added
    // Waits for a line that contains `part`; returns it, or nothing.
    std::optional<QByteArray> waitForLine(const QByteArray& part, int timeoutMs = kServerWaitMs);
    // Every line the server sent so far.
    QList<QByteArray> lines() const { return m_lines; }
    void disconnect() { m_socket.abort(); }

private:
    void readAvailable();

    QTcpSocket m_socket;
    QByteArray m_buffer;
    QList<QByteArray> m_lines;
    qsizetype m_seen = 0;
};

// Settings for a control in a test: quick reconnects, no pacing unless asked.
IrcRoomSettings testRoomSettings(quint16 port, const QString& nick,
                                 const QString& channel = QStringLiteral("#svw"));

// A control with everything it reports recorded.
class WatchedRoom
{
public:
    explicit WatchedRoom(const IrcRoomSettings& settings);

    IrcRoom& room() { return *m_room; }
    IrcRoom* operator->() { return m_room.get(); }

    // "sender: text" for every RoomLine so far.
    QStringList heard() const { return m_heard; }
    QStringList statuses() const { return m_statuses; }
    // What the control told the user through roomTrouble(), and how often
    // it said the room was ready.
    QStringList troubles() const { return m_troubles; }
    int readyCount() const { return m_ready; }
    // What the control said through roomNotice(), and how often its
    // description changed.
    QStringList notices() const { return m_notices; }
    int descriptionChanges() const { return m_descriptionChanges; }
    bool waitForNotice(const QString& part, int timeoutMs = kServerWaitMs);
    int joinCount() const { return m_joins; }

    bool waitForJoin(int joins = 1, int timeoutMs = kServerWaitMs);
    bool waitForHeard(qsizetype count, int timeoutMs = kServerWaitMs);
    bool waitForHeardLine(const QString& line, int timeoutMs = kServerWaitMs);
    bool waitForConfirmed(int timeoutMs = kServerWaitMs);

private:
    std::unique_ptr<IrcRoom> m_room;
    QStringList m_heard;
    QStringList m_statuses;
    QStringList m_troubles;
    QStringList m_notices;
    int m_descriptionChanges = 0;
    int m_ready = 0;
    int m_joins = 0;
};

// Starts `hub` (passive) and `leaf` (active), linked to each other, and
// returns once the link stands.
bool startLinked(IrcTestServer& hub, IrcTestServer& leaf, QString* error);

// A ZNC bouncer with one user, `user`, whose one network is the IRC server
// on `ircPort`, in `channel`. Started like the servers, as a child in the
// foreground; as root it runs as nobody (ZNC waits half a minute before
// running as root).
class ZncBouncer
{
public:
    ZncBouncer(quint16 ircPort, const QString& user, const QString& channel);
    ~ZncBouncer();
    ZncBouncer(const ZncBouncer&) = delete;
    ZncBouncer& operator=(const ZncBouncer&) = delete;

    bool start(QString* error);
    void kill();
    quint16 port() const { return m_port; }
    // What a client gives as server password: "user/network:password".
    QString login() const;
    QString log() const { return QString::fromUtf8(m_log); }

private:
    quint16 m_ircPort;
    QString m_user;
    QString m_channel;
    QTemporaryDir m_dir;
    quint16 m_port = 0;
    QProcess m_process;
    QByteArray m_log;
};

} // namespace svw::test
