// SPDX-License-Identifier: GPL-3.0-or-later
#include "line_cipher.h"

namespace svw {

namespace {

CipherError makeError(CipherError::Kind kind, qsizetype position = 0, QString character = {},
                      QString keyCharacter = {})
{
    return CipherError{kind, position, std::move(character), std::move(keyCharacter)};
}

// The first character of `text` that the code page cannot represent.
std::optional<qsizetype> firstOutsideCodePage(QStringView text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (!ansiCodeOf(text[i]))
            return i;
    }
    return std::nullopt;
}

} // namespace

QString CipherError::message() const
{
    switch (kind) {
    case Kind::EmptyLine:
        return QStringLiteral("There is no text to encipher.");
    case Kind::EmptyKey:
        return QStringLiteral("There is no password to encipher with.");
    case Kind::LineTooLong:
        return QStringLiteral(
                   "The line is too long: at most %1 characters can be enciphered at once.")
            .arg(kMaxCipherLength);
    case Kind::KeyTooLong:
        return QStringLiteral("The password is too long: it may have at most %1 characters.")
            .arg(kMaxCipherLength);
    case Kind::TextOutsideCodePage:
        return QStringLiteral("The text cannot be sent: the character %1 at position %2 cannot be "
                              "enciphered. Only Western European (Windows-1252) characters can.")
            .arg(character)
            .arg(position);
    case Kind::KeyOutsideCodePage:
        return QStringLiteral(
                   "The password cannot be used: its character %1 at position %2 is not a "
                   "Western European (Windows-1252) character.")
            .arg(character)
            .arg(position);
    case Kind::SumAbove255:
        return QStringLiteral(
                   "The text cannot be sent with this password: the character %1 at "
                   "position %2 meets the password character %3 and together they go past "
                   "the end of the character table. Use plain letters in the password or "
                   "avoid accented characters in the text.")
            .arg(character)
            .arg(position)
            .arg(keyCharacter);
    }
    return {};
}

std::optional<CipherError> EncodeLine(QStringView plain, QStringView key, const EmitStep& emitStep)
{
    using Kind = CipherError::Kind;
    if (plain.isEmpty())
        return makeError(Kind::EmptyLine);
    if (key.isEmpty())
        return makeError(Kind::EmptyKey);
    if (plain.size() > kMaxCipherLength)
        return makeError(Kind::LineTooLong);
    if (key.size() > kMaxCipherLength)
        return makeError(Kind::KeyTooLong);
    if (const auto i = firstOutsideCodePage(plain))
        return makeError(Kind::TextOutsideCodePage, *i + 1, describeCharacter(plain, *i));
    if (const auto i = firstOutsideCodePage(key))
        return makeError(Kind::KeyOutsideCodePage, *i + 1, describeCharacter(key, *i));

    // The whole line is enciphered before the first character is emitted, so a
    // line that fails part-way leaves nothing behind.
    QString cipher(plain.size(), Qt::Uninitialized);
    const qsizetype n = plain.size();
    const qsizetype m = key.size();
    qsizetype k = 0;
    qsizetype j = 0;
    while (k != n) {
        ++k;
        ++j;
        const int a = *ansiCodeOf(plain[k - 1]);
        const int b = *ansiCodeOf(key[j - 1]);
        const int s = a + b;
        if (s > 255) {
            return makeError(Kind::SumAbove255, k, describeCharacter(plain, k - 1),
                             describeCharacter(key, j - 1));
        }
        cipher[k - 1] = charOfAnsiCode(AnsiCode(s));
        if (j == m)
            j = 0;
    }
    for (QChar ch : std::as_const(cipher))
        emitStep(ch);
    return std::nullopt;
}

DecodeResult DecodeLine(QStringView cipher, QStringView key, const EmitStep& emitStep)
{
    DecodeResult result;
    if (cipher.size() > kMaxCipherLength) {
        result.error = makeError(CipherError::Kind::LineTooLong);
        return result;
    }
    if (key.size() > kMaxCipherLength) {
        result.error = makeError(CipherError::Kind::KeyTooLong);
        return result;
    }

    const qsizetype n = cipher.size();
    const qsizetype m = key.size();
    qsizetype k = 0;
    qsizetype j = 0;
    while (k != n) {
        ++k;
        ++j;
        const auto c = ansiCodeOf(cipher[k - 1]);
        const auto b = j <= m ? ansiCodeOf(key[j - 1]) : std::nullopt;
        // No key character (an empty key), a character outside the code page,
        // or a negative difference: this position cannot be deciphered.
        if (!c || !b || int(*c) - int(*b) < 0) {
            result.stoppedEarly = true;
            result.stopPosition = k;
            return result;
        }
        const QChar plain = charOfAnsiCode(AnsiCode(*c - *b));
        if (j == m)
            j = 0;
        emitStep(plain);
    }
    return result;
}

EncodeOutcome encodeToString(QStringView plain, QStringView key)
{
    EncodeOutcome outcome;
    outcome.line.reserve(plain.size());
    outcome.error = EncodeLine(plain, key, [&](QChar ch) { outcome.line.append(ch); });
    return outcome;
}

QString decodeToString(QStringView cipher, QStringView key, DecodeResult* result)
{
    QString plain;
    plain.reserve(cipher.size());
    const DecodeResult r = DecodeLine(cipher, key, [&](QChar ch) { plain.append(ch); });
    if (result)
        *result = r;
    return plain;
}

} // namespace svw
