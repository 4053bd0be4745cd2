// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "room_keeper.h"
#include "room_memory.h"
#include "room_secrets.h"

#include <QHash>

#include <functional>
#include <optional>

namespace svw {

// The program's side of choosing a room: rooms are made by the room factory
// with the user's nick, remembered in the user's configuration, and their
// secrets kept in the desktop's keyring, apart from their addresses. With no
// keyring the secrets stay in memory for the run, and a remembered room's
// are asked for again at the next start.
class ProgramRoomKeeper : public RoomKeeper
{
public:
    // Asks the user for one secret (`question` names it and its room);
    // nothing when the user declines.
    using Asker = std::function<std::optional<QString>(const QString& question)>;

    ProgramRoomKeeper(const RoomMemory& memory, RoomSecrets* secrets, Asker ask);

    // Makes the room the program starts in, with the secrets it needs; a
    // room that came from the argument is remembered like one chosen in
    // the dialog.
    std::unique_ptr<ChatRoomControl> start(const StartRoom& room, QString* error);

    QString currentAddress() const override { return m_current; }
    QStringList recentRooms() const override { return m_memory.recentRooms(); }
    RoomCredentials knownCredentials(const QString& address) const override;
    QString secretsNote() const override;
    std::unique_ptr<ChatRoomControl> enter(const RoomChoice& choice, QString* error) override;

private:
    // Makes the room; a password the room needs and `credentials` lack is
    // asked for first and added to them.
    std::unique_ptr<ChatRoomControl> make(const QString& address, RoomCredentials& credentials,
                                          QString* error);
    RoomCredentials secretsFor(const QString& address);

    RoomMemory m_memory;
    RoomSecrets* m_secrets;
    Asker m_ask;
    QString m_current;
    QHash<QString, RoomCredentials> m_known; // for this run only
};

} // namespace svw
