// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "chat_room_control.h"
#include "room_factory.h"

#include <QString>

#include <memory>

namespace svw {

// Builds the IRC room that SVW_ROOM names (irc://... or ircs://...), with the
// trusted certificates of SVW_IRC_CAFILE added to the system's. `nick` is the
// nick to use when the address names none. Returns nullptr with `error` a
// sentence for the user when the address or the certificate file is bad.
// `credentials` carries what the address does not: a server password that
// wins over the address's, and the account for SASL.
std::unique_ptr<ChatRoomControl> createIrcRoom(const QString& choice, const QString& nick,
                                               const RoomCredentials& credentials, QString* error);

} // namespace svw
