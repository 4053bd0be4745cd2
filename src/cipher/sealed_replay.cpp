// SPDX-License-Identifier: GPL-3.0-or-later
#include "sealed_replay.h"

#include <QSaveFile>
#include <QtEndian>

#include <algorithm>

namespace svw {

namespace {

constexpr char kMagic[8] = {'S', 'V', 'W', 's', 'e', 'e', 'n', '1'};
constexpr qsizetype kRecordBytes = kSealNonceBytes + 8;

} // namespace

ReplayGuard::~ReplayGuard() = default;

ReplayGuard::Verdict ReplayGuard::accept(const OpenedLine& line, qint64 nowMs)
{
    forgetBefore(nowMs - kWindowMs);
    const qint64 said = line.content.saidAtMs;
    if (said > nowMs + kAllowanceMs)
        return Verdict::Ahead;
    if (said < nowMs - kWindowMs || (m_listeningSince != std::numeric_limits<qint64>::min() &&
                                     said < m_listeningSince - kAllowanceMs))
        return Verdict::TooOld;
    if (said < m_floorMs)
        return Verdict::Forgotten;
    if (m_byNonce.count(line.nonce))
        return Verdict::Seen;
    // What is no longer ahead of the clock counts as an ordinary line.
    m_ahead.erase(m_ahead.begin(), m_ahead.upper_bound(nowMs));
    if (said > nowMs && m_ahead.size() >= m_capacity / 4)
        return Verdict::AheadFull;
    if (m_byNonce.size() >= m_capacity) {
        // Lines said no later than the forgotten one are refused from now on.
        // At most a quarter is dated ahead, so this one is no later than now.
        const auto oldest = m_byTime.begin();
        m_floorMs = std::max(m_floorMs, oldest->first + 1);
        m_byNonce.erase(oldest->second);
        m_byTime.erase(oldest);
        if (said < m_floorMs)
            return Verdict::Forgotten;
    }
    remember(line.nonce, said, nowMs);
    if (m_file) {
        char record[kRecordBytes];
        std::copy(line.nonce.begin(), line.nonce.end(), record);
        qToBigEndian(quint64(said), record + kSealNonceBytes);
        // Flushed at once: a copy that is killed keeps what it saw.
        if (m_file->write(record, kRecordBytes) != kRecordBytes || !m_file->flush())
            m_file.reset();
        else if (++m_fileRecords > 2 * m_capacity)
            rewriteFile();
    }
    return Verdict::Fresh;
}

void ReplayGuard::remember(const Nonce& nonce, qint64 saidMs, qint64 nowMs)
{
    m_byNonce.emplace(nonce, saidMs);
    m_byTime.emplace(saidMs, nonce);
    if (saidMs > nowMs)
        m_ahead.insert(saidMs);
}

void ReplayGuard::forgetBefore(qint64 timeMs)
{
    // Lines said before the window are refused by their time alone.
    while (!m_byTime.empty() && m_byTime.begin()->first < timeMs) {
        m_byNonce.erase(m_byTime.begin()->second);
        m_byTime.erase(m_byTime.begin());
    }
}

bool ReplayGuard::keepIn(const QString& path, qint64 nowMs)
{
    QFile old(path);
    if (old.open(QIODevice::ReadOnly)) {
        const QByteArray data = old.readAll();
        // Anything but whole records behind the right heading is not ours,
        // or was cut short by a crash: the whole records are still good.
        if (data.startsWith(QByteArray(kMagic, sizeof kMagic))) {
            for (qsizetype at = sizeof kMagic; at + kRecordBytes <= data.size();
                 at += kRecordBytes) {
                Nonce nonce;
                std::copy(data.begin() + at, data.begin() + at + kSealNonceBytes, nonce.begin());
                const auto said =
                    qint64(qFromBigEndian<quint64>(data.constData() + at + kSealNonceBytes));
                if (said >= nowMs - kWindowMs && said <= nowMs + kAllowanceMs &&
                    !m_byNonce.count(nonce))
                    remember(nonce, said, nowMs);
            }
        }
    }
    while (m_byNonce.size() > m_capacity) {
        const auto oldest = m_byTime.begin();
        m_floorMs = std::max(m_floorMs, oldest->first + 1);
        m_byNonce.erase(oldest->second);
        m_byTime.erase(oldest);
    }
    m_file = std::make_unique<QFile>(path);
    rewriteFile();
    return m_file != nullptr;
}

// Only what is still remembered, so the file stays about as large as the
// memory.
void ReplayGuard::rewriteFile()
{
    const QString path = m_file->fileName();
    m_file.reset();
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return;
    QByteArray data(kMagic, sizeof kMagic);
    data.reserve(data.size() + qsizetype(m_byTime.size()) * kRecordBytes);
    for (const auto& [said, nonce] : m_byTime) {
        data.append(reinterpret_cast<const char*>(nonce.data()), kSealNonceBytes);
        char time[8];
        qToBigEndian(quint64(said), time);
        data.append(time, 8);
    }
    out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (out.write(data) != data.size() || !out.commit())
        return;
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    m_file = std::move(file);
    m_fileRecords = m_byTime.size();
}

} // namespace svw
