// SPDX-License-Identifier: GPL-3.0-or-later
#include "room_session.h"

#include <algorithm>
#include <iterator>
#include <utility>

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
        if (m_outageWording) {
            emit trouble(m_outageWording(m_status));
            return;
        }
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
    if (m_bounced > 0)
        --m_bounced;
    return line;
}

bool RoomSession::canSend() const
{
    return !m_waiting.empty() &&
           (m_unconfirmedLimit == 0 || int(m_inFlight.size()) < m_unconfirmedLimit);
}

void RoomSession::markSent(const QString& id, const QString& line, bool shown)
{
    m_inFlight.push_back({id, line, shown});
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

std::vector<RoomSession::SentLine>
RoomSession::confirmOldest(const std::function<bool(const QString& id)>& covered)
{
    std::vector<SentLine> done;
    while (!m_inFlight.empty() && covered(m_inFlight.front().id)) {
        done.push_back(std::move(m_inFlight.front()));
        m_inFlight.pop_front();
    }
    return done;
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

std::optional<RoomSession::SentLine> RoomSession::forgetOldest()
{
    if (m_inFlight.empty())
        return std::nullopt;
    SentLine line = std::move(m_inFlight.front());
    m_inFlight.pop_front();
    return line;
}

std::vector<RoomSession::SentLine> RoomSession::takeUnconfirmed()
{
    std::vector<SentLine> lines(std::make_move_iterator(m_inFlight.begin()),
                                std::make_move_iterator(m_inFlight.end()));
    m_inFlight.clear();
    return lines;
}

int RoomSession::unsaidCount() const
{
    const auto unshown = std::count_if(m_inFlight.cbegin(), m_inFlight.cend(),
                                       [](const SentLine& line) { return !line.shown; });
    return int(m_waiting.size()) + int(unshown);
}

void RoomSession::requeueUnconfirmed()
{
    // Sent lines are older than what was never sent, younger than what
    // bounced.
    const auto at = m_waiting.begin() + qsizetype(std::min(m_bounced, m_waiting.size()));
    std::vector<QString> back;
    for (const SentLine& line : m_inFlight) {
        if (!line.shown)
            back.push_back(line.text);
    }
    m_waiting.insert(at, back.begin(), back.end());
    m_inFlight.clear();
    m_bounced = 0;
}

void RoomSession::bounceOldest()
{
    const std::optional<SentLine> line = forgetOldest();
    if (!line || line->shown)
        return;
    const std::size_t at = std::min(m_bounced, m_waiting.size());
    m_waiting.insert(m_waiting.begin() + qsizetype(at), line->text);
    m_bounced = at + 1;
}

void RoomSession::setOutageWording(std::function<QString(const QString& status)> wording)
{
    m_outageWording = std::move(wording);
}

void RoomSession::reached(const QString& status)
{
    m_troubleTimer.stop(); // in the room: nothing to tell
    m_outageTold = false;
    announce(status);
    setState(RoomState::Connected);
    emit ready();
}

void RoomSession::lost(const QString& status)
{
    announce(status);
    leftRoom();
    beginOutage();
}

void RoomSession::leftRoom()
{
    setState(m_outageTold ? RoomState::OutOfReach : RoomState::Reaching);
}

void RoomSession::beginOutage()
{
    if (!m_outageTold && !m_troubleTimer.isActive())
        m_troubleTimer.start();
}

bool RoomSession::watchAgain()
{
    if (!m_outageTold || m_troubleTimer.isActive())
        return false;
    m_outageTold = false;
    m_troubleTimer.start();
    return true;
}

void RoomSession::troubleNow(const QString& status, const QString& consequence)
{
    announce(status);
    tellNow(status + u"\n\n"_s + consequence);
}

void RoomSession::tellNow(const QString& why)
{
    m_troubleTimer.stop();
    m_outageTold = true; // told now, not again when the wait has lasted
    setState(RoomState::OutOfReach);
    emit trouble(why);
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
