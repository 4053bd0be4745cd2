// SPDX-License-Identifier: GPL-3.0-or-later
#include "window_access.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QProxyStyle>
#include <QStyleOptionMenuItem>

namespace svw {

namespace {

const char kLinkProperty[] = "svwLink";

// A label only shows text; this one is a link, and a screen reader's press
// has to open it.
class LinkAccessible : public QAccessibleWidget
{
public:
    explicit LinkAccessible(QWidget* widget) : QAccessibleWidget(widget, QAccessible::Link) {}

    QString text(QAccessible::Text t) const override
    {
        QString text = QAccessibleWidget::text(t);
        if (text.isEmpty() && t == QAccessible::Name)
            text = static_cast<QLabel*>(widget())->text();
        return text;
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.linked = true;
        return s;
    }

    QStringList actionNames() const override
    {
        return QAccessibleWidget::actionNames() << pressAction();
    }

    void doAction(const QString& name) override
    {
        if (name != pressAction()) {
            QAccessibleWidget::doAction(name);
            return;
        }
        // Posted: the press may open a window or a message box, which must
        // not run inside the screen reader's call.
        QCoreApplication::postEvent(widget(), new QKeyEvent(QEvent::KeyPress, Qt::Key_Space,
                                                            Qt::NoModifier, QStringLiteral(" ")));
    }
};

QAccessibleInterface* linkFactory(const QString& className, QObject* object)
{
    if (className == QLatin1String("QLabel") && object->property(kLinkProperty).toBool())
        return new LinkAccessible(static_cast<QWidget*>(object));
    return nullptr;
}

class AltKeyNavigationStyle : public QProxyStyle
{
public:
    using QProxyStyle::QProxyStyle;

    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returned) const override
    {
        if (hint == SH_MenuBar_AltKeyNavigation)
            return 1;
        return QProxyStyle::styleHint(hint, option, widget, returned);
    }

    // Some styles highlight a menu bar item only while its menu is open, and
    // these items have none: the item chosen from the keyboard is drawn as
    // pressed, so the user sees which one Enter will choose.
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override
    {
        if (element == CE_MenuBarItem && widget && widget->hasFocus() &&
            option->state.testFlag(State_Selected)) {
            if (const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option)) {
                QStyleOptionMenuItem chosen(*item);
                chosen.state |= State_Sunken;
                QProxyStyle::drawControl(element, &chosen, painter, widget);
                return;
            }
        }
        QProxyStyle::drawControl(element, option, painter, widget);
    }
};

} // namespace

void presentAsLink(QLabel* label)
{
    static const bool installed = [] {
        QAccessible::installFactory(linkFactory);
        return true;
    }();
    Q_UNUSED(installed);
    label->setProperty(kLinkProperty, true);
    // An interface made while the label was still a plain label is dropped,
    // so the next one asked for is the link's.
    if (QAccessibleInterface* plain = QAccessible::queryAccessibleInterface(label);
        plain && plain->role() != QAccessible::Link)
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(plain));
}

void letAltReachMenuBar(QMenuBar* bar)
{
    auto* style = new AltKeyNavigationStyle(QApplication::style()->name());
    style->setParent(bar);
    bar->setStyle(style);
}

} // namespace svw
