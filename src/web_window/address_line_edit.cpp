// SPDX-License-Identifier: GPL-3.0-or-later
#include "address_line_edit.h"

#include <QKeyEvent>

namespace svw {

namespace {

constexpr int kEnter = 13;

class CommitScope
{
public:
    explicit CommitScope(bool& flag) : m_flag(flag), m_previous(flag) { m_flag = true; }
    ~CommitScope() { m_flag = m_previous; }
    CommitScope(const CommitScope&) = delete;
    CommitScope& operator=(const CommitScope&) = delete;

private:
    bool& m_flag;
    bool m_previous;
};

} // namespace

void AddressLineEdit::keyPressEvent(QKeyEvent* event)
{
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter)
        emit keyPressed(kEnter);
    else if (!event->text().isEmpty())
        emit keyPressed(event->text().at(0).unicode());

    // The key goes on to the box unchanged.
    if (enter) {
        CommitScope scope(m_committing);
        QLineEdit::keyPressEvent(event);
    } else {
        QLineEdit::keyPressEvent(event);
    }
}

void AddressLineEdit::focusOutEvent(QFocusEvent* event)
{
    CommitScope scope(m_committing);
    QLineEdit::focusOutEvent(event);
}

} // namespace svw
