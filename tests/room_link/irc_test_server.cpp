// SPDX-License-Identifier: GPL-3.0-or-later
#include "irc_test_server.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTest>

#include <pwd.h>
#include <unistd.h>

namespace svw::test {

namespace {

bool writeFile(const QString& path, const QString& text)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(text.toUtf8()) >= 0;
}

bool runTool(const QString& program, const QStringList& arguments, QString* error)
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(program, arguments);
    if (!tool.waitForFinished(kServerWaitMs) || tool.exitStatus() != QProcess::NormalExit ||
        tool.exitCode() != 0) {
        if (error) {
            *error = QStringLiteral("%1 failed: %2")
                         .arg(program, QString::fromLocal8Bit(tool.readAll()));
        }
        if (tool.state() != QProcess::NotRunning) {
            tool.kill();
            tool.waitForFinished();
        }
        return false;
    }
    return true;
}

} // namespace

quint16 freeLocalPort()
{
    // Not a port the kernel picks (32768 and up on Linux): between this probe
    // and the server's own bind, any connection of any test running beside
    // this one could be given a picked port as its source, and the server
    // would then fail to start, or fail to come back on its port after a kill.
    constexpr quint16 kFirst = 20000, kCount = 12000;
    for (int attempt = 0; attempt < 64; ++attempt) {
        const auto port = quint16(kFirst + QRandomGenerator::global()->bounded(kCount));
        QTcpServer probe;
        if (probe.listen(QHostAddress::LocalHost, port))
            return port;
    }
    return 0;
}

bool waitForListening(const QProcess& process, quint16 port, const QString& what,
                      const std::function<QString()>& log, QString* error)
{
    const QDeadlineTimer deadline(kServerWaitMs);
    while (!deadline.hasExpired()) {
        if (process.state() != QProcess::Running) {
            *error = what + " ended: " + log();
            return false;
        }
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        if (probe.waitForConnected(200)) {
            probe.abort();
            return true;
        }
        QTest::qWait(50);
    }
    *error = what + " does not take connections: " + log();
    return false;
}

void killAndWait(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.kill();
    process.waitForFinished(kServerWaitMs);
}

std::optional<TlsFiles> makeSelfSignedCertificate(const QString& dir, const QString& name,
                                                  const QString& subjectAltName, QString* error)
{
    TlsFiles files{dir + "/" + name + "-cert.pem", dir + "/" + name + "-key.pem",
                   dir + "/" + name + "-dh.pem"};
    if (!runTool("openssl",
                 {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", files.keyFile, "-out",
                  files.certFile, "-days", "2", "-subj", "/CN=" + name, "-addext",
                  "subjectAltName=" + subjectAltName},
                 error))
        return std::nullopt;
    if (!runTool("openssl",
                 {"genpkey", "-genparam", "-algorithm", "DH", "-pkeyopt", "group:ffdhe2048", "-out",
                  files.dhFile},
                 error))
        return std::nullopt;
    return files;
}

IrcTestServer::IrcTestServer(Kind kind, const QString& name)
    : m_kind(kind), m_name(name), m_port(freeLocalPort())
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(&m_process, &QProcess::readyRead, [this] { m_log += m_process.readAll(); });
}

IrcTestServer::~IrcTestServer()
{
    kill();
}

void IrcTestServer::enableTls(const TlsFiles& files)
{
    m_tls = files;
    m_tlsPort = freeLocalPort();
}

void IrcTestServer::linkTo(const IrcTestServer& peer, bool passive)
{
    // Each side's MyPassword is the other side's PeerPassword.
    const QString mine = "pw-" + m_name;
    const QString theirs = "pw-" + peer.m_name;
    m_link = Link{peer.m_name, peer.m_port, mine, theirs, passive};
}

