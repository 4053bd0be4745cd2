// SPDX-License-Identifier: GPL-3.0-or-later
#include "fitting_text.h"

#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QStyleOptionComplex>
#include <QStyleOptionFrame>

#include <algorithm>

namespace svw {

namespace {

constexpr qreal kSmallestCaption = 7.0;
constexpr qreal kSmallestBoxText = 6.5;
constexpr qreal kStep = 0.25;

bool fits(const QFont& font, const QList<TextRoom>& texts)
{
    const QFontMetrics metrics(font);
    return std::all_of(texts.begin(), texts.end(), [&](const TextRoom& t) {
        return metrics.horizontalAdvance(t.text) <= t.room && metrics.height() <= t.height;
    });
}

// The drop-down button of a combo box at a given width, whatever the style
// would make it; the edit field takes the rest. Everything else is the
// platform's style.
class NarrowDropDownStyle : public QProxyStyle
{
public:
    NarrowDropDownStyle(const QString& base, int buttonWidth)
        : QProxyStyle(base), m_buttonWidth(buttonWidth)
    {}

    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl part,
                         const QWidget* widget) const override
    {
        QRect rect = QProxyStyle::subControlRect(control, option, part, widget);
        if (control != CC_ComboBox)
            return rect;
        const QRect whole = option->rect;
        if (part == SC_ComboBoxArrow) {
            rect.setLeft(whole.right() - m_buttonWidth + 1);
        } else if (part == SC_ComboBoxEditField) {
            const int frame = pixelMetric(PM_ComboBoxFrameWidth, option, widget);
            rect.setRight(whole.right() - m_buttonWidth - frame);
        }
        return visualRect(option->direction, whole, rect);
    }

private:
    int m_buttonWidth;
};

// Enough for the arrow most styles draw (7 to 9 pixels) with a little air.
constexpr int kDropDownWidth = 12;

// What a line edit keeps between its edge and its text, and the caret.
constexpr int kLineEditMargins = 2 * 2 + 1;

// What a line edit keeps above and below its text, inside its contents.
constexpr int kLineEditVerticalMargins = 2 * 1;

// The height a caption has inside `control`: a button's within its frame and
// the mark of being the default, anything else's within its margins.
int captionHeight(const QWidget* control)
{
    const auto* button = qobject_cast<const QPushButton*>(control);
    if (!button)
        return control->contentsRect().height();
    QStyleOptionButton option;
    option.initFrom(button);
    option.rect = button->rect();
    if (button->isDefault())
        option.features |= QStyleOptionButton::DefaultButton;
    if (button->autoDefault())
        option.features |= QStyleOptionButton::AutoDefaultButton;
    return button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button).height();
}

} // namespace

QFont fittingFont(QFont font, const QList<TextRoom>& texts, qreal smallest)
{
    while (!fits(font, texts) && font.pointSizeF() - kStep >= smallest)
        font.setPointSizeF(font.pointSizeF() - kStep);
    return font;
}

void fitCaption(QWidget* control, const QString& caption, int padding)
{
    const QFont font = fittingFont(
        control->font(), {{caption, control->width() - padding, captionHeight(control)}}, 6.0);
    if (font != control->font())
        control->setFont(font);
}

void fitCaptions(const QList<Caption>& captions, int gap)
{
    QList<TextRoom> rooms;
    for (const Caption& c : captions) {
        // A box that begins inside the label takes the label's right end.
        const int overlap = c.label->geometry().right() - c.box->x() + 1;
        if (c.label->parentWidget() == c.box->parentWidget() && c.box->x() > c.label->x())
            c.label->setContentsMargins(0, 0, std::max(0, overlap + gap), 0);
        rooms.append(
            {c.label->text(), c.label->contentsRect().width(), c.label->contentsRect().height()});
    }
    if (captions.isEmpty())
        return;
    const QFont font =
        fittingFont(QApplication::font(captions.first().label), rooms, kSmallestCaption);
    for (qsizetype i = 0; i < captions.size(); ++i) {
        QLabel* label = captions[i].label;
        label->setFont(font);
        const QString whole = label->text();
        const QString shown = QFontMetrics(font).elidedText(whole, Qt::ElideRight, rooms[i].room);
        if (shown != whole) {
            label->setText(shown);
            label->setToolTip(whole);
        }
    }
}

void fitBoxText(QLineEdit* edit)
{
    QStyleOptionFrame option;
    option.initFrom(edit);
    option.rect = edit->rect();
    option.lineWidth = edit->hasFrame()
                           ? edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit)
                           : 0;
    const QMargins margins = edit->textMargins();
    const int height =
        edit->style()->subElementRect(QStyle::SE_LineEditContents, &option, edit).height() -
        margins.top() - margins.bottom() - kLineEditVerticalMargins;
    const QFont font = fittingFont(edit->font(), {{QString(), 0, height}}, kSmallestBoxText);
    if (font != edit->font())
        edit->setFont(font);
}

void fitComboText(QComboBox* box, const QStringList& samples)
{
    auto* style = new NarrowDropDownStyle(QApplication::style()->name(), kDropDownWidth);
    style->setParent(box);
    box->setStyle(style);

    QStyleOptionComboBox option;
    option.initFrom(box);
    option.editable = true;
    option.frame = box->hasFrame();
    const int field =
        style->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, box)
            .width();
    const int fieldHeight =
        style->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, box)
            .height();
    QList<TextRoom> texts;
    for (const QString& sample : samples)
        texts.append({sample, field - kLineEditMargins, fieldHeight - kLineEditVerticalMargins});
    const QFont font = fittingFont(box->font(), texts, kSmallestBoxText);
    if (font != box->font())
        box->setFont(font);
}

} // namespace svw
