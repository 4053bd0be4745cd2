// SPDX-License-Identifier: GPL-3.0-or-later
#include "room_factory.h"

#include "irc_address.h"
#include "irc_room_choice.h"
#include "local_room.h"
#include "xmpp_address.h"
#include "xmpp_room.h"

#include <QFileInfo>
#include <QStringList>

#include <pwd.h>
#include <unistd.h>

namespace svw {

namespace {

// One kind of room that SVW_ROOM can name. A new kind is one more entry in
// kRoomKinds: what its choices look like, and how to make its control.
struct RoomKind
{
    const char* usage; // how a user writes it, for the message on a bad choice
    bool (*matches)(const QString& choice);
    std::unique_ptr<ChatRoomControl> (*create)(const QString& choice, const QString& nick,
                                               const RoomCredentials& credentials, QString* error);
};

const QString kLocalPrefix = QStringLiteral("local:");

bool isLocalChoice(const QString& choice)
{
    return choice.isEmpty() || choice == QLatin1String("local") || choice.startsWith(kLocalPrefix);
}

std::unique_ptr<ChatRoomControl> createLocalRoom(const QString& choice, const QString& nick,
                                                 const RoomCredentials& /*credentials*/,
                                                 QString* error)
{
    const QString name = choice.startsWith(kLocalPrefix) ? choice.mid(kLocalPrefix.size())
                                                         : LocalRoom::defaultName();
    if (!LocalRoom::isValidName(name)) {
        *error = QStringLiteral("SVW_ROOM is \"%1\", but a local room's name must be 1 to 64 "
                                "letters, digits, '-', '_' or '.', as in \"local:friends\".")
                     .arg(choice);
        return nullptr;
    }
    auto room = std::make_unique<LocalRoom>(nick, name);
    if (room->state() == LocalRoom::State::Unavailable) {
        *error = room->errorString();
        return nullptr;
    }
    return room;
}

// The XMPP account the room dialog gave, else SVW_XMPP_JID.
QString xmppAccount(const RoomCredentials& credentials)
{
    const QString given = credentials.saslAccount.trimmed();
    return given.isEmpty() ? qEnvironmentVariable("SVW_XMPP_JID").trimmed() : given;
}

QString xmppPassword(const RoomCredentials& credentials)
{
    return credentials.saslPassword.isEmpty() ? qEnvironmentVariable("SVW_XMPP_PASSWORD")
                                              : credentials.saslPassword;
}

// An XMPP room: the account, its password, the server and the nick come
// from the room dialog (`credentials`: the fields that hold an IRC SASL
// account and password hold the XMPP account and its password, both being
// "the account we log in with"), else from the environment; the nick last
// of all from the account's local part.
std::unique_ptr<ChatRoomControl> createXmppRoom(const QString& choice, const QString& /*nick*/,
                                                const RoomCredentials& credentials, QString* error)
{
    XmppRoomSettings settings;
    settings.roomJid = xmppRoomFromChoice(choice, error);
    if (settings.roomJid.isEmpty())
        return nullptr;
    settings.accountJid = xmppAccount(credentials);
    if (!isXmppAccountJid(settings.accountJid)) {
        *error =
            QStringLiteral("An XMPP room needs the account to log in with: give it in the "
                           "room dialog or set SVW_XMPP_JID to it, as in \"ann@example.org\".");
        return nullptr;
    }
    settings.password = xmppPassword(credentials);
    if (settings.password.isEmpty()) {
        *error = QStringLiteral("The XMPP account %1 needs its password: give it in the room "
                                "dialog or set SVW_XMPP_PASSWORD.")
                     .arg(settings.accountJid);
        return nullptr;
    }
    QString chosenNick = credentials.nick.trimmed();
    if (chosenNick.isEmpty())
        chosenNick = qEnvironmentVariable("SVW_NICK").trimmed();
    settings.nick = chosenNick.isEmpty()
                        ? settings.accountJid.left(settings.accountJid.indexOf(u'@'))
                        : chosenNick;
    settings.caFile = qEnvironmentVariable("SVW_XMPP_CAFILE");
    // libstrophe fails every TLS handshake on a CA file it cannot load,
    // which would look like a server out of reach: say so now.
    if (!settings.caFile.isEmpty() && !QFileInfo(settings.caFile).isReadable()) {
        *error =
            QStringLiteral("SVW_XMPP_CAFILE is \"%1\", which cannot be read.").arg(settings.caFile);
        return nullptr;
    }
    // "host[:port]" of the server when the account's domain does not lead
    // to it (no SRV record, a test server).
    const bool serverGiven = !credentials.server.trimmed().isEmpty();
    const QString server = serverGiven ? credentials.server.trimmed()
                                       : qEnvironmentVariable("SVW_XMPP_SERVER").trimmed();
    if (!server.isEmpty() && !readXmppServer(server, &settings.serverHost, &settings.serverPort)) {
        *error = QStringLiteral("%1 is \"%2\", but it must be \"host\" or \"host:port\".")
                     .arg(serverGiven ? QStringLiteral("The XMPP server")
                                      : QStringLiteral("SVW_XMPP_SERVER"),
                          server);
        return nullptr;
    }
    return std::make_unique<XmppRoom>(settings);
}

const RoomKind kRoomKinds[] = {
    {"\"local\" (the default) or \"local:NAME\" for a separate room on this machine", isLocalChoice,
     createLocalRoom},
    {"\"irc://[nick[:password]@]host[:port]/#channel[?key=KEY]\" (or ircs://... for TLS) for an "
     "IRC channel",
     isIrcRoomChoice, createIrcRoom},
    {"\"xmpp:room@conference.example.org?join\" (with SVW_XMPP_JID) for an XMPP group chat",
     isXmppRoomChoice, createXmppRoom},
};

} // namespace

QString defaultNick()
{
    QString chosen = qEnvironmentVariable("SVW_NICK");
    if (!chosen.trimmed().isEmpty())
        return chosen;
    if (const passwd* user = ::getpwuid(::geteuid()); user && user->pw_name && *user->pw_name)
        return QString::fromLocal8Bit(user->pw_name);
    const QString login = qEnvironmentVariable("USER");
    return login.isEmpty() ? QStringLiteral("uid%1").arg(::geteuid()) : login;
}

std::unique_ptr<ChatRoomControl> createChatRoomControl(const QString& choice, const QString& nick,
                                                       QString* error)
{
    return createChatRoomControl(choice, nick, RoomCredentials(), error);
}

RoomCredentials accountFromEnvironment(const QString& choice)
{
    RoomCredentials found;
    if (!isXmppRoomChoice(choice))
        return found;
    found.saslAccount = qEnvironmentVariable("SVW_XMPP_JID").trimmed();
    found.server = qEnvironmentVariable("SVW_XMPP_SERVER").trimmed();
    found.nick = qEnvironmentVariable("SVW_NICK").trimmed();
    return found;
}

bool findsOwnPassword(const QString& choice)
{
    return isXmppRoomChoice(choice);
}

QString accountLackingPassword(const QString& choice, const RoomCredentials& credentials)
{
    if (!findsOwnPassword(choice) || !xmppPassword(credentials).isEmpty())
        return {};
    const QString account = xmppAccount(credentials);
    return isXmppAccountJid(account) ? account : QString();
}

std::unique_ptr<ChatRoomControl> createChatRoomControl(const QString& choice, const QString& nick,
                                                       const RoomCredentials& credentials,
                                                       QString* error)
{
    QStringList usages;
    for (const RoomKind& kind : kRoomKinds) {
        if (kind.matches(choice))
            return kind.create(choice, nick, credentials, error);
        usages << QString::fromUtf8(kind.usage);
    }
    *error = QStringLiteral("SVW_ROOM is \"%1\", which names no room this program knows. "
                            "Use %2.")
                 .arg(choice, usages.join(QStringLiteral(", or ")));
    return nullptr;
}

} // namespace svw