QString IrcTestServer::ngircdConfig() const
{
    QString config = QStringLiteral("[Global]\n"
                                    "Name = %1\n"
                                    "Info = SVW test server\n"
                                    "Listen = 127.0.0.1\n"
                                    "Ports = %2\n"
                                    "MotdPhrase = \"SVW test server\"\n"
                                    "IncludeDir = %3\n"
                                    "[Limits]\n"
                                    "MaxConnectionsIP = 0\n"
                                    "PingTimeout = 120\n"
                                    "PongTimeout = 20\n")
                         .arg(m_name)
                         .arg(m_port)
                         .arg(m_dir.filePath("conf.d"));
    if (m_floodPenaltyOff)
        config += "MaxPenaltyTime = 0\n";
    if (!m_serverPassword.isEmpty())
        config.replace("[Limits]\n", "Password = " + m_serverPassword + "\n[Limits]\n");
    config += "[Options]\nPAM = no\nIdent = no\nDNS = no\n";
    if (m_tls) {
        config += QStringLiteral("[SSL]\nCertFile = %1\nKeyFile = %2\nDHFile = %3\nPorts = %4\n")
                      .arg(m_tls->certFile, m_tls->keyFile, m_tls->dhFile)
                      .arg(m_tlsPort);
    }
    if (m_link) {
        config +=
            QStringLiteral("[Server]\nName = %1\nHost = 127.0.0.1\nPort = %2\n"
                           "MyPassword = %3\nPeerPassword = %4\nPassive = %5\n")
                .arg(m_link->peerName)
                .arg(m_link->peerPort)
                .arg(m_link->myPassword, m_link->peerPassword, m_link->passive ? "yes" : "no");
    }
    return config;
}

void IrcTestServer::enableServices()
{
    m_servicesPort = freeLocalPort();
}

QString IrcTestServer::inspircdConfig() const
{
    // threshold="0" would throw clients out at once; fakelag off keeps the
    // tests quick. The first member of a channel is its operator ("o"), as
    // on real networks.
    QString config =
        QStringLiteral(
            "<config format=\"xml\">\n"
            "<server name=\"%1\" description=\"SVW test server\" network=\"SvwTest\">\n"
            "<admin name=\"test\" nick=\"test\" email=\"test@localhost\">\n"
            "<bind address=\"127.0.0.1\" port=\"%2\" type=\"clients\">\n"
            "<connect name=\"main\" allow=\"*\" timeout=\"20\" pingfreq=\"120\" %4"
            "sendq=\"1048576\" recvq=\"65536\" threshold=\"1000\" commandrate=\"100000\" "
            "fakelag=\"off\" localmax=\"1000\" globalmax=\"1000\" maxchans=\"20\" "
            "limit=\"5000\" resolvehostnames=\"no\" useident=\"no\">\n"
            "<files motd=\"%3\">\n"
            "<dns server=\"127.0.0.1\" timeout=\"1\">\n"
            "<options defaultmodes=\"not\">\n"
            "<module name=\"cap\">\n"
            "%5")
            .arg(m_name)
            .arg(m_port)
            .arg(m_dir.filePath("motd"),
                 m_serverPassword.isEmpty()
                     ? QString()
                     : QStringLiteral("password=\"%1\" ").arg(m_serverPassword),
                 m_echoMessage ? QStringLiteral("<module name=\"ircv3_echomessage\">\n")
                               : QString());
    if (m_tls) {
        config += QStringLiteral("<module name=\"ssl_gnutls\">\n"
                                 "<sslprofile name=\"clients\" provider=\"gnutls\" "
                                 "certfile=\"%1\" keyfile=\"%2\" dhfile=\"%3\" "
                                 "requestclientcert=\"yes\" hash=\"sha256\">\n"
                                 "<bind address=\"127.0.0.1\" port=\"%4\" type=\"clients\" "
                                 "sslprofile=\"clients\">\n")
                      .arg(m_tls->certFile, m_tls->keyFile, m_tls->dhFile)
                      .arg(m_tlsPort);
    }
    if (m_servicesPort != 0) {
        config +=
            QStringLiteral("<bind address=\"127.0.0.1\" port=\"%1\" type=\"servers\">\n"
                           "<module name=\"spanningtree\">\n<module name=\"sasl\">\n"
                           "<module name=\"services_account\">\n<module name=\"sslinfo\">\n"
                           "<module name=\"sanick\">\n"
                           "<link name=\"services.test\" ipaddr=\"127.0.0.1\" port=\"%1\" "
                           "allowmask=\"127.0.0.0/8\" sendpass=\"linkpw\" recvpass=\"linkpw\">\n"
                           "<uline server=\"services.test\" silent=\"yes\">\n"
                           "<sasl target=\"services.test\" requiressl=\"no\">\n"
                           "<class name=\"all\" commands=\"*\" privs=\"*\" usermodes=\"*\" "
                           "chanmodes=\"*\">\n"
                           "<type name=\"admin\" classes=\"all\">\n"
                           "<oper name=\"oper\" password=\"operpw\" host=\"*@*\" type=\"admin\">\n")
                .arg(m_servicesPort);
    }
    return config;
}

