// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "sealed_line.h"

#include <QByteArray>
#include <QString>

#include <sodium.h>

#include <vector>

namespace svw::testing {

// A seal made here from raw bytes, for what no program of ours seals.
inline QString rawSeal(const SealKey& key, const QString& prefix, quint8 version,
                       const QByteArray& text)
{
    QByteArray plain(1, char(version));
    plain += QByteArray::fromHex("0000019b76daa800"); // said at 1767225600000
    plain += QByteArray::fromHex("0001") + QByteArray(8, '\x07') + QByteArray(1, '\0') + text;
    std::vector<unsigned char> seal(kSealNonceBytes + std::size_t(plain.size()) + 16);
    randombytes_buf(seal.data(), kSealNonceBytes);
    const QByteArray ad = prefix.toUtf8();
    crypto_aead_xchacha20poly1305_ietf_encrypt(
        seal.data() + kSealNonceBytes, nullptr,
        reinterpret_cast<const unsigned char*>(plain.data()), std::size_t(plain.size()),
        reinterpret_cast<const unsigned char*>(ad.data()), std::size_t(ad.size()), nullptr,
        seal.data(), key.bytes().data());
    const QByteArray base64 =
        QByteArray(reinterpret_cast<const char*>(seal.data()), qsizetype(seal.size()))
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    return prefix + kSealMarker.toString() + QString::fromLatin1(base64);
}

} // namespace svw::testing
