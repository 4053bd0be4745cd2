// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ansi_code.h"

#include <QString>
#include <QStringView>

#include <functional>
#include <optional>

namespace svw {

// Lines and passwords are counted with 16-bit signed counters on the wire
// side of the cipher; anything longer is refused rather than wrapped.
inline constexpr qsizetype kMaxCipherLength = 32767;

// Receives the cipher's output one character at a time, in order.
using EmitStep = std::function<void(QChar)>;

// Why a line could not be enciphered (or, for the length limits, deciphered).
struct CipherError
{
    enum class Kind {
        EmptyLine,           // nothing to encipher
        EmptyKey,            // no password to encipher with
        LineTooLong,         // more than kMaxCipherLength characters
        KeyTooLong,          // a password of more than kMaxCipherLength characters
        TextOutsideCodePage, // a typed character Windows-1252 cannot represent
        KeyOutsideCodePage,  // a password character Windows-1252 cannot represent
        SumAbove255,         // text and password codes add up past the code page
    };

    Kind kind;
    qsizetype position = 0; // 1-based position in the line (or password) at fault
    QString character;      // the character at fault, when there is one
    QString keyCharacter;   // the password character it met, for SumAbove255

    // A sentence for the user that names the character and its position.
    QString message() const;
};

// Enciphers `plain` with `key`, calling `emitStep` once per position with the
// enciphered character: code(text k) + code(key ((k-1) mod m) + 1). A line
// that cannot be enciphered whole emits nothing at all and says why.
std::optional<CipherError> EncodeLine(QStringView plain, QStringView key, const EmitStep& emitStep);

struct DecodeResult
{
    bool stoppedEarly = false;        // a character could not be deciphered
    qsizetype stopPosition = 0;       // 1-based position of that character
    std::optional<CipherError> error; // only the length limits; nothing emitted then
};

// Deciphers `cipher` with `key`, calling `emitStep` once per position. Stops
// early, without emitting, at the first position whose character cannot be
// deciphered: a code below the key code, no key character (empty key), or a
// character outside the code page.
DecodeResult DecodeLine(QStringView cipher, QStringView key, const EmitStep& emitStep);

// Convenience forms that collect the output into a string.
struct EncodeOutcome
{
    QString line;
    std::optional<CipherError> error;
};
EncodeOutcome encodeToString(QStringView plain, QStringView key);
QString decodeToString(QStringView cipher, QStringView key, DecodeResult* result = nullptr);

} // namespace svw
