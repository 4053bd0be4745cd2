// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "xmpp_address.h"

#include <QString>

#include <optional>

#include <strophe.h>

namespace svw {

// What a stanza from the server means for the room, read without side
// effects so that it can be tested (and fuzzed) without a server.
struct XmppRoomEvent
{
    enum class Kind {
        Ignore,       // not about our room, or nothing the room shows
        Line,         // a line said in the room now
        History,      // a line said before we joined (carries a delay)
        LineRefused,  // the room refused a line we sent (id)
        Joined,       // we are in the room, under `nick`
        NickTaken,    // our nick is someone else's: try another
        JoinRefused,  // the room does not let us in (reason)
        NickChanged,  // the room now knows us as `nick`
        Kicked,       // we were removed from the room (reason)
        Banned,       // we were banned from the room (reason)
        Left,         // we are out of the room for another reason
        VersionQuery, // someone asks what software we run
        OtherQuery,   // an iq get/set we do not serve
    };
    Kind kind = Kind::Ignore;
    QString nick; // the occupant who said the line, or our nick in the room
    QString text; // the line itself
    QString id;   // the stanza's id
    QString reason;
};

// `roomJid` is the room's bare address ("room@conference.example.org");
// `ownNick` the nick we asked for or hold in it.
XmppRoomEvent readRoomStanza(xmpp_stanza_t* stanza, const QString& roomJid, const QString& ownNick);

// The groupchat message that says `line` in the room `roomJid` under `id`;
// the caller releases it.
xmpp_stanza_t* newRoomMessage(xmpp_ctx_t* ctx, const QString& roomJid, const QString& line,
                              const char* id);

// How many bytes the message saying `line` takes on the wire, under an id
// as long as the ones the room's messages carry.
qint64 roomMessageBytes(xmpp_ctx_t* ctx, const QString& roomJid, const QString& line);

// The largest stanza the server takes, in bytes, as the stream features in
// `text` advertise it (XEP-0478); 0 when they name no limit; nothing when
// `text` is not the stream's features.
std::optional<qint64> advertisedStanzaLimit(xmpp_ctx_t* ctx, const char* text);

} // namespace svw
