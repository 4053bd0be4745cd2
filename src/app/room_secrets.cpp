// SPDX-License-Identifier: GPL-3.0-or-later
#include "room_secrets.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>

#include <qt6keychain/keychain.h>

namespace svw {

namespace {

const QString kService = QStringLiteral("svw");

// QtKeychain's jobs answer through the event loop; the callers here need
// the answer before they go on (a room is made from it).
void runToEnd(QKeychain::Job& job)
{
    QEventLoop loop;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, &QEventLoop::quit);
    job.setAutoDelete(false);
    job.start();
    loop.exec();
}

bool keyringAnswered(QKeychain::Error error)
{
    return error == QKeychain::NoError || error == QKeychain::EntryNotFound;
}

} // namespace

std::optional<RoomCredentials> RoomSecrets::read(const QString& address)
{
    if (!available())
        return std::nullopt;
    QKeychain::ReadPasswordJob job(kService);
    job.setKey(address);
    runToEnd(job);
    if (job.error() != QKeychain::NoError)
        return std::nullopt;
    const QJsonObject entry = QJsonDocument::fromJson(job.textData().toUtf8()).object();
    RoomCredentials read;
    read.serverPassword = entry.value(QLatin1String("serverPassword")).toString();
    read.saslAccount = entry.value(QLatin1String("saslAccount")).toString();
    read.saslPassword = entry.value(QLatin1String("saslPassword")).toString();
    read.clientCertificate = entry.value(QLatin1String("clientCertificate")).toString();
    return read;
}

bool RoomSecrets::write(const QString& address, const RoomCredentials& credentials)
{
    if (!available())
        return false;
    const QJsonObject entry{{QLatin1String("serverPassword"), credentials.serverPassword},
                            {QLatin1String("saslAccount"), credentials.saslAccount},
                            {QLatin1String("saslPassword"), credentials.saslPassword},
                            {QLatin1String("clientCertificate"), credentials.clientCertificate}};
    QKeychain::WritePasswordJob job(kService);
    job.setKey(address);
    job.setTextData(QString::fromUtf8(QJsonDocument(entry).toJson(QJsonDocument::Compact)));
    runToEnd(job);
    return job.error() == QKeychain::NoError;
}

bool RoomSecrets::available()
{
    if (!m_available) {
        // An entry nobody wrote: a keyring that answers says it is not there.
        QKeychain::ReadPasswordJob probe(kService);
        probe.setKey(QStringLiteral("svw: is a keyring there?"));
        runToEnd(probe);
        m_available = keyringAnswered(probe.error());
    }
    return *m_available;
}

} // namespace svw
