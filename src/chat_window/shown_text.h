// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringView>

namespace svw {

// The deciphered text of a room line as the conversation box shows it.
//
// A wrong password or a sender's pasted text can decipher into control
// characters, code 0 included. A text box would swallow them, cut the line at
// a NUL, or break it at a line feed into what looks like a second member's
// line; so every control character except TAB is shown as a visible stand-in
// of the same length: C0 controls and DEL as their
// Unicode control pictures (U+2400..U+2421), C1 controls (the five codes
// Windows-1252 leaves unassigned) as U+FFFD. Everything else stays as it is,
// so one character of the line stays one character on screen.
QString shownText(QStringView plain);

// One line of the conversation box: sender, "  :  ", the shown text. The
// sender's name, which comes from the room, is shown the same way.
QString shownLine(const QString& sender, QStringView plain);

} // namespace svw
