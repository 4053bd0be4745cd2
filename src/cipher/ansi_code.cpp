// SPDX-License-Identifier: GPL-3.0-or-later
#include "ansi_code.h"

#include <array>

namespace svw {

namespace {

// Windows-1252 differs from Latin-1 only in 0x80..0x9F. Qt's converters
// cover Windows-1252 only through ICU, and even there the five unassigned
// codes are not guaranteed to map to themselves and back; the cipher needs
// all 256 codes one-to-one, so the table is ours.
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, // 80..87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F, // 88..8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 90..97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178, // 98..9F
};

} // namespace

QChar charOfAnsiCode(AnsiCode code)
{
    if (code >= 0x80 && code <= 0x9F)
        return QChar(kHighControls[code - 0x80]);
    return QChar(char16_t(code));
}

std::optional<AnsiCode> ansiCodeOf(QChar ch)
{
    const char16_t u = ch.unicode();
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF))
        return AnsiCode(u);
    for (std::size_t i = 0; i < kHighControls.size(); ++i) {
        if (kHighControls[i] == u)
            return AnsiCode(0x80 + i);
    }
    return std::nullopt;
}

QByteArray toAnsiBytes(QStringView text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (QChar ch : text)
        bytes.append(char(ansiCodeOf(ch).value_or('?')));
    return bytes;
}

QString fromAnsiBytes(QByteArrayView bytes)
{
    QString text;
    text.reserve(bytes.size());
    for (char b : bytes)
        text.append(charOfAnsiCode(AnsiCode(b)));
    return text;
}

QString describeCharacter(QStringView text, qsizetype index)
{
    if (index < 0 || index >= text.size())
        return {};
    char32_t code = text[index].unicode();
    qsizetype length = 1;
    if (text[index].isHighSurrogate() && index + 1 < text.size() &&
        text[index + 1].isLowSurrogate()) {
        code = QChar::surrogateToUcs4(text[index], text[index + 1]);
        length = 2;
    }
    QString codePoint = QStringLiteral("U+%1")
                            .arg(uint(code), code > 0xFFFF ? 5 : 4, 16, QLatin1Char('0'))
                            .toUpper();
    // Control characters and lone surrogates are named by code point alone.
    const QString shown = text.mid(index, length).toString();
    if (QChar::isPrint(code))
        return QStringLiteral("\"%1\" (%2)").arg(shown, codePoint);
    return codePoint;
}

} // namespace svw
