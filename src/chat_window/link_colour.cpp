// SPDX-License-Identifier: GPL-3.0-or-later
#include "link_colour.h"

#include <algorithm>
#include <cmath>

namespace svw {

namespace {

// Small enough not to need a library; the formula is the guideline's own.
double channel(double value)
{
    return value <= 0.04045 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
}

double relativeLuminance(const QColor& colour)
{
    const QColor rgb = colour.toRgb();
    return 0.2126 * channel(rgb.redF()) + 0.7152 * channel(rgb.greenF()) +
           0.0722 * channel(rgb.blueF());
}

const QColor kLightLinkColour(0x8a, 0xb4, 0xf8);

} // namespace

double contrastRatio(const QColor& a, const QColor& b)
{
    const double la = relativeLuminance(a);
    const double lb = relativeLuminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor linkColourOn(const QColor& background)
{
    const QColor candidates[] = {kDesignedLinkColour, kLightLinkColour, Qt::black, Qt::white};
    for (const QColor& c : {kDesignedLinkColour, kLightLinkColour}) {
        if (contrastRatio(c, background) >= kReadableContrast)
            return c;
    }
    return *std::max_element(std::begin(candidates), std::end(candidates),
                             [&](const QColor& x, const QColor& y) {
                                 return contrastRatio(x, background) < contrastRatio(y, background);
                             });
}

} // namespace svw
