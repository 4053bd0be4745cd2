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
#include <limits>
#include <map>
#include <optional>

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

// A 32-byte key, wiped when it goes.
class SealKey
{
public:
    SealKey() = default;
    ~SealKey();
    SealKey(const SealKey& other) = default;
    SealKey& operator=(const SealKey& other) = default;

    std::array<unsigned char, 32> bytes{};
};

// Whether libsodium is usable; everything below needs it.
bool sealingAvailable();

// The salt for `prefix`: BLAKE2b-128 over the program's label and the prefix
// in UTF-8, so that every member finds the same salt and each prefix its own.
std::array<unsigned char, 16> sealSalt(const QString& prefix);

// Argon2id with libsodium's interactive limits. Takes a noticeable time
// (tenths of a second) and 64 MiB: never call it on the user-interface thread.
// Nothing when the memory cannot be had.
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
// was changed on the way.
std::optional<OpenedLine> openRoomLine(const SealKey& key, const QString& prefix,
                                       QStringView afterPrefix);

// Which opened lines may be shown: a line said longer ago than the window
// (or that far in the future), or a nonce already seen, is a replay. The
// memory is bounded; when it is full the oldest nonces go and lines said
// before them are refused, so a forgotten nonce never lets a replay through.
class ReplayGuard
{
public:
    static constexpr qint64 kWindowMs = 10 * 60 * 1000;

    explicit ReplayGuard(std::size_t capacity = 100000) : m_capacity(capacity) {}

    // True (and remembered) when the line is fresh.
    bool accept(const OpenedLine& line, qint64 nowMs);
    std::size_t remembered() const { return m_byNonce.size(); }

private:
    void forgetBefore(qint64 timeMs);

    std::size_t m_capacity;
    qint64 m_floorMs = std::numeric_limits<qint64>::min();
    std::map<std::array<unsigned char, kSealNonceBytes>, qint64> m_byNonce;
    std::multimap<qint64, std::array<unsigned char, kSealNonceBytes>> m_byTime;
};

} // namespace svw
