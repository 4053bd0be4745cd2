// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "room_keeper.h"

#include <QDialog>
#include <QList>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace svw {

class RoomKindPage;

// Where the user chooses the room to talk in: one page a kind of room (this
// computer, an IRC network, an XMPP group chat), the rooms chosen before, an address or a
// friend's invitation to paste, what the others must choose to meet the
// user, and the invitation to copy for them. Enter accepts the room filled
// in; the window then goes there.
class RoomDialog : public QDialog
{
    Q_OBJECT

public:
    // `keeper` may be null: then there are no recent rooms and no secrets
    // known. `nick` is the nick offered where none is remembered.
    RoomDialog(RoomKeeper* keeper, const QString& nick, QWidget* parent = nullptr);

    // The room filled in, once the dialog is accepted.
    RoomChoice choice() const { return m_choice; }

    // Fills the dialog from an address, an invitation or a recent room;
    // false when no page reads it.
    bool showAddress(const QString& address);

    void accept() override;

private:
    RoomKindPage* currentPage() const;
    void refresh();
    void addressTyped(const QString& text);
    void copyInvitation();

    RoomKeeper* m_keeper;
    QList<RoomKindPage*> m_pages;
    QComboBox* m_recent = nullptr;
    QLineEdit* m_address = nullptr;
    QTabWidget* m_kinds = nullptr;
    QLabel* m_meeting = nullptr;
    QPushButton* m_copy = nullptr;
    QLabel* m_problem = nullptr;
    QPushButton* m_enter = nullptr;
    RoomChoice m_choice;
};

} // namespace svw
