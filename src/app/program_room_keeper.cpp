// SPDX-License-Identifier: GPL-3.0-or-later
#include "program_room_keeper.h"

#include <cstdio>

namespace svw {

ProgramRoomKeeper::ProgramRoomKeeper(const RoomMemory& memory) : m_memory(memory) {}

std::unique_ptr<ChatRoomControl>
ProgramRoomKeeper::make(const QString& address, const RoomCredentials& credentials, QString* error)
{
    std::unique_ptr<ChatRoomControl> room =
        createChatRoomControl(address, defaultNick(), credentials, error);
    if (!room)
        return nullptr;
    // The window tells only of trouble; every step of the room goes to a
    // terminal, where someone looking into a room that does not answer looks.
    QObject::connect(room.get(), &ChatRoomControl::statusChanged, [](const QString& status) {
        std::fprintf(stderr, "svw: %s\n", qUtf8Printable(status));
    });
    m_current = address;
    return room;
}

std::unique_ptr<ChatRoomControl> ProgramRoomKeeper::start(const StartRoom& room, QString* error)
{
    std::unique_ptr<ChatRoomControl> made =
        make(room.address, knownCredentials(room.address), error);
    if (made && room.from == StartRoom::From::Argument)
        m_memory.remember(room.address);
    return made;
}

RoomCredentials ProgramRoomKeeper::knownCredentials(const QString& address) const
{
    return m_secrets.value(address);
}

QString ProgramRoomKeeper::secretsNote() const
{
    return QStringLiteral("Passwords typed here are kept in memory only, until the program ends: "
                          "they are never written to the configuration.");
}

std::unique_ptr<ChatRoomControl> ProgramRoomKeeper::enter(const RoomChoice& choice, QString* error)
{
    std::unique_ptr<ChatRoomControl> room = make(choice.address, choice.credentials, error);
    if (!room)
        return nullptr;
    m_secrets.insert(choice.address, choice.credentials);
    m_memory.remember(choice.address);
    return room;
}

} // namespace svw
