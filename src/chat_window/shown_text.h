// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringView>

namespace svw {

// The deciphered text of a room line as the conversation box shows it.
//
// A line of the box is always one line of the conversation, and what it
// shows is what was said, in the order it was said. A wrong password or a
// sender's pasted text can decipher into control characters, code 0
// included; a sealed text, a nick or a name can carry any Unicode character.
// A text box would swallow control characters, cut the line at a NUL, break
// it at a line feed or a line or paragraph separator into what looks like a
// second member's line, and let bidirectional overrides reorder the
// characters around them. So every such character is shown as a visible
// stand-in, one character for one:
//   - C0 controls and DEL: their Unicode control pictures (U+2400..U+2421);
//     TAB stays;
//   - C1 controls (the five codes Windows-1252 leaves unassigned among them):
//     U+FFFD;
//   - LINE SEPARATOR U+2028: U+2424 (symbol for newline); PARAGRAPH
//     SEPARATOR U+2029: U+00B6 (pilcrow);
//   - every other invisible format character (bidirectional embeddings,
//     overrides, isolates and marks, zero-width spaces, the byte order mark,
//     soft hyphen, tags, interlinear annotation): U+FFFD. The zero-width
//     joiner and non-joiner stay: scripts and emoji are written with them,
//     and they neither break a line nor reorder one;
//   - half a surrogate pair: U+FFFD.
// Everything else stays as it is.
QString shownText(QStringView plain);

// One line of the conversation box: sender, "  :  ", the shown text. The
// sender's name, which comes from the room, is shown the same way.
QString shownLine(const QString& sender, QStringView plain);

// A note for the user (a message box, a tooltip) that carries text from the
// room: as shownText(), except that its line feeds, which are the note's own
// between its sentences, stay.
QString shownNote(QStringView note);

} // namespace svw
