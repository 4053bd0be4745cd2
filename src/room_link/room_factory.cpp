// SPDX-License-Identifier: GPL-3.0-or-later
#include "room_factory.h"

#include "irc_address.h"
#include "irc_room_choice.h"
#include "local_room.h"

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

const RoomKind kRoomKinds[] = {
    {"\"local\" (the default) or \"local:NAME\" for a separate room on this machine", isLocalChoice,
     createLocalRoom},
    {"\"irc://[nick[:password]@]host[:port]/#channel[?key=KEY]\" (or ircs://... for TLS) for an "
     "IRC channel",
     isIrcRoomChoice, createIrcRoom},
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
