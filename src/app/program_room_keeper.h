// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "room_keeper.h"
#include "room_memory.h"

#include <QHash>

namespace svw {

// The program's side of choosing a room: rooms are made by the room factory
// with the user's nick, remembered in the user's configuration, and their
// secrets kept apart from their addresses.
class ProgramRoomKeeper : public RoomKeeper
{
public:
    explicit ProgramRoomKeeper(const RoomMemory& memory);

    // Makes the room the program starts in; a room that came from the
    // argument is remembered like one chosen in the dialog.
    std::unique_ptr<ChatRoomControl> start(const StartRoom& room, QString* error);

    QString currentAddress() const override { return m_current; }
    QStringList recentRooms() const override { return m_memory.recentRooms(); }
    RoomCredentials knownCredentials(const QString& address) const override;
    QString secretsNote() const override;
    std::unique_ptr<ChatRoomControl> enter(const RoomChoice& choice, QString* error) override;

private:
    std::unique_ptr<ChatRoomControl> make(const QString& address,
                                          const RoomCredentials& credentials, QString* error);

    RoomMemory m_memory;
    QString m_current;
    QHash<QString, RoomCredentials> m_secrets; // for this run only
};

} // namespace svw