bool IrcTestServer::start(QString* error)
{
    if (!m_dir.isValid() || m_port == 0) {
        *error = "no temporary directory or free port";
        return false;
    }
    m_log.clear();
    if (m_kind == Kind::Ngircd) {
        const QString configFile = m_dir.filePath("ngircd.conf");
        QDir(m_dir.path()).mkpath("conf.d");
        if (!writeFile(configFile, ngircdConfig())) {
            *error = "cannot write " + configFile;
            return false;
        }
        m_process.start("ngircd", {"-n", "-f", configFile});
    } else {
        const QString configFile = m_dir.filePath("inspircd.conf");
        if (!writeFile(m_dir.filePath("motd"), "SVW test server\n") ||
            !writeFile(configFile, inspircdConfig())) {
            *error = "cannot write " + configFile;
            return false;
        }
        m_process.start("inspircd",
                        {"--nofork", "--nopid", "--runasroot", "--config=" + configFile});
    }
    if (!m_process.waitForStarted(kServerWaitMs)) {
        *error = "cannot start the IRC server: " + m_process.errorString();
        return false;
    }
    return waitForPort(error);
}

bool IrcTestServer::waitForPort(QString* error)
{
    return waitForListening(
        m_process, m_port, "the IRC server", [this] { return log(); }, error);
}

void IrcTestServer::kill()
{
    killAndWait(m_process);
}

bool IrcTestServer::isRunning() const
{
    return m_process.state() == QProcess::Running;
}

bool IrcTestServer::waitForLog(const QString& text, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        m_log += m_process.readAll();
        for (const QByteArray& line : m_log.split('\n')) {
            if (QString::fromUtf8(line).contains(text))
                return true;
        }
        QTest::qWait(50);
    }
    return false;
}

IrcTestServices::IrcTestServices(const IrcTestServer& server)
    : m_serverName(server.name()), m_port(server.servicesPort())
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(&m_process, &QProcess::readyRead, [this] { m_log += m_process.readAll(); });
}

IrcTestServices::~IrcTestServices()
{
    kill();
}

QString IrcTestServices::config() const
{
    // Only what the tests use: accounts, certificates tied to them, and
    // SASL. No flood limits, so the tests may register at once.
    QString modules;
    for (const char* module :
         {"protocol/inspircd", "backend/opensex", "crypto/pbkdf2v2", "nickserv/main",
          "nickserv/identify", "nickserv/register", "nickserv/cert", "saslserv/main",
          "saslserv/plain", "saslserv/external"})
        modules += QStringLiteral("loadmodule \"modules/%1\";\n").arg(QLatin1String(module));
    return modules +
           QStringLiteral("pbkdf2v2 { };\n"
                          "serverinfo {\n name = \"services.test\"; desc = \"SVW test services\";\n"
                          " numeric = \"00A\"; recontime = 1; netname = \"SvwTest\";\n"
                          " hidehostsuffix = \"users.test\"; adminname = \"test\";\n"
                          " adminemail = \"test@localhost\"; registeremail = \"test@localhost\";\n"
                          " mta = \"/bin/false\"; loglevel = { error; info; network; };\n"
                          " maxlogins = 5; maxusers = 5; mdlimit = 30; emaillimit = 10;\n"
                          " emailtime = 300; auth = none; casemapping = rfc1459;\n};\n"
                          "uplink \"%1\" {\n host = \"127.0.0.1\"; port = %2;\n"
                          " send_password = \"linkpw\"; receive_password = \"linkpw\";\n};\n"
                          "nickserv {\n nick = \"NickServ\"; user = \"NickServ\";\n"
                          " host = \"services.test\"; real = \"Nickname Services\";\n"
                          " maxnicks = 5; expire = 30;\n};\n"
                          "saslserv {\n nick = \"SaslServ\"; user = \"SaslServ\";\n"
                          " host = \"services.test\"; real = \"SASL\";\n};\n"
                          "general {\n flood_msgs = 0; flood_time = 10; ratelimit_uses = 0;\n"
                          " ratelimit_period = 60; kline_time = 7; clone_time = 0;\n"
                          " commit_interval = 5; uplink_sendq_limit = 1048576;\n"
                          " language = \"en\";\n};\n")
               .arg(m_serverName)
               .arg(m_port);
}

