// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "chat_room_control.h"
#include "room_factory.h"

#include <QString>
#include <QStringList>

#include <memory>

namespace svw {

// A room the user chose in the room dialog: its address as it may be shown,
// copied and remembered, and apart from it the secrets it needs.
struct RoomChoice
{
    QString address;
    RoomCredentials credentials;
};

// What the chat window needs from the program to let the user choose a
// room: which room it is in, the rooms chosen before, the secrets already
// known, and making the control of a chosen room. The program provides it;
// the window only asks.
class RoomKeeper
{
public:
    virtual ~RoomKeeper() = default;

    // The address of the room the window is in now.
    virtual QString currentAddress() const = 0;

    // The rooms entered before, most recent first, each once.
    virtual QStringList recentRooms() const = 0;

    // The secrets kept for `address`, as far as they are known.
    virtual RoomCredentials knownCredentials(const QString& address) const = 0;

    // One sentence for the dialog: where passwords typed there are kept.
    virtual QString secretsNote() const = 0;

    // Makes the control of the room `choice` names and remembers the choice
    // as the last room; nullptr with `error` a sentence for the user when
    // the room cannot be used.
    virtual std::unique_ptr<ChatRoomControl> enter(const RoomChoice& choice, QString* error) = 0;
};

} // namespace svw
