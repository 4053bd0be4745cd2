// SPDX-License-Identifier: GPL-3.0-or-later
#include "room_line.h"

#include "scratch_sequences.h"
#include "shown_text.h"

namespace svw {

qsizetype leadingLength(QStringView text, qsizetype count)
{
    qsizetype index = 0;
    for (qsizetype n = 0; n < count && index < text.size(); ++n) {
        const bool pair = text[index].isHighSurrogate() && index + 1 < text.size() &&
                          text[index + 1].isLowSurrogate();
        index += pair ? 2 : 1;
    }
    return index;
}

std::optional<HandledRoomLine> handleRoomLine(QStringView prefix, const QString& password,
                                              const QString& sender, const QString& text)
{
    const qsizetype head = leadingLength(text, 5);
    if (QStringView(text).left(head) != prefix)
        return std::nullopt;

    // A line no longer than the prefix leaves nothing to decipher; it shows
    // as its sender and an empty text, as does a line of which nothing
    // deciphers (a wrong password at the first character, an empty password).
    const ReceivedLine received = decipherThroughScratch(text.mid(head), password);
    return HandledRoomLine{shownLine(sender, received.plainLine), received.fileError};
}

} // namespace svw
