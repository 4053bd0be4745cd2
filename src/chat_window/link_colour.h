// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QColor>

namespace svw {

// The contrast ratio of two colours, 1 to 21, from their relative luminance
// as the web's accessibility guidelines define them.
double contrastRatio(const QColor& a, const QColor& b);

// The smallest contrast at which normal text reads well.
inline constexpr double kReadableContrast = 4.5;

// The link's designed dark blue, red 0, green 0, blue 192.
inline const QColor kDesignedLinkColour(0, 0, 192);

// The colour of the link's text on `background`: the designed dark blue where
// it reads, a light blue on a dark window, and otherwise whichever of these,
// black or white reads best.
QColor linkColourOn(const QColor& background);

} // namespace svw
