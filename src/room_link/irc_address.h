// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <optional>

namespace svw {

// Where an IRC room is: the server, the channel and who to be there, as
// written in SVW_ROOM: irc://[nick[:password]@]host[:port]/#channel, or
// ircs://... for TLS, with the channel's key, percent-encoded, after
// "?key=" at the end.
struct IrcAddress
{
    bool tls = false;
    QString host;
    quint16 port = 0;
    QString nick;
    QString password; // the server password (PASS); empty: none
    QString channel;
    QString channelKey; // the channel's key (+k) to join with; empty: none

    // The address as the user may be shown it: no password or key, nick left out.
    QString displayText() const;
};

inline constexpr quint16 kIrcDefaultPort = 6667;
inline constexpr quint16 kIrcsDefaultPort = 6697;

// Whether `choice` names an IRC room at all (its scheme is irc or ircs).
bool isIrcRoomChoice(const QString& choice);

// Reads an IRC room address. `fallbackNick` is used when the address names
// none and must then be a valid nick too. On a malformed address returns
// nothing and sets `error` to a sentence for the user.
std::optional<IrcAddress> parseIrcAddress(const QString& text, const QString& fallbackNick,
                                          QString* error);

} // namespace svw
