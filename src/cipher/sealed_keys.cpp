// SPDX-License-Identifier: GPL-3.0-or-later
#include "sealed_keys.h"

#include "guarded_bytes.h"

#include <QMetaObject>
#include <QtEndian>

#include <sodium.h>

namespace svw {

SealKeys::SealKeys(QObject* parent) : QObject(parent)
{
    // One derivation at a time: each takes 64 MiB.
    m_pool.setMaxThreadCount(1);
    m_settle.setSingleShot(true);
    m_settle.setInterval(kSettleMs);
    connect(&m_settle, &QTimer::timeout, this, &SealKeys::startNext);
    randombytes_buf(m_idKey.bytes().data(), SealKey::kBytes);
}

SealKeys::~SealKeys()
{
    m_pool.waitForDone();
}

QByteArray SealKeys::idOf(const QString& password, const QString& prefix) const
{
    // The same normal form as the derivation: one key for both spellings.
    QString normal = password.normalized(QString::NormalizationForm_C);
    std::optional<GuardedBytes> longer;
    if (!m_lookup.assignUtf8(normal))
        longer.emplace(GuardedBytes::utf8(normal));
    const GuardedBytes& secret = longer ? *longer : m_lookup;
    sodium_memzero(normal.data(), std::size_t(normal.size()) * sizeof(QChar));
    const QByteArray place = prefix.toUtf8();
    QByteArray id(crypto_generichash_BYTES, '\0');
    crypto_generichash_state state;
    crypto_generichash_init(&state, m_idKey.bytes().data(), SealKey::kBytes,
                            std::size_t(id.size()));
    // The password's length first, so no two pairs run together alike.
    unsigned char length[8];
    qToBigEndian(quint64(secret.size()), length);
    crypto_generichash_update(&state, length, sizeof length);
    if (secret.data())
        crypto_generichash_update(&state, secret.data(), secret.size());
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(place.constData()),
                              std::size_t(place.size()));
    crypto_generichash_final(&state, reinterpret_cast<unsigned char*>(id.data()),
                             std::size_t(id.size()));
    sodium_memzero(&state, sizeof state);
    m_lookup.clear();
    return id;
}

const SealKey* SealKeys::find(const QByteArray& id)
{
    for (auto it = m_keys.begin(); it != m_keys.end(); ++it) {
        if (it->first == id) {
            m_keys.splice(m_keys.begin(), m_keys, it);
            return &m_keys.front().second;
        }
    }
    return nullptr;
}

const SealKey* SealKeys::key(const QString& password, const QString& prefix)
{
    const QByteArray id = idOf(password, prefix);
    if (const SealKey* found = find(id))
        return found;
    if ((m_running && m_running->id == id) || (m_next && m_next->id == id))
        return nullptr;
    ask(password, prefix, false);
    return nullptr;
}

void SealKeys::prepare(const QString& password, const QString& prefix)
{
    const QByteArray id = idOf(password, prefix);
    if (find(id) || (m_running && m_running->id == id))
        return;
    ask(password, prefix, true);
}

bool SealKeys::wanted(const QString& password, const QString& prefix) const
{
    const QByteArray id = idOf(password, prefix);
    if ((m_running && m_running->id == id) || (m_next && m_next->id == id))
        return true;
    for (const auto& kept : m_keys) {
        if (kept.first == id)
            return true;
    }
    return false;
}

std::optional<std::pair<QString, QString>> SealKeys::newestRequest() const
{
    if (m_next)
        return std::make_pair(m_next->password, m_next->prefix);
    if (m_running)
        return std::make_pair(m_running->password, m_running->prefix);
    return std::nullopt;
}

void SealKeys::ask(const QString& password, const QString& prefix, bool settled)
{
    const bool same = m_next && m_next->id == idOf(password, prefix);
    m_next = Request{password, prefix, idOf(password, prefix)};
    if (settled) {
        m_settle.stop();
        startNext();
    } else if (!same) {
        m_settle.start(); // again from now: it is still being typed
    }
}

void SealKeys::startNext()
{
    if (m_running || !m_next || m_settle.isActive())
        return;
    m_running = std::move(m_next);
    m_next.reset();
    ++m_derivations;
    const QString password = m_running->password;
    const QString prefix = m_running->prefix;
    m_pool.start([this, password, prefix] {
        std::optional<SealKey> derived = deriveSealKey(password, prefix);
        // The pool is waited for before this object goes, so it is alive
        // here; the answer is handed back to its own thread.
        QMetaObject::invokeMethod(
            this, [this, derived] { finish(derived); }, Qt::QueuedConnection);
    });
}

void SealKeys::finish(std::optional<SealKey> key)
{
    const Request done = std::move(*m_running);
    m_running.reset();
    if (key) {
        m_keys.emplace_front(done.id, *key);
        while (m_keys.size() > std::size_t(kKeptKeys))
            m_keys.pop_back(); // wiped as it goes
    }
    emit keyReady(done.password, done.prefix, key.has_value());
    startNext();
}

} // namespace svw
