// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFont>
#include <QList>
#include <QString>

#include <limits>

class QComboBox;
class QLabel;
class QLineEdit;
class QWidget;

namespace svw {

// The controls keep their designed places and sizes, which were made for a
// smaller system font than many desktops use. These helpers make texts fit
// those sizes without moving anything.

// A text and the width, in pixels, that it must fit in; and the height of
// the line it stands on, which its font's full height (with the descenders)
// must not pass.
struct TextRoom
{
    QString text;
    int room;
    int height = std::numeric_limits<int>::max();
};

// `font` at the largest point size, no larger than its own and in steps of a
// quarter point, at which every text fits its room; never below `smallest`.
QFont fittingFont(QFont font, const QList<TextRoom>& texts, qreal smallest);

// A button's caption gets a smaller size of its font, just small enough to be
// whole within the button's width less `padding`, and within the height the
// style leaves inside the button's frame.
void fitCaption(QWidget* control, const QString& caption, int padding);

// Labels that stand side by side get one font, the platform's, at one size
// that shows each caption whole, in width and height, with `gap` pixels
// before the box it names;
// below a legible size a caption is cut with an ellipsis and shows whole in
// its tool tip. `box` may overlap the label: the caption then ends before it.
struct Caption
{
    QLabel* label;
    const QWidget* box;
};
void fitCaptions(const QList<Caption>& captions, int gap);

// A line edit's font, just small enough for a line of it to show whole, the
// descenders too, within the box's designed height.
void fitBoxText(QLineEdit* edit);

// Makes the edit field of an editable combo box show each of `samples` whole:
// a narrower drop-down button, then the box's own font just small enough,
// in width and height.
void fitComboText(QComboBox* box, const QStringList& samples);

} // namespace svw
