// SPDX-License-Identifier: GPL-3.0-or-later
#include "shown_text.h"

namespace svw {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

char32_t shownCharacter(char32_t code)
{
    if (code == U'\t')
        return code;
    if (code < 0x20)
        return 0x2400 + code;
    if (code == 0x7F)
        return 0x2421;
    if (code >= 0x80 && code <= 0x9F)
        return kReplacement;
    if (code == 0x2028)
        return 0x2424;
    if (code == 0x2029)
        return 0x00B6;
    if (code == 0x200C || code == 0x200D)
        return code;
    if (QChar::category(code) == QChar::Other_Format)
        return kReplacement;
    return code;
}

QString shown(QStringView plain, bool keepLineFeeds)
{
    QString out;
    out.reserve(plain.size());
    for (qsizetype i = 0; i < plain.size(); ++i) {
        const QChar ch = plain[i];
        char32_t code = ch.unicode();
        if (ch.isHighSurrogate() && i + 1 < plain.size() && plain[i + 1].isLowSurrogate()) {
            code = QChar::surrogateToUcs4(ch, plain[++i]);
        } else if (ch.isSurrogate()) {
            out.append(QChar(kReplacement));
            continue;
        }
        const char32_t stand = keepLineFeeds && code == U'\n' ? code : shownCharacter(code);
        if (QChar::requiresSurrogates(stand)) {
            out.append(QChar(QChar::highSurrogate(stand)));
            out.append(QChar(QChar::lowSurrogate(stand)));
        } else {
            out.append(QChar(char16_t(stand)));
        }
    }
    return out;
}

} // namespace

QString shownText(QStringView plain)
{
    return shown(plain, false);
}

QString shownLine(const QString& sender, QStringView plain)
{
    return shownText(sender) + QStringLiteral("  :  ") + shownText(plain);
}

QString shownNote(QStringView note)
{
    return shown(note, true);
}

} // namespace svw
