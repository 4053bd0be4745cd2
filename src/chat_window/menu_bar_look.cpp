// SPDX-License-Identifier: GPL-3.0-or-later
#include "menu_bar_look.h"

#include <QAction>
#include <QApplication>
#include <QMenuBar>
#include <QPainter>
#include <QProxyStyle>
#include <QStyleOptionMenuItem>

namespace svw {

namespace {

// The platform's style, with a frame drawn around each checked item of the
// menu bar it paints.
class CheckedItemFrameStyle : public QProxyStyle
{
public:
    explicit CheckedItemFrameStyle(const QString& base) : QProxyStyle(base) {}
    // Takes `base` over: it is the bar's own style, no other widget's.
    explicit CheckedItemFrameStyle(QStyle* base) : QProxyStyle(base) {}

    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override
    {
        QProxyStyle::drawControl(element, option, painter, widget);
        const auto* bar = qobject_cast<const QMenuBar*>(widget);
        if (element != CE_MenuBarItem || !bar)
            return;
        const QAction* item = bar->actionAt(option->rect.center());
        if (!item || !item->isCheckable() || !item->isChecked())
            return;
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing, false);
        painter->setPen(QPen(option->palette.color(QPalette::WindowText), 1));
        painter->setBrush(Qt::NoBrush);
        painter->drawRect(option->rect.adjusted(1, 1, -2, -2));
        painter->restore();
    }
};

} // namespace

void frameCheckedItems(QMenuBar* bar)
{
    // A style of the bar's own (keys of its own, say) stays underneath.
    auto* style = bar->testAttribute(Qt::WA_SetStyle)
                      ? new CheckedItemFrameStyle(bar->style())
                      : new CheckedItemFrameStyle(QApplication::style()->name());
    style->setParent(bar);
    bar->setStyle(style);
    // A change of state is drawn at once, not only when the mouse next passes.
    for (QAction* item : bar->actions()) {
        if (item->isCheckable())
            QObject::connect(item, &QAction::toggled, bar, qOverload<>(&QWidget::update));
    }
}

} // namespace svw
