// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "chat_room_control.h"

#include <QAbstractButton>
#include <QString>

class QPainter;

namespace svw {

// What the room is doing, in words: where the room stands, which room it is
// and the name the user goes by there, and whether the window listens.
QString roomSummary(RoomState state, bool listening, const QString& description);

// A small sign in the menu bar's free corner that shows at a glance whether
// the room is reached, being reached or out of reach, and whether the window
// listens; its tool tip says the same in words, with the room and the nick.
// The shapes differ as well as the colours, so the sign reads without colour:
// a full disc in the room, a ring while reaching it, a cross out of reach,
// two arcs beside it while listening, and a padlock after them while the
// window seals its lines. Pressed (by the mouse, or with
// Space or Enter once Tab has reached it) it offers another room.
class RoomIndicator : public QAbstractButton
{
    Q_OBJECT

public:
    explicit RoomIndicator(QWidget* parent = nullptr);

    void setRoomState(RoomState state);
    void setListening(bool listening);
    void setRoomDescription(const QString& description);
    void setSealed(bool sealed);

    RoomState roomState() const { return m_state; }
    bool listening() const { return m_listening; }
    bool sealed() const { return m_sealed; }
    QString summary() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

signals:
    void summaryChanged(const QString& summary);

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void refresh();
    void paintLock(QPainter& p, const QRectF& place) const;

    RoomState m_state = RoomState::Reaching;
    bool m_listening = false;
    bool m_sealed = false;
    QString m_description;
};

} // namespace svw
