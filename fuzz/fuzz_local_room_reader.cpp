// SPDX-License-Identifier: GPL-3.0-or-later
// What one copy of the program may receive from another over the local
// room's socket: a byte stream cut into frames, each frame read as a message.
// The first input byte decides how the stream is split into reads.

#include "fuzz_check.h"
#include "local_room_protocol.h"

#include <cstdint>

using namespace svw;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const qsizetype chunk = 1 + data[0] % 64;
    const QByteArray stream(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));

    LocalRoomFrameReader reader;
    qsizetype handed = 0;
    for (qsizetype at = 0; at < stream.size(); at += chunk) {
        reader.append(stream.mid(at, chunk));
        for (;;) {
            QByteArray body;
            const auto status = reader.next(&body);
            if (status == LocalRoomFrameReader::Status::NeedMore)
                break;
            if (status == LocalRoomFrameReader::Status::Broken)
                return 0; // the connection would be dropped here
            check(!body.isEmpty() && body.size() <= kLocalRoomMaxFrame);
            handed += 4 + body.size();
            // A message that reads back is written out and read in again
            // unchanged, and the name a host passes on is a bounded prefix
            // of the one it was given.
            if (const auto message = decodeLocalRoomMessage(body)) {
                const auto again = decodeLocalRoomMessage(encodeLocalRoomMessage(*message));
                check(again.has_value() && *again == *message);
                check(message->missed >= 0);
                const QString nick = boundLocalRoomNick(message->nick);
                check(nick.size() <= kLocalRoomMaxNick && message->nick.startsWith(nick));
                check(!QStringView(message->nick).isValidUtf16() ||
                      QStringView(nick).isValidUtf16());
            }
        }
    }
    check(handed + reader.buffered() == stream.size());
    return 0;
}
