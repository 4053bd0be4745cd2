// SPDX-License-Identifier: GPL-3.0-or-later
#include "sealed_keys.h"

#include <QMetaObject>

namespace svw {

SealKeys::SealKeys(QObject* parent) : QObject(parent)
{
    // One derivation at a time: each takes 64 MiB.
    m_pool.setMaxThreadCount(1);
}

SealKeys::~SealKeys()
{
    m_pool.waitForDone();
}

const SealKey* SealKeys::key(const QString& password, const QString& prefix)
{
    auto pair = std::make_pair(password, prefix);
    if (const auto found = m_keys.find(pair); found != m_keys.end())
        return &found->second;
    if (m_pending.insert(pair).second) {
        ++m_derivations;
        m_pool.start([this, pair] {
            std::optional<SealKey> derived = deriveSealKey(pair.first, pair.second);
            // The pool is waited for before this object goes, so it is alive
            // here; the answer is handed back to its own thread.
            QMetaObject::invokeMethod(
                this, [this, pair, derived] { finish(pair, derived); }, Qt::QueuedConnection);
        });
    }
    return nullptr;
}

void SealKeys::finish(const std::pair<QString, QString>& pair, std::optional<SealKey> key)
{
    m_pending.erase(pair);
    if (key)
        m_keys.emplace(pair, *key);
    emit keyReady(pair.first, pair.second, key.has_value());
}

} // namespace svw
