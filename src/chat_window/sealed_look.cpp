// SPDX-License-Identifier: GPL-3.0-or-later
#include "sealed_look.h"

#include "link_colour.h"

#include <algorithm>

namespace svw {

namespace {

// The pale green the box was designed with, for black text on white.
const QColor kDesignedSealedBase(0xe3, 0xf4, 0xe3);

constexpr qreal kGreenHue = 120.0 / 360.0;
constexpr qreal kLightnessStep = 0.02;

// How far the tint stands from the box's own lightness, and how green it
// is: enough for the change to show at a glance on a black or a grey box, not
// so much that a dark desktop gets a glaring patch.
constexpr qreal kTintDepth = 0.04;
constexpr qreal kLightSaturation = 0.4;
constexpr qreal kDarkSaturation = 0.3;

} // namespace

SealedColours sealedColoursFor(const QColor& base, const QColor& text)
{
    // A dark box is one whose text is lighter than itself.
    const bool dark = base.toHsl().lightnessF() < text.toHsl().lightnessF();
    if (!dark && contrastRatio(kDesignedSealedBase, text) >= kReadableContrast)
        return {kDesignedSealedBase, text};

    const qreal own = base.toHsl().lightnessF();
    // Away from the text, so the contrast only grows as the tint deepens.
    const qreal away = dark ? -kLightnessStep : kLightnessStep;
    qreal lightness = std::clamp(dark ? own + kTintDepth : own - kTintDepth, 0.0, 1.0);
    const qreal saturation = dark ? kDarkSaturation : kLightSaturation;
    QColor tint = QColor::fromHslF(kGreenHue, saturation, lightness);
    while (contrastRatio(tint, text) < kReadableContrast && lightness + away >= 0.0 &&
           lightness + away <= 1.0) {
        lightness += away;
        tint = QColor::fromHslF(kGreenHue, saturation, lightness);
    }
    tint = tint.toRgb();
    if (contrastRatio(tint, text) >= kReadableContrast)
        return {tint, text};
    const QColor black(Qt::black);
    const QColor white(Qt::white);
    return {tint, contrastRatio(tint, black) >= contrastRatio(tint, white) ? black : white};
}

} // namespace svw
