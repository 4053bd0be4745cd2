// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

class QWidget;

namespace svw {

// A window shown without taking the keyboard waits for the user to activate
// it, mostly with a click that lands wherever the mouse happens to be: on the
// conversation, a caption, a button. That first click puts the caret in
// `target`, where typing has to start, unless it went into one of `keepers`
// (boxes the user types in, chosen on purpose). A window activated from the
// keyboard gets `target` too. Later clicks are the ordinary kind.
class FirstCaret : public QObject
{
public:
    FirstCaret(QWidget* window, QWidget* target, const QList<QWidget*>& keepers);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void finish();

    QWidget* m_window;
    QPointer<QWidget> m_target;
    QList<QPointer<QWidget>> m_keepers;
    bool m_waitingForClick = false;
    bool m_done = false;
};

} // namespace svw
