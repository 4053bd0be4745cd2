// SPDX-License-Identifier: GPL-3.0-or-later
#include "shown_text.h"

namespace svw {

QString shownText(QStringView plain)
{
    QString shown = plain.toString();
    for (QChar& ch : shown) {
        const char16_t code = ch.unicode();
        if (code == u'\t')
            continue;
        if (code < 0x20)
            ch = QChar(char16_t(0x2400 + code));
        else if (code == 0x7F)
            ch = QChar(char16_t(0x2421));
        else if (code >= 0x80 && code <= 0x9F)
            ch = QChar(QChar::ReplacementCharacter);
    }
    return shown;
}

QString shownLine(const QString& sender, QStringView plain)
{
    return shownText(sender) + QStringLiteral("  :  ") + shownText(plain);
}

} // namespace svw
