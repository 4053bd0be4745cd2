// SPDX-License-Identifier: GPL-3.0-or-later
#include "room_indicator.h"

#include "shown_text.h"

#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>

namespace svw {

namespace {

QString stateWords(RoomState state)
{
    switch (state) {
    case RoomState::Connected:
        return QStringLiteral("In the room");
    case RoomState::OutOfReach:
        return QStringLiteral("The room is out of reach");
    case RoomState::Reaching:
        break;
    }
    return QStringLiteral("Reaching the room");
}

// Colours that read on light and dark menu bars alike; the shape says the
// same for whoever cannot tell them apart.
QColor stateColour(RoomState state)
{
    switch (state) {
    case RoomState::Connected:
        return QColor(0x2e, 0x9d, 0x3e);
    case RoomState::OutOfReach:
        return QColor(0xd7, 0x30, 0x27);
    case RoomState::Reaching:
        break;
    }
    return QColor(0xd9, 0x8c, 0x00);
}

} // namespace

QString roomSummary(RoomState state, bool listening, const QString& description)
{
    QString summary = stateWords(state);
    if (!description.isEmpty())
        summary += QStringLiteral(": ") + description;
    summary += QLatin1Char('\n');
    summary += listening ? QStringLiteral("Listening for the group's lines")
                         : QStringLiteral("Not listening");
    return summary;
}

RoomIndicator::RoomIndicator(QWidget* parent) : QAbstractButton(parent)
{
    setAccessibleName(QStringLiteral("Room"));
    // Reached with Tab; a click opens the room dialog without first taking
    // the focus from where the user types.
    setFocusPolicy(Qt::TabFocus);
    refresh();
}

void RoomIndicator::setRoomState(RoomState state)
{
    m_state = state;
    refresh();
}

void RoomIndicator::setListening(bool listening)
{
    m_listening = listening;
    refresh();
}

void RoomIndicator::setRoomDescription(const QString& description)
{
    // It names the user as the room knows them: a nick from the room.
    m_description = shownText(description);
    refresh();
}

void RoomIndicator::setSealed(bool sealed)
{
    m_sealed = sealed;
    update();
}

QString RoomIndicator::summary() const
{
    return roomSummary(m_state, m_listening, m_description);
}

void RoomIndicator::refresh()
{
    const QString words = summary();
    setToolTip(words);
    setAccessibleDescription(words);
    update();
    emit summaryChanged(words);
}

QSize RoomIndicator::sizeHint() const
{
    // As high as a line of the menu's text, so the menu bar keeps its height;
    // wide enough for the disc, the arcs and the lock, so the bar's items do
    // not move when sealing is turned on.
    const int h = fontMetrics().height();
    return QSize(h * 3 / 2 + 4 + h * 3 / 4, h);
}

void RoomIndicator::keyPressEvent(QKeyEvent* event)
{
    // Enter would otherwise reach the window, where it sends.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        click();
        return;
    }
    QAbstractButton::keyPressEvent(event);
}

void RoomIndicator::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    if (hasFocus()) {
        // A sign this small shows the focus as a frame around it.
        p.setPen(QPen(palette().color(QPalette::Highlight), 1, Qt::DotLine));
        p.drawRect(rect().adjusted(0, 0, -1, -1));
    }
    p.setRenderHint(QPainter::Antialiasing);
    const qreal h = height();
    const qreal d = std::min<qreal>(h * 0.6, 10.0);
    const QRectF disc(2.5, (h - d) / 2, d, d);
    const QColor colour = stateColour(m_state);

    switch (m_state) {
    case RoomState::Connected:
        p.setPen(QPen(colour.darker(140), 1));
        p.setBrush(colour);
        p.drawEllipse(disc);
        break;
    case RoomState::Reaching:
        p.setPen(QPen(colour, 2));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(disc.adjusted(0.5, 0.5, -0.5, -0.5));
        break;
    case RoomState::OutOfReach:
        p.setPen(QPen(colour, 2.2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(disc.topLeft(), disc.bottomRight());
        p.drawLine(disc.topRight(), disc.bottomLeft());
        break;
    }

    if (m_listening) {
        p.setPen(QPen(palette().color(QPalette::WindowText), 1.3, Qt::SolidLine, Qt::RoundCap));
        p.setBrush(Qt::NoBrush);
        const QPointF centre = disc.center();
        for (const qreal r : {d * 0.85, d * 1.35}) {
            const QRectF arc(centre.x() - r, centre.y() - r, 2 * r, 2 * r);
            p.drawArc(arc, -45 * 16, 90 * 16);
        }
    }

    if (m_sealed) {
        // After the outer arc, nearly as tall as the sign: it grows with the
        // font where the disc stops growing.
        const qreal lockHeight = h * 0.7;
        const qreal left = disc.center().x() + d * 1.35 + 4;
        paintLock(p, QRectF(left, (h - lockHeight) / 2, lockHeight * 0.75, lockHeight));
    }
}

// A padlock: a shackle over a filled body with a keyhole, in the text's
// colour so it reads on any menu bar.
void RoomIndicator::paintLock(QPainter& p, const QRectF& place) const
{
    const QColor ink = palette().color(QPalette::WindowText);
    const qreal w = place.width();
    const qreal bodyTop = place.top() + place.height() * 0.45;
    const QRectF body(place.left(), bodyTop, w, place.bottom() - bodyTop);
    const qreal pen = std::max<qreal>(1.2, w / 6);
    const QRectF shackle(place.left() + w * 0.2, place.top() + pen / 2, w * 0.6,
                         (bodyTop - place.top()) * 2);
    p.setPen(QPen(ink, pen, Qt::SolidLine, Qt::FlatCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(shackle, 0, 180 * 16);
    p.drawLine(QPointF(shackle.left(), shackle.center().y()), QPointF(shackle.left(), bodyTop));
    p.drawLine(QPointF(shackle.right(), shackle.center().y()), QPointF(shackle.right(), bodyTop));
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    p.drawRoundedRect(body, w * 0.12, w * 0.12);
    p.setBrush(palette().color(QPalette::Window));
    const qreal hole = std::max<qreal>(1.0, w * 0.2);
    p.drawEllipse(QPointF(body.center().x(), body.center().y() - hole * 0.3), hole / 2, hole / 2);
}

} // namespace svw
