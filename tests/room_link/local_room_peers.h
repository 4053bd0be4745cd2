// SPDX-License-Identifier: GPL-3.0-or-later
// Copies of the local room in processes of their own (the local_room_peer
// helper), for the tests that need real processes: started, said through,
// stopped, resumed and killed, and their windows' lines counted.
#pragma once

#include "local_room_peer_process.h"

#include <QProcess>
#include <QStringList>
#include <QTest>

#include <functional>
#include <map>
#include <signal.h>
#include <sys/resource.h>
#include <vector>

namespace svw::test {

inline constexpr int kPeerWaitMs = LocalRoomPeer::kWaitMs;

// One copy of the room in its own process.
using Peer = LocalRoomPeer;

// Whether exactly one of `peers` hosts and every other has joined it.
inline bool formed(const std::vector<Peer*>& peers)
{
    int hosts = 0;
    for (Peer* peer : peers) {
        if (!peer->hosting() && !peer->joined())
            return false;
        hosts += peer->hosting();
    }
    return hosts == 1;
}

// The lines said in a room, in the order each was said, and what every
// window shows of them.
class LineCount
{
public:
    // `peer` says `text`; every window in `hearers` must show it once.
    void say(Peer& peer, const QString& text, const std::vector<Peer*>& hearers)
    {
        peer.say(text);
        const QString line = peer.nick() + ": " + text;
        m_said.push_back(line);
        for (Peer* hearer : hearers)
            m_expected[hearer].push_back(line);
    }

    // Waits until every window shows every line it must, then counts:
    // empty when each is shown exactly once, each speaker's in the order
    // said; otherwise how many were lost, doubled and reordered where.
    QString problems(int timeoutMs = kPeerWaitMs)
    {
        const bool complete = QTest::qWaitFor(
            [&] {
                for (const auto& [peer, lines] : m_expected) {
                    for (const QString& line : lines) {
                        if (peer->countOf(line) == 0)
                            return false;
                    }
                }
                return true;
            },
            timeoutMs);
        if (complete)
            QTest::qWait(200); // a doubled line would show by now
        QStringList told;
        for (const auto& [peer, lines] : m_expected) {
            int lost = 0;
            int doubled = 0;
            int reordered = 0;
            std::map<QString, qsizetype> lastOf; // speaker -> index of their last line
            for (const QString& line : lines) {
                const qsizetype count = peer->countOf(line);
                lost += count == 0;
                doubled += count > 1;
                const QString speaker = line.section(": ", 0, 0);
                const qsizetype at = peer->lines().indexOf(line);
                if (at >= 0) {
                    auto found = lastOf.find(speaker);
                    if (found != lastOf.end() && at < found->second)
                        ++reordered;
                    lastOf[speaker] = at;
                }
            }
            // Lines nobody said (forged, or another room's) count as well.
            int strange = 0;
            for (const QString& line : peer->lines())
                strange += !m_said.contains(line) && !m_tolerated.contains(line);
            if (lost || doubled || reordered || strange)
                told << QStringLiteral("%1: %2 of %3 lost, %4 doubled, %5 reordered, %6 never "
                                       "said")
                            .arg(peer->nick())
                            .arg(lost)
                            .arg(lines.size())
                            .arg(doubled)
                            .arg(reordered)
                            .arg(strange);
        }
        return told.join("; ");
    }

    // A line shown somewhere that is no fault (said before a window opened).
    void tolerate(const QString& line) { m_tolerated << line; }

private:
    QStringList m_said;
    QStringList m_tolerated;
    std::map<Peer*, QStringList> m_expected;
};

} // namespace svw::test
