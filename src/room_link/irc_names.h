// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

namespace svw {

// Names on IRC: nicknames and channels, how servers compare them, and the
// nick to try when the chosen one is taken.

// The nick length that every server accepts (RFC 2812); servers announce
// their own limit as NICKLEN in their 005 greeting.
inline constexpr int kIrcMinNickLength = 9;

// A nick as IRC allows it: a letter or one of []\`_^{|} first, then letters,
// digits, those characters and '-'. `maxLength` bounds the length.
bool isValidIrcNick(const QString& nick, int maxLength = 64);

// A nick built from an arbitrary name (a login name): characters IRC does not
// allow are dropped, a leading digit or '-' gets a letter in front, and the
// whole is cut to `maxLength`; "svw" when nothing is left.
QString nickFromName(const QString& name, int maxLength = 64);

// The longest channel name we take; each server names its own limit
// (CHANNELLEN), 50 on most, 64 on InspIRCd, more on some.
inline constexpr int kIrcMaxChannelBytes = 200;

// A channel name as IRC allows it: '#' or '&' first, at most
// kIrcMaxChannelBytes bytes in UTF-8, no space, comma, colon, BEL, or any
// other control character.
bool isValidIrcChannel(const QString& channel);

// The `attempt`-th (1, 2, ...) nick to try when `nick` is taken: `nick` with
// a number of one or two digits at its end (after 99 they start again),
// cut so that the whole stays within `maxLength`.
QString alternateNick(const QString& nick, int attempt, int maxLength);

// How servers compare names. "rfc1459" (the default) also treats []\^ as
// the upper case of {}|~; "ascii" folds only A-Z.
enum class IrcCaseMapping { Rfc1459, Ascii };
IrcCaseMapping caseMappingFromName(const QString& name);
QString ircFolded(const QString& name, IrcCaseMapping mapping);

} // namespace svw
