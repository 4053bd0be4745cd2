// SPDX-License-Identifier: GPL-3.0-or-later
// One room line as the chat window handles it: the prefix match, then the
// rest deciphered through the scratch files and made fit for the box. The
// input is prefix, password, sender and room line separated by NUL bytes,
// read as UTF-8.

#include "fuzz_check.h"
#include "room_line.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>

using namespace svw;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static QTemporaryDir dir;
    static const bool entered = dir.isValid() && QDir::setCurrent(dir.path());
    check(entered);

    const QList<QByteArray> parts =
        QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)).split('\0');
    if (parts.size() < 4)
        return 0;
    const QString prefix = QString::fromUtf8(parts[0]);
    const QString password = QString::fromUtf8(parts[1]);
    const QString sender = QString::fromUtf8(parts[2]);
    const QString text = QString::fromUtf8(parts[3]);

    QFile::remove(QStringLiteral("Got"));
    const auto handled = handleRoomLine(prefix, password, sender, text);

    // A line for another group leaves no trace; a matching one always does.
    check(handled.has_value() == QFile::exists(QStringLiteral("Got")));
    if (!handled)
        return 0;
    check(text.startsWith(prefix));
    check(!handled->fileError);

    // The sender keeps its length, so the separator stands right after it.
    check(QStringView(handled->shown).mid(sender.size()).startsWith(u"  :  "));
    // Nothing that would break the box, cut the line or start another one
    // reaches it, from the sender's name or from the text.
    for (QChar ch : handled->shown) {
        const char16_t u = ch.unicode();
        check(u == u'\t' || (u >= 0x20 && u != 0x7F && (u < 0x80 || u > 0x9F)));
    }
    return 0;
}
