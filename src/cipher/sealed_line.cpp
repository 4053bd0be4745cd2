// SPDX-License-Identifier: GPL-3.0-or-later
#include "sealed_line.h"

#include "guarded_bytes.h"

#include <QScopeGuard>
#include <QtEndian>

#include <sodium.h>

#include <new>
#include <vector>

namespace svw {

namespace {

constexpr char kSaltLabel[] = "Solvane Veilwire sealed lines 1";
constexpr int kFixedBytes = 1 + 8 + 1 + 1 + kSealTextIdBytes + 1;
constexpr int kTagBytes = crypto_aead_xchacha20poly1305_ietf_ABYTES;

static_assert(kSealNonceBytes == crypto_aead_xchacha20poly1305_ietf_NPUBBYTES);
static_assert(crypto_aead_xchacha20poly1305_ietf_KEYBYTES == 32);
static_assert(crypto_pwhash_SALTBYTES == 16);
static_assert(kSealOverheadBytes == kSealNonceBytes + kTagBytes + kFixedBytes);

const unsigned char* bytes(const QByteArray& data)
{
    return reinterpret_cast<const unsigned char*>(data.constData());
}

QString toBase64Url(const std::vector<unsigned char>& data)
{
    const int variant = sodium_base64_VARIANT_URLSAFE_NO_PADDING;
    QByteArray out(qsizetype(sodium_base64_ENCODED_LEN(data.size(), variant)), '\0');
    sodium_bin2base64(out.data(), std::size_t(out.size()), data.data(), data.size(), variant);
    out.chop(1); // the terminating NUL
    return QString::fromLatin1(out);
}

// Strict: any character outside the alphabet, or padding, is refused.
std::optional<std::vector<unsigned char>> fromBase64Url(QStringView text)
{
    const QByteArray ascii = text.toLatin1();
    if (ascii.size() != text.size())
        return std::nullopt;
    std::vector<unsigned char> out(std::size_t(ascii.size()) * 3 / 4 + 1);
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(out.data(), out.size(), ascii.constData(), std::size_t(ascii.size()),
                          nullptr, &length, &end, sodium_base64_VARIANT_URLSAFE_NO_PADDING) != 0 ||
        end != ascii.constData() + ascii.size())
        return std::nullopt;
    out.resize(length);
    return out;
}

// The name is cut to 255 bytes of UTF-8 at a character boundary.
QByteArray nameBytes(const QString& name)
{
    QString cut = name;
    QByteArray utf8 = cut.toUtf8();
    while (utf8.size() > 255) {
        cut.chop(cut.size() >= 2 && cut.back().isLowSurrogate() ? 2 : 1);
        utf8 = cut.toUtf8();
    }
    return utf8;
}

} // namespace

SealKey::SealKey()
    : m_bytes(sealingAvailable() ? static_cast<unsigned char*>(sodium_malloc(kBytes)) : nullptr)
{
    if (!m_bytes)
        throw std::bad_alloc();
    sodium_memzero(m_bytes, kBytes);
}

SealKey::~SealKey()
{
    sodium_free(m_bytes); // wipes it first
}

SealKey::SealKey(const SealKey& other) : SealKey()
{
    std::copy(other.m_bytes, other.m_bytes + kBytes, m_bytes);
}

SealKey& SealKey::operator=(const SealKey& other)
{
    if (this != &other)
        std::copy(other.m_bytes, other.m_bytes + kBytes, m_bytes);
    return *this;
}

bool sealingAvailable()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

std::array<unsigned char, 16> sealSalt(const QString& prefix)
{
    QByteArray input(kSaltLabel, sizeof kSaltLabel); // the label's NUL separates it
    input += prefix.toUtf8();
    std::array<unsigned char, 16> salt{};
    crypto_generichash(salt.data(), salt.size(), bytes(input), std::size_t(input.size()), nullptr,
                       0);
    return salt;
}

