// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "chat_room_control.h"

#include <QString>

#include <memory>

namespace svw {

// The name this user's lines carry in a room: SVW_NICK when it is set and not
// blank, else the user's login name.
QString defaultNick();

// What a room needs besides its address, and what never goes into an address
// that is shown, copied or remembered: the secrets the user gave in the room
// dialog or the keyring holds. A field left empty means "none given".
struct RoomCredentials
{
    QString serverPassword;    // IRC: the server password (PASS); wins over one in the address
    QString saslAccount;       // IRC: the account to identify as with SASL PLAIN
    QString saslPassword;      // IRC: its password; XMPP: the account's password
    QString clientCertificate; // IRC: a PEM file with certificate and key, for SASL EXTERNAL
};

// Makes the room control that `choice` (the value of SVW_ROOM) names:
//   empty or "local"   the default local room of this user on this machine;
//   "local:NAME"       a separate local room called NAME.
//   "irc://[nick[:password]@]host[:port]/#channel[?key=KEY]" an IRC channel, and
//   "ircs://..."       the same over TLS (see irc_room_choice.h).
//   "xmpp:room@conference.example.org?join" an XMPP group chat (see xmpp_room.h).
// Returns nullptr, with *error a sentence for the user, when the choice is
// not understood or its room cannot be used at all.
std::unique_ptr<ChatRoomControl> createChatRoomControl(const QString& choice, const QString& nick,
                                                       const RoomCredentials& credentials,
                                                       QString* error);
std::unique_ptr<ChatRoomControl> createChatRoomControl(const QString& choice, const QString& nick,
                                                       QString* error);

} // namespace svw
