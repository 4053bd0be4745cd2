// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QtGlobal>

namespace svw {

// How fast a client may write to an IRC server. Servers hold back or
// disconnect a client that writes faster than they allow; ngircd's defaults
// take about three commands at once and 256 bytes a second, and public
// networks are stricter still, so the defaults stay well below that.
struct IrcPacing
{
    int burstLines = 4;        // lines that may go at once after a pause
    int lineIntervalMs = 1100; // then one line per interval; 0: no limit
    int bytesPerSecond = 256;  // long-run byte rate; 0: no limit
    int burstBytes = 512;      // bytes that may go at once after a pause

    static IrcPacing unlimited() { return {1, 0, 0, 0}; }
};

// Two token buckets, one counting lines and one counting bytes, over a
// clock in milliseconds that the caller supplies. A line may go when a line
// token is there and the byte bucket is not in debt; sending takes one line
// token and the line's bytes, which may put the byte bucket in debt, so a
// long line is never held back forever.
class IrcPacer
{
public:
    explicit IrcPacer(const IrcPacing& pacing = {});

    // Full buckets, as after a long pause.
    void reset(qint64 nowMs);

    // Milliseconds until the next line may go; 0: now.
    qint64 delayMs(qint64 nowMs) const;

    // A line of `bytes` bytes was written at `nowMs`.
    void consume(qint64 nowMs, int bytes);

    const IrcPacing& pacing() const { return m_pacing; }

private:
    void refill(qint64 nowMs, double& lines, double& bytes) const;

    IrcPacing m_pacing;
    double m_lines = 0;
    double m_bytes = 0;
    qint64 m_lastMs = 0;
};

} // namespace svw
