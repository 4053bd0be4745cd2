// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "sealed_line.h"

#include <QFile>
#include <QString>

#include <array>
#include <cstddef>
#include <limits>
#include <map>
#include <memory>
#include <set>

namespace svw {

// Which opened lines may be shown as they are.
//
// A line is a replay when its nonce was seen before. Nonces are remembered
// for as long as a line may be taken at all (the window); a line said longer
// ago than that is refused by its time alone. The memory is bounded; when it
// is full the oldest nonces go and lines said before them are refused, so a
// forgotten nonce never lets a replay through.
//
// A copy cannot know the nonces of lines said before it listened: those are
// refused by their time, less an allowance for clocks that differ a little
// and for a line that was under way. Lines dated further ahead than the
// allowance are refused too (the sender's clock is wrong, or someone with
// the key dates lines ahead to fill the memory), and lines dated ahead
// within the allowance may fill only a quarter of the memory, so the future
// never evicts what is said now.
class ReplayGuard
{
public:
    static constexpr qint64 kWindowMs = 10 * 60 * 1000;
    static constexpr qint64 kAllowanceMs = 60 * 1000;
    static constexpr std::size_t kCapacity = 100000;
    using Nonce = std::array<unsigned char, kSealNonceBytes>;

    enum class Verdict {
        Fresh,     // shown (and remembered)
        Seen,      // its nonce was seen: a replay
        TooOld,    // said before the window, or before this copy listened
        Ahead,     // dated further ahead than the allowance
        Forgotten, // said before the oldest nonce the full memory let go
        AheadFull, // dated ahead, and the share of the memory for that is full
    };

    explicit ReplayGuard(std::size_t capacity = kCapacity) : m_capacity(capacity) {}
    ~ReplayGuard();
    ReplayGuard(const ReplayGuard&) = delete;
    ReplayGuard& operator=(const ReplayGuard&) = delete;

    Verdict accept(const OpenedLine& line, qint64 nowMs);
    std::size_t remembered() const { return m_byNonce.size(); }

    // From when this copy could hear lines; nothing said before it (less the
    // allowance) is taken.
    void setListeningSince(qint64 ms) { m_listeningSince = ms; }
    qint64 listeningSince() const { return m_listeningSince; }

    // Keeps the memory in `path` as well, so that a copy started again
    // knows what it saw: nonces and times only, 32 bytes a line. Reads what
    // is there now (dropping what is past the window) and adds each fresh
    // line. False when the file cannot be written; the memory then stays in
    // this run only.
    bool keepIn(const QString& path, qint64 nowMs);

private:
    void forgetBefore(qint64 timeMs);
    void remember(const Nonce& nonce, qint64 saidMs, qint64 nowMs);
    void rewriteFile();

    std::size_t m_capacity;
    qint64 m_floorMs = std::numeric_limits<qint64>::min();
    qint64 m_listeningSince = std::numeric_limits<qint64>::min();
    std::map<Nonce, qint64> m_byNonce;
    std::multimap<qint64, Nonce> m_byTime;
    std::multiset<qint64> m_ahead; // times of remembered lines dated ahead of the clock
    std::unique_ptr<QFile> m_file;
    std::size_t m_fileRecords = 0;
};

} // namespace svw