bool IrcTestServices::start(QString* error)
{
    if (!m_dir.isValid() || m_port == 0) {
        *error = "no temporary directory, or the server has no services port";
        return false;
    }
    const QString configFile = m_dir.filePath("atheme.conf");
    if (!writeFile(configFile, config())) {
        *error = "cannot write " + configFile;
        return false;
    }
    m_log.clear();
    m_process.start("atheme-services",
                    {"-n", "-c", configFile, "-D", m_dir.path(), "-p", m_dir.filePath("atheme.pid"),
                     "-l", m_dir.filePath("atheme.log")});
    if (!m_process.waitForStarted(kServerWaitMs)) {
        *error = "cannot start atheme-services: " + m_process.errorString();
        return false;
    }
    const QDeadlineTimer deadline(kServerWaitMs);
    while (!deadline.hasExpired()) {
        m_log += m_process.readAll();
        if (m_log.contains("finished synching with uplink"))
            return true;
        if (m_process.state() != QProcess::Running) {
            *error = "atheme-services ended: " + log();
            return false;
        }
        QTest::qWait(50);
    }
    *error = "atheme-services did not link: " + log();
    return false;
}

void IrcTestServices::kill()
{
    killAndWait(m_process);
}

bool RawIrcClient::connectAndJoin(quint16 port, const QByteArray& nick, const QByteArray& channel)
{
    QObject::connect(&m_socket, &QTcpSocket::readyRead, [this] { readAvailable(); });
    m_socket.connectToHost(QHostAddress::LocalHost, port);
    if (!m_socket.waitForConnected(kServerWaitMs))
        return false;
    send("NICK " + nick);
    send("USER raw 0 * :raw client");
    if (!waitForLine(" 001 "))
        return false;
    if (channel.isEmpty())
        return true;
    send("JOIN " + channel);
    return waitForLine(" JOIN ").has_value() && waitForLine(" 366 ").has_value();
}

void RawIrcClient::send(const QByteArray& line)
{
    m_socket.write(line + "\r\n");
    m_socket.flush();
}

std::optional<QByteArray> RawIrcClient::waitForLine(const QByteArray& part, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (true) {
        for (qsizetype i = m_seen; i < m_lines.size(); ++i) {
            if (m_lines[i].contains(part)) {
                m_seen = i + 1;
                return m_lines[i];
            }
        }
        if (deadline.hasExpired())
            return std::nullopt;
        QTest::qWait(20);
    }
}

void RawIrcClient::readAvailable()
{
    m_buffer += m_socket.readAll();
    qsizetype end;
    while ((end = m_buffer.indexOf('\n')) >= 0) {
        QByteArray line = m_buffer.left(end);
        m_buffer.remove(0, end + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.startsWith("PING "))
            send("PONG " + line.mid(5));
        m_lines.append(line);
    }
}

IrcRoomSettings testRoomSettings(quint16 port, const QString& nick, const QString& channel)
{
    IrcRoomSettings settings;
    settings.address.host = QStringLiteral("127.0.0.1");
    settings.address.port = port;
    settings.address.nick = nick;
    settings.address.channel = channel;
    settings.pacing = IrcPacing::unlimited();
    settings.reconnectMinMs = 100;
    settings.reconnectMaxMs = 800;
    return settings;
}

WatchedRoom::WatchedRoom(const IrcRoomSettings& settings)
    : m_room(std::make_unique<IrcRoom>(settings))
{
    QObject::connect(m_room.get(), &ChatRoomControl::RoomLine,
                     [this](const QString& sender, const QString& text) {
                         m_heard.append(sender + ": " + text);
                     });
    QObject::connect(m_room.get(), &ChatRoomControl::statusChanged,
                     [this](const QString& status) { m_statuses.append(status); });
    QObject::connect(m_room.get(), &ChatRoomControl::roomTrouble,
                     [this](const QString& why) { m_troubles.append(why); });
    QObject::connect(m_room.get(), &ChatRoomControl::roomReady, [this] { ++m_ready; });
    QObject::connect(m_room.get(), &ChatRoomControl::roomNotice,
                     [this](const QString& text) { m_notices.append(text); });
    QObject::connect(m_room.get(), &ChatRoomControl::roomDescriptionChanged,
                     [this] { ++m_descriptionChanges; });
    QObject::connect(m_room.get(), &IrcRoom::joined, [this] { ++m_joins; });
    m_room->StartRoomScan();
}

