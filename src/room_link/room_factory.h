// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "chat_room_control.h"

#include <QString>

#include <memory>

namespace svw {

// The name this user's lines carry in a room: SVW_NICK when it is set and not
// blank, else the user's login name.
QString defaultNick();

// Makes the room control that `choice` (the value of SVW_ROOM) names:
//   empty or "local"   the default local room of this user on this machine;
//   "local:NAME"       a separate local room called NAME.
//   "irc://[nick[:password]@]host[:port]/#channel" an IRC channel, and
//   "ircs://..."       the same over TLS (see irc_room_choice.h).
// Returns nullptr, with *error a sentence for the user, when the choice is
// not understood or its room cannot be used at all.
std::unique_ptr<ChatRoomControl> createChatRoomControl(const QString& choice, const QString& nick,
                                                       QString* error);

} // namespace svw
