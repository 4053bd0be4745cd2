// SPDX-License-Identifier: GPL-3.0-or-later
#include "irc_pacer.h"

#include <algorithm>
#include <cmath>

namespace svw {

IrcPacer::IrcPacer(const IrcPacing& pacing) : m_pacing(pacing)
{
    m_pacing.burstLines = std::max(1, m_pacing.burstLines);
    m_pacing.lineIntervalMs = std::max(0, m_pacing.lineIntervalMs);
    m_pacing.bytesPerSecond = std::max(0, m_pacing.bytesPerSecond);
    m_pacing.burstBytes = std::max(0, m_pacing.burstBytes);
    reset(0);
}

void IrcPacer::reset(qint64 nowMs)
{
    m_lines = m_pacing.burstLines;
    m_bytes = m_pacing.burstBytes;
    m_lastMs = nowMs;
}

void IrcPacer::refill(qint64 nowMs, double& lines, double& bytes) const
{
    const double elapsed = double(std::max<qint64>(0, nowMs - m_lastMs));
    lines = m_lines;
    bytes = m_bytes;
    if (m_pacing.lineIntervalMs > 0)
        lines = std::min<double>(m_pacing.burstLines, lines + elapsed / m_pacing.lineIntervalMs);
    if (m_pacing.bytesPerSecond > 0)
        bytes = std::min<double>(m_pacing.burstBytes,
                                 bytes + elapsed * m_pacing.bytesPerSecond / 1000.0);
}

qint64 IrcPacer::delayMs(qint64 nowMs) const
{
    double lines = 0;
    double bytes = 0;
    refill(nowMs, lines, bytes);
    double wait = 0;
    if (m_pacing.lineIntervalMs > 0 && lines < 1)
        wait = (1 - lines) * m_pacing.lineIntervalMs;
    if (m_pacing.bytesPerSecond > 0 && bytes < 0)
        wait = std::max(wait, -bytes * 1000.0 / m_pacing.bytesPerSecond);
    return qint64(std::ceil(wait));
}

void IrcPacer::consume(qint64 nowMs, int bytes)
{
    refill(nowMs, m_lines, m_bytes);
    m_lastMs = std::max(m_lastMs, nowMs);
    if (m_pacing.lineIntervalMs > 0)
        m_lines -= 1;
    if (m_pacing.bytesPerSecond > 0)
        m_bytes -= bytes;
}

} // namespace svw
