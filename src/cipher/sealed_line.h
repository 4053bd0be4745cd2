// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Sealed lines: an authenticated cipher for a group that shares a password
// and a prefix. The key is Argon2id over the password, salted by the prefix;
// each line is XChaCha20-Poly1305 with a fresh random nonce and the prefix as
// associated data. All of the cryptography is libsodium's. The wire format is
// written down in docs/sealed-lines.md.

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace svw {

// Comes right after the prefix. '*' (42) is below every code the old cipher
// makes from printable text (64 and up), so ordinary lines do not carry it.
inline constexpr QStringView kSealMarker = u"*S1*";
inline constexpr quint8 kSealVersion = 1;
inline constexpr int kSealNonceBytes = 24;
inline constexpr int kSealTextIdBytes = 8;
// Nonce, authentication tag and the fixed fields inside the seal.
inline constexpr int kSealOverheadBytes =
    kSealNonceBytes + 16 + 1 + 8 + 1 + 1 + kSealTextIdBytes + 1;

// A 32-byte key in libsodium's guarded memory: locked out of swap, fenced by
// guard pages, wiped when it goes.
class SealKey
{
public:
    static constexpr std::size_t kBytes = 32;

    SealKey(); // all zero; throws std::bad_alloc when no guarded memory is left
    ~SealKey();
    SealKey(const SealKey& other);
    SealKey& operator=(const SealKey& other);

    std::span<unsigned char, kBytes> bytes()
    {
        return std::span<unsigned char, kBytes>(m_bytes, kBytes);
    }
    std::span<const unsigned char, kBytes> bytes() const
    {
        return std::span<const unsigned char, kBytes>(m_bytes, kBytes);
    }

private:
    unsigned char* m_bytes;
};

// Whether libsodium is usable; everything below needs it.
bool sealingAvailable();

// The salt for `prefix`: BLAKE2b-128 over the program's label and the prefix
// in UTF-8, so that every member finds the same salt and each prefix its own.
std::array<unsigned char, 16> sealSalt(const QString& prefix);

// Argon2id with libsodium's interactive limits over the password in Unicode
// normalisation form C, so that the same password typed on systems that
// compose accents differently gives the same key. Takes a noticeable time
// (tenths of a second) and 64 MiB: never call it on the user-interface
// thread. Nothing when the memory cannot be had. The copies of the password
// it makes are in guarded memory and wiped.
std::optional<SealKey> deriveSealKey(const QString& password, const QString& prefix);

// What travels inside a seal.
struct SealedContent
{
    qint64 saidAtMs = 0; // Unix time in milliseconds
    quint8 piece = 0;    // 0-based piece of a text said in several lines
    quint8 pieces = 1;
    std::array<unsigned char, kSealTextIdBytes> textId{}; // the same in every piece of a text
    QString name; // who sealed it, as the room knew them (at most 255 bytes of UTF-8)
    QString text;
};

// The whole room line: prefix, marker, the seal in unpadded base64url.
// `nonce` is for test vectors only; normally a fresh random one is drawn.
QString sealRoomLine(const SealKey& key, const QString& prefix, const SealedContent& content,
                     const std::array<unsigned char, kSealNonceBytes>* nonce = nullptr);

// The length in characters of a room line sealing `name` and `textBytes`
// bytes of UTF-8 behind `prefix`, for cutting long texts.
qsizetype sealedRoomLineLength(const QString& prefix, const QString& name, qsizetype textBytes);

// Whether what follows the prefix is a sealed line (it may still not open).
bool carriesSealMarker(QStringView afterPrefix);

struct OpenedLine
{
    SealedContent content;
    std::array<unsigned char, kSealNonceBytes> nonce{};
};

// Opens what follows the prefix. Nothing when the marker is missing, the
// encoding or the layout is wrong, the key or prefix differ, or a single bit
// was changed on the way. An authentic line of another version of the
// format also gives nothing, with its version byte in `otherVersion`.
std::optional<OpenedLine> openRoomLine(const SealKey& key, const QString& prefix,
                                       QStringView afterPrefix, int* otherVersion = nullptr);

} // namespace svw
