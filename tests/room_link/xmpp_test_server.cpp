// SPDX-License-Identifier: GPL-3.0-or-later
#include "xmpp_test_server.h"

#include "irc_test_server.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTest>

using namespace Qt::StringLiterals;

namespace svw::test {

XmppTestServer::XmppTestServer() : m_port(freeLocalPort())
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(&m_process, &QProcess::readyRead, [this] { m_log += m_process.readAll(); });
}

XmppTestServer::~XmppTestServer()
{
    kill();
}

bool XmppTestServer::start(QString* error)
{
    if (!m_dir.isValid() || m_port == 0) {
        *error = u"no temporary directory or free port"_s;
        return false;
    }
    if (!QFile::exists(caFile()) &&
        !makeSelfSignedCertificate(m_dir.path(), domain(), u"DNS:localhost,IP:127.0.0.1"_s, error))
        return false;
    const QString dir = m_dir.path();
    // prosody 0.12 enforces a stanza limit but does not advertise it: a
    // module of the test's own says it as newer servers do.
    QString limits;
    if (m_stanzaLimit > 0) {
        QFile module(m_dir.filePath(u"mod_advertised_limits.lua"_s));
        if (!module.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            module.write(R"(local limit = module:get_option_number("c2s_stanza_size_limit");
module:hook("stream-features", function (event)
	event.features:tag("limits", { xmlns = "urn:xmpp:stream-limits:0" })
		:tag("max-bytes"):text(tostring(limit)):up():up();
end);
)") < 0) {
            *error = u"cannot write the limits module"_s;
            return false;
        }
        limits = u"plugin_paths = { \"%1\" }\nc2s_stanza_size_limit = %2\n"_s.arg(dir).arg(
            m_stanzaLimit);
    }
    // Everything that would listen besides client connections is off, so
    // that tests running beside each other do not fight over ports.
    const QString config =
        uR"(run_as_root = true
pidfile = "%1/prosody.pid"
data_path = "%1/data"
log = { info = "*console" }
interfaces = { "127.0.0.1" }
local_interfaces = { "127.0.0.1" }
c2s_ports = { %2 }
c2s_direct_tls_ports = {}
legacy_ssl_ports = {}
s2s_ports = {}
component_ports = {}
http_ports = {}
https_ports = {}
%3modules_enabled = { "roster"; "saslauth"; "tls"; "disco"; "posix"%4 }
modules_disabled = { "s2s"; "offline" }
authentication = "internal_hashed"
storage = "internal"
c2s_require_encryption = true
allow_registration = false
certificates = "%1"
VirtualHost "localhost"
    ssl = { certificate = "%1/localhost-cert.pem"; key = "%1/localhost-key.pem" }
Component "conference.localhost" "muc"
    muc_room_locking = false
    muc_room_default_history_length = 20
)"_s.arg(dir)
            .arg(m_port)
            .arg(limits, limits.isEmpty() ? QString() : u"; \"advertised_limits\""_s);
    QFile file(configFile());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(config.toUtf8()) < 0) {
        *error = u"cannot write "_s + configFile();
        return false;
    }
    file.close();
    m_log.clear();
    m_process.start(u"prosody"_s, {u"-F"_s, u"--config"_s, configFile()});
    if (!m_process.waitForStarted(kXmppWaitMs)) {
        *error = u"prosody did not start: "_s + m_process.errorString();
        return false;
    }
    if (!waitForLog(u"Activated service 'c2s' on [127.0.0.1]"_s, kXmppWaitMs)) {
        *error = u"prosody did not open its port: "_s + log();
        kill();
        return false;
    }
    return true;
}

void XmppTestServer::kill()
{
    killAndWait(m_process);
}

bool XmppTestServer::addAccount(const QString& user, const QString& password, QString* error)
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(u"prosodyctl"_s,
               {u"--config"_s, configFile(), u"register"_s, user, domain(), password});
    if (!tool.waitForFinished(kXmppWaitMs) || tool.exitCode() != 0) {
        *error = u"prosodyctl register failed: "_s + QString::fromLocal8Bit(tool.readAll());
        return false;
    }
    return true;
}

XmppRoomSettings XmppTestServer::roomSettings(const QString& user, const QString& room,
                                              const QString& nick) const
{
    XmppRoomSettings settings;
    settings.accountJid = user + u'@' + domain();
    settings.password = u"pw-"_s + user;
    settings.roomJid = room + u'@' + mucDomain();
    settings.nick = nick.isEmpty() ? user : nick;
    settings.caFile = caFile();
    settings.serverHost = u"127.0.0.1"_s;
    settings.serverPort = m_port;
    settings.reconnectMinMs = 100;
    settings.reconnectMaxMs = 1000;
    settings.kickRejoinMs = 60'000; // a kicked control stays out while the test looks
    return settings;
}

