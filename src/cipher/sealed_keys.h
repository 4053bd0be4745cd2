// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "sealed_line.h"

#include <QObject>
#include <QString>
#include <QThreadPool>

#include <map>
#include <optional>
#include <set>
#include <utility>

namespace svw {

// The sealing keys of one run, one for each password and prefix, derived on
// a worker thread so the window never waits for Argon2id. A pair is derived
// at most once: asking again while it is under way, or after it is done,
// starts nothing.
class SealKeys : public QObject
{
    Q_OBJECT

public:
    explicit SealKeys(QObject* parent = nullptr);
    ~SealKeys() override; // waits for a derivation under way

    // The key when it is ready; otherwise starts deriving it (once) and
    // gives nothing; keyReady() follows.
    const SealKey* key(const QString& password, const QString& prefix);
    void prepare(const QString& password, const QString& prefix) { key(password, prefix); }

    bool pending() const { return !m_pending.empty(); }
    int derivations() const { return m_derivations; }

signals:
    // On the thread the object lives on. `ok` is false when the key could not
    // be derived (no memory); asking again then tries again.
    void keyReady(const QString& password, const QString& prefix, bool ok);

private:
    void finish(const std::pair<QString, QString>& pair, std::optional<SealKey> key);

    std::map<std::pair<QString, QString>, SealKey> m_keys;
    std::set<std::pair<QString, QString>> m_pending;
    int m_derivations = 0;
    QThreadPool m_pool;
};

} // namespace svw
