#pragma once

#include <QString>
#include <QStringView>

namespace svw {

// The deciphered text of a room line as the conversation box shows it.
//
// A wrong password or a sender's pasted text can decipher into control
// characters, code 0 included. A text box would swallow them or cut the line
// at a NUL, so every control character except TAB and LINE FEED is shown as
// a visible stand-in of the same length: C0 controls and DEL as their
// Unicode control pictures (U+2400..U+2421), C1 controls (the five codes
// Windows-1252 leaves unassigned) as U+FFFD. Everything else stays as it is,
// so one character of the line stays one character on screen.
QString shownText(QStringView plain);

// One line of the conversation box: sender, "  :  ", the shown text.
QString shownLine(const QString& sender, QStringView plain);

} // namespace svw
