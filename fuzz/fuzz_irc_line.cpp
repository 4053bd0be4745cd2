// SPDX-License-Identifier: GPL-3.0-or-later
// Whatever an IRC server or another client may send, through the line
// parser; and every parsed command formatted again and read back unchanged.

#include "fuzz_check.h"
#include "irc_message.h"

#include <cstdint>

using namespace svw;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArrayView line(reinterpret_cast<const char*>(data), qsizetype(size));
    const std::optional<IrcMessage> message = parseIrcLine(line);
    if (!message)
        return 0;
    check(!message->command.isEmpty());
    message->nick();
    message->user();
    message->host();
    for (auto it = message->tags.cbegin(); it != message->tags.cend(); ++it)
        check(unescapeIrcTagValue(escapeIrcTagValue(it.value())) == it.value());

    // The formatter either refuses or writes a line that parses back the same.
    const std::optional<QByteArray> again =
        formatIrcCommand(message->command, message->params, true);
    if (!again)
        return 0;
    check(again->size() <= kIrcMaxLineBytes);
    check(again->endsWith("\r\n"));
    check(again->count('\r') == 1 && again->count('\n') == 1 && !again->contains('\0'));
    const std::optional<IrcMessage> reread = parseIrcLine(*again);
    check(reread.has_value());
    check(reread->command == message->command);
    check(reread->params == message->params);
    return 0;
}
