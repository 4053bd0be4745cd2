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
// that is shown or copied: the secrets the user gave in the room dialog or
// the keyring holds, and what is the user's own in that room (the account,
// the nick, the server it goes through). A field left empty means "none
// given"; only the passwords are secrets.
struct RoomCredentials
{
    QString serverPassword;    // IRC: the server password (PASS); wins over one in the address
    QString saslAccount;       // IRC: the account to identify as with SASL PLAIN; XMPP: the JID
    QString saslPassword;      // IRC: its password; XMPP: the account's password
    QString clientCertificate; // IRC: a PEM file with certificate and key, for SASL EXTERNAL
    QString server;            // XMPP: "host[:port]" where the account's domain does not lead
    QString nick;              // XMPP: the nick in the room
};

// Makes the room control that `choice` (the value of SVW_ROOM) names:
//   empty or "local"   the default local room of this user on this machine;
//   "local:NAME"       a separate local room called NAME.
//   "irc://[nick[:password]@]host[:port]/#channel[?key=KEY]" an IRC channel, and
//   "ircs://..."       the same over TLS (see irc_room_choice.h).
//   "xmpp:room@conference.example.org?join" an XMPP group chat (see xmpp_room.h),
//                      with the account, server and nick from `credentials`, else
//                      from SVW_XMPP_JID, SVW_XMPP_SERVER and SVW_NICK.
// Returns nullptr, with *error a sentence for the user, when the choice is
// not understood or its room cannot be used at all.
std::unique_ptr<ChatRoomControl> createChatRoomControl(const QString& choice, const QString& nick,
                                                       const RoomCredentials& credentials,
                                                       QString* error);
std::unique_ptr<ChatRoomControl> createChatRoomControl(const QString& choice, const QString& nick,
                                                       QString* error);

// The account the room `choice` names would log in with, when it has no
// password for it (neither in `credentials` nor in the environment): the
// program asks the user for one. Empty when nothing is missing.
QString accountLackingPassword(const QString& choice, const RoomCredentials& credentials);
// Whether rooms of the kind `choice` names look for their account's password
// there (an XMPP room: also in the environment), so that it is asked for
// only once they have found none.
bool findsOwnPassword(const QString& choice);
// What the environment says of the account the room `choice` names would
// log in with (an XMPP room: SVW_XMPP_JID, SVW_XMPP_SERVER, SVW_NICK), never
// a password: for the room dialog to show the room as it was entered.
RoomCredentials accountFromEnvironment(const QString& choice);

} // namespace svw
