// SPDX-License-Identifier: GPL-3.0-or-later
#include "room_session.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace svw {

RoomSession::RoomSession(const QString& place, int troubleAfterMs, QObject* parent)
    : QObject(parent), m_place(place), m_troubleAfterMs(std::max(0, troubleAfterMs))
{
    // Connections drop and come back on their own; only a room that stays
    // out of reach is worth interrupting the user for.
    m_troubleTimer.setSingleShot(true);
    m_troubleTimer.setInterval(m_troubleAfterMs);
    connect(&m_troubleTimer, &QTimer::timeout, this, [this] {
        m_outageTold = true;
        setState(RoomState::OutOfReach);
        emit trouble(
            u"%1 has been out of reach for %2 s.\n%3\n\nWhat you send meanwhile waits "
            u"and goes out, in order, once the room is joined again. The program keeps "
            u"trying."_s.arg(m_place, QString::number((m_troubleAfterMs + 999) / 1000), m_status));
    });
    m_troubleTimer.start();
}

void RoomSession::enqueue(const QString& line)
{
    m_waiting.push_back(line);
}

std::optional<QString> RoomSession::takeNext()
{
    if (m_waiting.empty())
        return std::nullopt;
    QString line = m_waiting.front();
    m_waiting.pop_front();
    return line;
}

void RoomSession::markSent(const QString& id, const QString& line)
{
    m_inFlight.push_back({id, line});
}

bool RoomSession::confirm(const QString& id)
{
    return !forget(id).isNull();
}

bool RoomSession::confirmText(const QString& line)
{
    const auto found = std::find_if(m_inFlight.begin(), m_inFlight.end(),
                                    [&line](const SentLine& sent) { return sent.text == line; });
    if (found == m_inFlight.end())
        return false;
    m_inFlight.erase(found);
    return true;
}

QString RoomSession::forget(const QString& id)
{
    const auto found = std::find_if(m_inFlight.begin(), m_inFlight.end(),
                                    [&id](const SentLine& sent) { return sent.id == id; });
    if (id.isEmpty() || found == m_inFlight.end())
        return QString();
    QString text = found->text.isNull() ? u""_s : found->text;
    m_inFlight.erase(found);
    return text;
}

void RoomSession::requeueUnconfirmed()
{
    for (auto it = m_inFlight.rbegin(); it != m_inFlight.rend(); ++it)
        m_waiting.push_front(it->text);
    m_inFlight.clear();
}

void RoomSession::reached(const QString& status)
{
    m_troubleTimer.stop();
    m_outageTold = false;
    announce(status);
    setState(RoomState::Connected);
    emit ready();
}

void RoomSession::lost(const QString& status)
{
    announce(status);
    setState(m_outageTold ? RoomState::OutOfReach : RoomState::Reaching);
    if (!m_outageTold && !m_troubleTimer.isActive())
        m_troubleTimer.start();
}

void RoomSession::troubleNow(const QString& status, const QString& consequence)
{
    m_troubleTimer.stop();
    m_outageTold = true; // told now, not again when the wait has lasted
    announce(status);
    setState(RoomState::OutOfReach);
    emit trouble(status + u"\n\n"_s + consequence);
}

void RoomSession::announce(const QString& status)
{
    if (status == m_status)
        return;
    m_status = status;
    emit statusChanged(status);
}

void RoomSession::setState(RoomState state)
{
    if (state == m_state)
        return;
    m_state = state;
    emit stateChanged(state);
}

} // namespace svw
