// SPDX-License-Identifier: GPL-3.0-or-later
#include "menu_bar_access.h"

#include <QAccessible>
#include <QAccessibleObject>
#include <QAccessibleWidget>
#include <QAction>
#include <QMenuBar>
#include <QPointer>
#include <QStyle>
#include <QTimer>

namespace svw {

namespace {

const char kPresentedProperty[] = "svwPresentedBar";
const char kToggleProperty[] = "svwToggle";

// An item's caption as it is read: without the marks of its shortcut.
QString withoutMnemonic(QString text)
{
    for (qsizetype i = text.indexOf(QLatin1Char('&')); i >= 0 && i < text.size();
         i = text.indexOf(QLatin1Char('&'), i + 1))
        text.remove(i, 1); // "&&" leaves one "&", which the next search passes
    return text;
}

QList<QWidget*> cornerWidgets(const QMenuBar* bar)
{
    QList<QWidget*> corners;
    for (const Qt::Corner corner : {Qt::TopLeftCorner, Qt::TopRightCorner}) {
        if (QWidget* widget = bar->cornerWidget(corner))
            corners.append(widget);
    }
    return corners;
}

// One item straight on the bar, which acts when chosen. Qt's own item keeps
// no on or off state that a screen reader can read.
class MenuBarItemAccessible : public QAccessibleObject, public QAccessibleActionInterface
{
public:
    MenuBarItemAccessible(QAction* action, QMenuBar* bar) : QAccessibleObject(action), m_bar(bar) {}

    bool isValid() const override { return QAccessibleObject::isValid() && m_bar; }
    QWindow* window() const override { return m_bar ? m_bar->window()->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override
    {
        return QAccessible::queryAccessibleInterface(m_bar);
    }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    // This Qt tells screen readers nothing of a menu item's being checkable,
    // and has no checkable menu item to offer them: a switch shows as a
    // check box, one of a pair of choices as a radio button, so that a
    // screen reader says "checked" or "not checked" either way.
    QAccessible::Role role() const override
    {
        if (action()->isSeparator())
            return QAccessible::Separator;
        if (action()->isCheckable())
            return QAccessible::CheckBox;
        if (action()->property(kToggleProperty).isValid())
            return QAccessible::RadioButton;
        return QAccessible::MenuItem;
    }

    QString text(QAccessible::Text t) const override
    {
        switch (t) {
        case QAccessible::Name:
            return withoutMnemonic(action()->text());
        case QAccessible::Description:
            // A tool tip of its own says what the item does or stands at;
            // Qt's made-up one only repeats the caption.
            if (QString tip = action()->toolTip(); tip != withoutMnemonic(action()->text()))
                return tip;
            return {};
        default:
            return {};
        }
    }

    QRect rect() const override
    {
        const QRect place = m_bar->actionGeometry(action());
        return place.translated(m_bar->mapToGlobal(QPoint(0, 0)));
    }

    QAccessible::State state() const override
    {
        QAccessible::State s;
        if (!m_bar->isVisible() || !action()->isVisible())
            s.invisible = true;
        s.focusable = true;
        if (m_bar->activeAction() == action() && m_bar->hasFocus())
            s.focused = true;
        if (m_bar->style()->styleHint(QStyle::SH_Menu_MouseTracking, nullptr, m_bar))
            s.hotTracked = true;
        if (!action()->isEnabled() || action()->isSeparator())
            s.disabled = true;
        const QVariant toggle = action()->property(kToggleProperty);
        s.checkable = action()->isCheckable() || toggle.isValid();
        s.checked = toggle.isValid() ? toggle.toBool() : action()->isChecked();
        return s;
    }

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ActionInterface)
            return static_cast<QAccessibleActionInterface*>(this);
        return QAccessibleObject::interface_cast(type);
    }

    QStringList actionNames() const override
    {
        if (action()->isSeparator())
            return {};
        return {pressAction()};
    }
    void doAction(const QString& name) override
    {
        if (name != pressAction() || !action()->isEnabled())
            return;
        // Posted: the item may open a message box, which must not run
        // inside the screen reader's call.
        QTimer::singleShot(0, action(), &QAction::trigger);
    }
    QStringList keyBindingsForAction(const QString&) const override { return {}; }

private:
    QAction* action() const { return static_cast<QAction*>(object()); }

    QPointer<QMenuBar> m_bar;
};

// The bar with its items, then what stands in its corners.
class MenuBarAccessible : public QAccessibleWidget
{
public:
    explicit MenuBarAccessible(QMenuBar* bar) : QAccessibleWidget(bar, QAccessible::MenuBar) {}

    int childCount() const override
    {
        return int(bar()->actions().size() + cornerWidgets(bar()).size());
    }
    QAccessibleInterface* child(int index) const override
    {
        const QList<QAction*> actions = bar()->actions();
        if (index < 0)
            return nullptr;
        if (index < actions.size())
            return QAccessible::queryAccessibleInterface(actions.at(index));
        const QList<QWidget*> corners = cornerWidgets(bar());
        index -= int(actions.size());
        return index < corners.size() ? QAccessible::queryAccessibleInterface(corners.at(index))
                                      : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override
    {
        if (!child || !child->object())
            return -1;
        const QList<QAction*> actions = bar()->actions();
        if (auto* action = qobject_cast<QAction*>(child->object()))
            return int(actions.indexOf(action));
        const qsizetype corner = cornerWidgets(bar()).indexOf(child->object());
        return corner < 0 ? -1 : int(actions.size() + corner);
    }

private:
    QMenuBar* bar() const { return static_cast<QMenuBar*>(widget()); }
};

QMenuBar* presentingBar(QAction* action)
{
    for (QObject* owner : action->associatedObjects()) {
        auto* bar = qobject_cast<QMenuBar*>(owner);
        if (bar && bar->property(kPresentedProperty).toBool())
            return bar;
    }
    return nullptr;
}

QAccessibleInterface* menuBarFactory(const QString& className, QObject* object)
{
    if (className == QLatin1String("QMenuBar") && object->property(kPresentedProperty).toBool())
        return new MenuBarAccessible(static_cast<QMenuBar*>(object));
    if (className == QLatin1String("QAction")) {
        auto* action = static_cast<QAction*>(object);
        if (QMenuBar* bar = presentingBar(action))
            return new MenuBarItemAccessible(action, bar);
    }
    return nullptr;
}

// An interface made before the bar was presented is dropped, so the next
// one asked for is ours.
void dropEarlierInterface(QObject* object)
{
    if (QAccessibleInterface* earlier = QAccessible::queryAccessibleInterface(object);
        earlier && !dynamic_cast<MenuBarAccessible*>(earlier) &&
        !dynamic_cast<MenuBarItemAccessible*>(earlier))
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(earlier));
}

} // namespace

void presentMenuBar(QMenuBar* bar)
{
    static const bool installed = [] {
        QAccessible::installFactory(menuBarFactory);
        return true;
    }();
    Q_UNUSED(installed);
    bar->setProperty(kPresentedProperty, true);
    dropEarlierInterface(bar);
    for (QAction* action : bar->actions())
        dropEarlierInterface(action);
}

void setToggleState(QAction* action, bool on)
{
    const QVariant before = action->property(kToggleProperty);
    action->setProperty(kToggleProperty, on);
    if (before.isValid() && before.toBool() == on)
        return;
    QAccessibleInterface* item = QAccessible::queryAccessibleInterface(action);
    if (!item)
        return;
    QAccessible::State changed;
    changed.checked = true;
    QAccessibleStateChangeEvent event(item, changed);
    QAccessible::updateAccessibility(&event);
}

} // namespace svw
