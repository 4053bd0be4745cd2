// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "guarded_bytes.h"
#include "sealed_line.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QTimer>

#include <list>
#include <optional>
#include <utility>

namespace svw {

// The sealing keys of one run, derived on a worker thread so the window
// never waits for Argon2id.
//
// A password is often asked for while it is still being typed (lines arrive
// as the user types it), and each derivation costs tenths of a second of a
// processor and 64 MiB. So one derivation runs at a time; what is asked for
// meanwhile replaces anything asked for before it that has not started, and
// starts only once it has stood unchanged for a moment (prepare() says it is
// settled and starts it at once). Only the few keys used last are kept;
// the others are wiped. Nothing keeps a password once its key is made: keys
// are found by a digest keyed with a secret of this run.
class SealKeys : public QObject
{
    Q_OBJECT

public:
    static constexpr int kKeptKeys = 4;
    static constexpr int kSettleMs = 300;

    explicit SealKeys(QObject* parent = nullptr);
    ~SealKeys() override; // waits for a derivation under way

    // The key when it is ready; otherwise asks for it and gives nothing;
    // keyReady() follows once it is made (unless another is asked for
    // before it starts).
    const SealKey* key(const QString& password, const QString& prefix);
    // Asks for the key of a password the user has finished typing: no wait
    // for it to settle.
    void prepare(const QString& password, const QString& prefix);

    // Whether the key is ready, being made, or waiting to be.
    bool wanted(const QString& password, const QString& prefix) const;
    // The pair asked for last that is not ready yet.
    std::optional<std::pair<QString, QString>> newestRequest() const;

    bool pending() const { return m_running.has_value() || m_next.has_value(); }
    int derivations() const { return m_derivations; }
    int keptKeys() const { return int(m_keys.size()); }

signals:
    // On the thread the object lives on. `ok` is false when the key could not
    // be derived (no memory); asking again then tries again.
    void keyReady(const QString& password, const QString& prefix, bool ok);

private:
    struct Request
    {
        QString password;
        QString prefix;
        QByteArray id;
    };

    QByteArray idOf(const QString& password, const QString& prefix) const;
    const SealKey* find(const QByteArray& id);
    void ask(const QString& password, const QString& prefix, bool settled);
    void startNext();
    void finish(std::optional<SealKey> key);

    std::list<std::pair<QByteArray, SealKey>> m_keys; // the one used last first
    std::optional<Request> m_running;
    std::optional<Request> m_next;
    QTimer m_settle;
    SealKey m_idKey; // keys the digests that find keys
    // Where a password's UTF-8 is put to find its key: one guarded buffer
    // for every look-up, as a line arrives, rather than one each.
    mutable GuardedBytes m_lookup{1024};
    int m_derivations = 0;
    QThreadPool m_pool;
};

} // namespace svw
