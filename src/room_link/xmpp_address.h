// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

namespace svw {

// The room's bare address read from `jid` ("room@conference.example.org"),
// lower-cased where XMPP folds case; empty, with *why a phrase for the user
// ("it names no room ..."), when it cannot be a room's address.
QString readXmppRoomJid(const QString& jid, QString* why);

// The room's address from an RFC 5122 URI naming it ("xmpp:room@muc.example?join"),
// lower-cased where XMPP folds case; empty, with *error set, when `choice` is
// not such a URI.
QString xmppRoomFromChoice(const QString& choice, QString* error);
bool isXmppRoomChoice(const QString& choice);

// The URI that xmppRoomFromChoice() reads back as `roomJid`: the room alone,
// so it can be shown, copied for friends and remembered.
QString xmppRoomAddress(const QString& roomJid);

// Whether `jid` names an account ("ann@example.org": no resource).
bool isXmppAccountJid(const QString& jid);

// Reads "host" or "host:port", the server to reach where the account's
// domain does not lead to it; false when `text` is neither.
bool readXmppServer(const QString& text, QString* host, quint16* port);

} // namespace svw
