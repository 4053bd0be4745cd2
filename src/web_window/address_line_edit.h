// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLineEdit>

namespace svw {

// The text field of the web window's address box.
//
// Keys reach it through the combo box, which holds the focus and hands each key on.
// It reports every typed character as a key press (Enter as code 13), and it tells
// the window when the combo box is merely committing typed text: QComboBox then
// selects a list entry equal to the typed text and emits activated() as if the user
// had chosen it from the list. Only a real choice from the list may navigate from
// there; Enter navigates through its own key handler.
class AddressLineEdit : public QLineEdit
{
    Q_OBJECT
public:
    using QLineEdit::QLineEdit;

    bool isCommittingText() const { return m_committing; }

signals:
    void keyPressed(int keyAscii);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    bool m_committing = false;
};

} // namespace svw