bool XmppTestServer::waitForLog(const QString& text, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (m_log.contains(text.toUtf8()))
            return true;
        m_process.waitForReadyRead(50);
        if (m_process.state() == QProcess::NotRunning)
            return m_log.contains(text.toUtf8());
    }
    return false;
}

RawXmppClient::RawXmppClient() : m_ctx(xmpp_ctx_new(nullptr, nullptr)) {}

RawXmppClient::~RawXmppClient()
{
    if (m_conn) {
        if (m_connected) {
            xmpp_disconnect(m_conn);
            for (int turn = 0; turn < 10 && !xmpp_conn_is_disconnected(m_conn); ++turn)
                xmpp_run_once(m_ctx, 20);
        }
        xmpp_conn_release(m_conn);
    }
    xmpp_ctx_free(m_ctx);
}

void RawXmppClient::onConnection(xmpp_conn_t* /*conn*/, xmpp_conn_event_t event, int /*error*/,
                                 xmpp_stream_error_t* /*streamError*/, void* self)
{
    auto* client = static_cast<RawXmppClient*>(self);
    client->m_connected = event == XMPP_CONN_CONNECT;
    client->m_failed = event != XMPP_CONN_CONNECT;
}

int RawXmppClient::onStanza(xmpp_conn_t* /*conn*/, xmpp_stanza_t* stanza, void* self)
{
    char* buffer = nullptr;
    size_t length = 0;
    if (xmpp_stanza_to_text(stanza, &buffer, &length) == XMPP_EOK) {
        static_cast<RawXmppClient*>(self)->m_received
            << QString::fromUtf8(buffer, qsizetype(length));
        xmpp_free(xmpp_stanza_get_context(stanza), buffer);
    }
    return 1;
}

bool RawXmppClient::connectTo(const XmppTestServer& server, const QString& user)
{
    m_conn = xmpp_conn_new(m_ctx);
    xmpp_conn_set_flags(m_conn, XMPP_CONN_FLAG_MANDATORY_TLS | XMPP_CONN_FLAG_DISABLE_SM);
    xmpp_conn_set_jid(m_conn, (user + u'@' + server.domain() + u"/raw"_s).toUtf8().constData());
    xmpp_conn_set_pass(m_conn, (u"pw-"_s + user).toUtf8().constData());
    xmpp_conn_set_cafile(m_conn, server.caFile().toLocal8Bit().constData());
    xmpp_handler_add(m_conn, &RawXmppClient::onStanza, nullptr, nullptr, nullptr, this);
    if (xmpp_connect_client(m_conn, "127.0.0.1", server.port(), &RawXmppClient::onConnection,
                            this) != XMPP_EOK)
        return false;
    const QDeadlineTimer deadline(kXmppWaitMs);
    while (!m_connected && !m_failed && !deadline.hasExpired())
        runFor(10);
    return m_connected;
}

bool RawXmppClient::join(const QString& roomJid, const QString& nick)
{
    sendRaw(u"<presence to='%1/%2'><x xmlns='http://jabber.org/protocol/muc'/></presence>"_s.arg(
        roomJid, nick));
    return !waitFor(u"<status code=\"110\"/>"_s).isEmpty();
}

void RawXmppClient::sendRaw(const QString& xml)
{
    const QByteArray bytes = xml.toUtf8();
    xmpp_send_raw(m_conn, bytes.constData(), size_t(bytes.size()));
    xmpp_run_once(m_ctx, 0);
}

void RawXmppClient::say(const QString& roomJid, const QString& text)
{
    xmpp_stanza_t* message =
        xmpp_message_new(m_ctx, "groupchat", roomJid.toUtf8().constData(), nullptr);
    xmpp_message_set_body(message, text.toUtf8().constData());
    xmpp_send(m_conn, message);
    xmpp_stanza_release(message);
    xmpp_run_once(m_ctx, 0);
}

QString RawXmppClient::waitFor(const QString& part, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    qsizetype seen = 0;
    do {
        for (; seen < m_received.size(); ++seen) {
            if (m_received.at(seen).contains(part))
                return m_received.at(seen);
        }
        runFor(10);
    } while (!deadline.hasExpired());
    return QString();
}

void RawXmppClient::runFor(int ms)
{
    // The control under test lives in this thread's Qt event loop.
    xmpp_run_once(m_ctx, 1);
    QTest::qWait(ms);
    xmpp_run_once(m_ctx, 1);
}

} // namespace svw::test
