// SPDX-License-Identifier: GPL-3.0-or-later
#include "irc_capabilities.h"

namespace svw {

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype kSaslChunkBytes = 400;

// A server may list many capabilities; we keep what we might use.
constexpr qsizetype kMaxOfferedCapabilities = 256;

} // namespace

void addOfferedCapabilities(const QString& list, QHash<QString, QString>* offered)
{
    for (const QString& cap : list.split(u' ', Qt::SkipEmptyParts)) {
        if (offered->size() >= kMaxOfferedCapabilities)
            return;
        const qsizetype equals = cap.indexOf(u'=');
        if (equals < 0)
            offered->insert(cap, QString());
        else
            offered->insert(cap.left(equals), cap.mid(equals + 1));
    }
}

QStringList capabilitiesToRequest(const QHash<QString, QString>& offered,
                                  const QString& saslMechanism)
{
    QStringList request;
    for (const QString& wanted : kWantedIrcCapabilities) {
        const auto it = offered.constFind(wanted);
        if (it == offered.constEnd())
            continue;
        if (wanted == u"sasl") {
            if (saslMechanism.isEmpty())
                continue;
            const QStringList mechanisms = it->split(u',', Qt::SkipEmptyParts);
            if (!mechanisms.isEmpty() && !mechanisms.contains(saslMechanism, Qt::CaseInsensitive))
                continue;
        }
        request.append(wanted);
    }
    return request;
}

QString saslMechanismFor(bool haveCertificate, const QString& account, const QString& password)
{
    if (haveCertificate)
        return u"EXTERNAL"_s;
    if (!account.isEmpty() && !password.isEmpty())
        return u"PLAIN"_s;
    return QString();
}

QByteArray saslResponse(const QString& mechanism, const QString& account, const QString& password)
{
    if (mechanism == u"PLAIN")
        return account.toUtf8() + '\0' + account.toUtf8() + '\0' + password.toUtf8();
    return account.toUtf8();
}

QStringList saslChunks(const QByteArray& response)
{
    const QByteArray encoded = response.toBase64();
    QStringList chunks;
    for (qsizetype at = 0; at < encoded.size(); at += kSaslChunkBytes)
        chunks.append(QString::fromLatin1(encoded.mid(at, kSaslChunkBytes)));
    if (encoded.isEmpty() || encoded.size() % kSaslChunkBytes == 0)
        chunks.append(u"+"_s);
    return chunks;
}

} // namespace svw
