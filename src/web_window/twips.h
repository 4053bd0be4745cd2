// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QtGlobal>

namespace svw::twips {

// The window's layout is designed in twips, 1/1440 inch: 15 twips to a pixel at 96 dpi.
inline constexpr int kPerPixel = 15;

constexpr int toPixels(int twips)
{
    return qRound(double(twips) / kPerPixel);
}

constexpr int fromPixels(int pixels)
{
    return pixels * kPerPixel;
}

} // namespace svw::twips
