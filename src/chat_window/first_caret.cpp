// SPDX-License-Identifier: GPL-3.0-or-later
#include "first_caret.h"

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <algorithm>

namespace svw {

FirstCaret::FirstCaret(QWidget* window, QWidget* target, const QList<QWidget*>& keepers)
    : QObject(window), m_window(window), m_target(target)
{
    for (QWidget* keeper : keepers)
        m_keepers.append(keeper);
    window->installEventFilter(this);
}

bool FirstCaret::eventFilter(QObject* watched, QEvent* event)
{
    if (m_done)
        return false;
    if (watched == m_window && event->type() == QEvent::WindowActivate) {
        // The window manager activates the window before it hands over the
        // click that did it: that click is still to come, if there is one.
        if (m_target)
            m_target->setFocus(Qt::ActiveWindowFocusReason);
        if (!m_waitingForClick) {
            m_waitingForClick = true;
            qApp->installEventFilter(this);
        }
        return false;
    }
    if (!m_waitingForClick)
        return false;
    const auto* widget = qobject_cast<QWidget*>(watched);
    const bool inWindow = widget && widget->window() == m_window;
    switch (event->type()) {
    case QEvent::MouseButtonRelease:
        // By now the press has given the focus to whatever takes it by a
        // click; the release has done its work (a button acted) too, as this
        // runs when it is handed on.
        if (inWindow) {
            QTimer::singleShot(0, this, [this] {
                QWidget* focus = QApplication::focusWidget();
                const bool kept = std::any_of(
                    m_keepers.begin(), m_keepers.end(), [focus](const QPointer<QWidget>& k) {
                        return k && focus && (focus == k || k->isAncestorOf(focus));
                    });
                if (!kept && m_target && QApplication::activeWindow() == m_window)
                    m_target->setFocus(Qt::MouseFocusReason);
            });
            finish();
        }
        break;
    case QEvent::KeyPress:
        // Activated from the keyboard: the target has the focus already.
        if (inWindow)
            finish();
        break;
    case QEvent::WindowDeactivate:
        if (watched == m_window)
            finish();
        break;
    default:
        break;
    }
    return false;
}

void FirstCaret::finish()
{
    m_done = true;
    m_waitingForClick = false;
    qApp->removeEventFilter(this);
    m_window->removeEventFilter(this);
}

} // namespace svw
