// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "scratch_files.h"

#include <QString>
#include <QStringView>

#include <optional>

namespace svw {

// A room line as the conversation box takes it: what to show, and whether the
// scratch files failed on the way (the line is then deciphered in memory).
struct HandledRoomLine
{
    QString shown; // sender, "  :  ", the deciphered text as the box shows it
    std::optional<ScratchError> fileError;
};

// The length in UTF-16 units of the first `count` code points of `text`:
// prefixes are counted in characters, and a character outside the basic
// plane takes two units.
qsizetype leadingLength(QStringView text, qsizetype count);

// Handles one room line with the prefix and password of this moment: nothing
// when its first five characters are not the prefix (and no scratch file is
// touched then), else the rest deciphered through the scratch files.
// Characters are code points, so a prefix outside the basic plane is compared
// whole, as the prefix check counts it.
std::optional<HandledRoomLine> handleRoomLine(QStringView prefix, const QString& password,
                                              const QString& sender, const QString& text);

} // namespace svw