std::optional<SealKey> deriveSealKey(const QString& password, const QString& prefix)
{
    if (!sealingAvailable())
        return std::nullopt;
    // The normalised text and its UTF-8 are the only copies made here; both
    // are wiped, the UTF-8 lives in guarded memory.
    QString normal = password.normalized(QString::NormalizationForm_C);
    const GuardedBytes secret = GuardedBytes::utf8(normal);
    sodium_memzero(normal.data(), std::size_t(normal.size()) * sizeof(QChar));
    if (!secret.data())
        return std::nullopt;
    const auto salt = sealSalt(prefix);
    std::optional<SealKey> key;
    try {
        key.emplace();
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    const int result =
        crypto_pwhash(key->bytes().data(), SealKey::kBytes, secret.chars(), secret.size(),
                      salt.data(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                      crypto_pwhash_MEMLIMIT_INTERACTIVE, crypto_pwhash_ALG_ARGON2ID13);
    if (result != 0)
        return std::nullopt;
    return key;
}

QString sealRoomLine(const SealKey& key, const QString& prefix, const SealedContent& content,
                     const std::array<unsigned char, kSealNonceBytes>* nonce)
{
    sealingAvailable();
    const QByteArray name = nameBytes(content.name);
    QByteArray text = content.text.toUtf8();

    std::vector<unsigned char> plain;
    plain.reserve(std::size_t(kFixedBytes + name.size() + text.size()));
    plain.push_back(kSealVersion);
    unsigned char time[8];
    qToBigEndian(quint64(content.saidAtMs), time);
    plain.insert(plain.end(), time, time + 8);
    plain.push_back(content.piece);
    plain.push_back(content.pieces);
    plain.insert(plain.end(), content.textId.begin(), content.textId.end());
    plain.push_back(static_cast<unsigned char>(name.size()));
    plain.insert(plain.end(), bytes(name), bytes(name) + name.size());
    plain.insert(plain.end(), bytes(text), bytes(text) + text.size());

    std::vector<unsigned char> seal(kSealNonceBytes + plain.size() + kTagBytes);
    if (nonce)
        std::copy(nonce->begin(), nonce->end(), seal.begin());
    else
        randombytes_buf(seal.data(), kSealNonceBytes);
    const QByteArray associated = prefix.toUtf8();
    unsigned long long sealedLength = 0;
    crypto_aead_xchacha20poly1305_ietf_encrypt(
        seal.data() + kSealNonceBytes, &sealedLength, plain.data(), plain.size(), bytes(associated),
        std::size_t(associated.size()), nullptr, seal.data(), key.bytes().data());
    sodium_memzero(plain.data(), plain.size());
    sodium_memzero(text.data(), std::size_t(text.size()));
    return prefix + kSealMarker.toString() + toBase64Url(seal);
}

qsizetype sealedRoomLineLength(const QString& prefix, const QString& name, qsizetype textBytes)
{
    const qsizetype sealBytes = kSealOverheadBytes + nameBytes(name).size() + textBytes;
    return prefix.size() + kSealMarker.size() + (sealBytes * 4 + 2) / 3;
}

bool carriesSealMarker(QStringView afterPrefix)
{
    return afterPrefix.startsWith(kSealMarker);
}

std::optional<OpenedLine> openRoomLine(const SealKey& key, const QString& prefix,
                                       QStringView afterPrefix, int* otherVersion)
{
    if (!carriesSealMarker(afterPrefix) || !sealingAvailable())
        return std::nullopt;
    const auto seal = fromBase64Url(afterPrefix.mid(kSealMarker.size()));
    if (!seal || seal->size() < std::size_t(kSealOverheadBytes))
        return std::nullopt;

    std::vector<unsigned char> plain(seal->size() - kSealNonceBytes - kTagBytes);
    // Whatever becomes of the line, the plain text does not stay behind.
    const auto wipe = qScopeGuard([&plain] { sodium_memzero(plain.data(), plain.size()); });
    unsigned long long plainLength = 0;
    const QByteArray associated = prefix.toUtf8();
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(
            plain.data(), &plainLength, nullptr, seal->data() + kSealNonceBytes,
            seal->size() - kSealNonceBytes, bytes(associated), std::size_t(associated.size()),
            seal->data(), key.bytes().data()) != 0)
        return std::nullopt;

    // Authentic from here on, but a later version may lay it out otherwise.
    if (plain[0] != kSealVersion) {
        if (otherVersion)
            *otherVersion = plain[0];
        return std::nullopt;
    }
    OpenedLine opened;
    std::copy(seal->begin(), seal->begin() + kSealNonceBytes, opened.nonce.begin());
    SealedContent& content = opened.content;
    content.saidAtMs = qint64(qFromBigEndian<quint64>(plain.data() + 1));
    content.piece = plain[9];
    content.pieces = plain[10];
    std::copy(plain.begin() + 11, plain.begin() + 11 + kSealTextIdBytes, content.textId.begin());
    const std::size_t nameLength = plain[kFixedBytes - 1];
    if (content.pieces == 0 || content.piece >= content.pieces ||
        kFixedBytes + nameLength > plainLength)
        return std::nullopt;
    // Bytes that are not UTF-8 (no program of ours seals them) show as
    // U+FFFD, one for each bad sequence: the line is authentic, and what is
    // good in it is still worth reading.
    const auto* name = reinterpret_cast<const char*>(plain.data() + kFixedBytes);
    content.name = QString::fromUtf8(name, qsizetype(nameLength));
    content.text =
        QString::fromUtf8(name + nameLength, qsizetype(plainLength - kFixedBytes - nameLength));
    return opened;
}

} // namespace svw