bool WatchedRoom::waitForJoin(int joins, int timeoutMs)
{
    return QTest::qWaitFor([&] { return m_joins >= joins && m_room->isJoined(); }, timeoutMs);
}

bool WatchedRoom::waitForHeard(qsizetype count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return m_heard.size() >= count; }, timeoutMs);
}

bool WatchedRoom::waitForHeardLine(const QString& line, int timeoutMs)
{
    return QTest::qWaitFor([&] { return m_heard.contains(line); }, timeoutMs);
}

bool WatchedRoom::waitForNotice(const QString& part, int timeoutMs)
{
    return QTest::qWaitFor(
        [&] {
            return std::any_of(m_notices.cbegin(), m_notices.cend(),
                               [&](const QString& notice) { return notice.contains(part); });
        },
        timeoutMs);
}

bool WatchedRoom::waitForConfirmed(int timeoutMs)
{
    return QTest::qWaitFor([&] { return m_room->unconfirmedLines() == 0; }, timeoutMs);
}

bool startLinked(IrcTestServer& hub, IrcTestServer& leaf, QString* error)
{
    hub.linkTo(leaf, true);
    leaf.linkTo(hub, false);
    if (!hub.start(error) || !leaf.start(error))
        return false;
    // "unregistered" contains "registered": look for the whole phrase.
    if (leaf.waitForLog(QStringLiteral("Server \"%1\" registered").arg(hub.name())))
        return true;
    *error = "the servers did not link: " + leaf.log();
    return false;
}

ZncBouncer::ZncBouncer(quint16 ircPort, const QString& user, const QString& channel)
    : m_ircPort(ircPort), m_user(user), m_channel(channel), m_port(freeLocalPort())
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(&m_process, &QProcess::readyRead, [this] { m_log += m_process.readAll(); });
}

ZncBouncer::~ZncBouncer()
{
    kill();
}

QString ZncBouncer::login() const
{
    return m_user + QStringLiteral("/test:secret");
}

bool ZncBouncer::start(QString* error)
{
    if (!m_dir.isValid() || m_port == 0) {
        *error = "no temporary directory or free port";
        return false;
    }
    const QString config =
        QStringLiteral("Version = 1.8.2\n"
                       "<Listener l>\n  Port = %1\n  IPv4 = true\n  IPv6 = false\n  SSL = false\n"
                       "  Host = 127.0.0.1\n</Listener>\n"
                       "<User %2>\n  <Pass password>\n    Method = plain\n    Hash = secret\n"
                       "  </Pass>\n  Nick = %2\n  AltNick = %2_\n  Ident = %2\n  RealName = %2\n"
                       "  <Network test>\n    Server = 127.0.0.1 %3\n    <Chan %4>\n    </Chan>\n"
                       "  </Network>\n</User>\n")
            .arg(m_port)
            .arg(m_user)
            .arg(m_ircPort)
            .arg(m_channel);
    QDir(m_dir.path()).mkpath("configs");
    if (!writeFile(m_dir.filePath("configs/znc.conf"), config)) {
        *error = "cannot write the ZNC configuration";
        return false;
    }
    QStringList arguments{"--foreground", "--datadir", m_dir.path()};
    QString program = "znc";
    if (::geteuid() == 0) {
        const passwd* nobody = ::getpwnam("nobody");
        if (!nobody) {
            *error = "no user nobody to run ZNC as";
            return false;
        }
        for (const QString& path :
             {m_dir.path(), m_dir.filePath("configs"), m_dir.filePath("configs/znc.conf")}) {
            if (::chown(QFile::encodeName(path).constData(), nobody->pw_uid, nobody->pw_gid) != 0) {
                *error = "cannot give " + path + " to nobody";
                return false;
            }
        }
        arguments =
            QStringList{"--reuid=" + QString::number(nobody->pw_uid),
                        "--regid=" + QString::number(nobody->pw_gid), "--clear-groups", program} +
            arguments;
        program = "setpriv";
    }
    m_process.start(program, arguments);
    if (!m_process.waitForStarted(kServerWaitMs)) {
        *error = "cannot start ZNC: " + m_process.errorString();
        return false;
    }
    return waitForListening(
        m_process, m_port, "ZNC", [this] { return log(); }, error);
}

void ZncBouncer::kill()
{
    killAndWait(m_process);
}

} // namespace svw::test
