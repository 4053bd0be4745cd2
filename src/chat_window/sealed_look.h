// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QColor>

namespace svw {

// The colours of the conversation box while lines are sealed.
struct SealedColours
{
    QColor base;
    QColor text;
};

// A green tint of `base` that still reads with `text`: the designed pale
// green on a light box, a dark green on a dark one, moved away from the text
// until they stand at least the readable contrast apart. Where no tint of
// that green reads with `text` (a mid-grey text), the text turns black or
// white instead.
SealedColours sealedColoursFor(const QColor& base, const QColor& text);

} // namespace svw
