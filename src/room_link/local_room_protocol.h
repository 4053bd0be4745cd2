// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <optional>

namespace svw {

// What the copies of one local room say to each other over their sockets.
//
// Every message travels as a frame: a 4-byte big-endian length, then that
// many bytes of one CBOR map. The length bounds what a peer can make us
// buffer; a frame that is empty, longer than kLocalRoomMaxFrame, or whose
// body is not a well-formed message ends the connection to that peer.

// The largest frame body one copy accepts from another. A room line must fit
// in one frame together with the sender's name and numbering.
inline constexpr qsizetype kLocalRoomMaxFrame = 1024 * 1024;

// The bytes naming one copy in the room: its process id (four bytes, big
// endian), so a host can tell the copy from another process using its name,
// then random bytes made afresh for each room control, so a restarted copy
// never collides with its former self.
inline constexpr qsizetype kLocalRoomOriginSize = 16;

// The longest sender's name a host passes on; longer ones are cut, so one
// copy cannot make every window lay out a name of a million characters.
inline constexpr qsizetype kLocalRoomMaxNick = 100;

// A copy's conversation with the host:
//   copy: hello, then says;    host: welcome, then lines and pings.
struct LocalRoomMessage
{
    enum class Kind {
        Hello,   // a copy's first message: who it is and what it has seen
        Welcome, // the host's first answer: from here on the copy gets every line
        Say,     // a copy asks the host to say a line in the room
        Line,    // the host tells every copy a line said in the room, in room order
        Ping,    // the host is alive; sent when it has nothing else to say
    };

    Kind kind = Kind::Say;
    QByteArray origin; // Hello: the copy; Say and Line: the copy that said the line
    qint64 number = 0; // Say and Line: that copy's own count of lines said, from 1
    QString nick;      // Say and Line: the sender's name, shown in front of the line
    QString text;      // Say and Line: the line exactly as said

    // Hello: whether the copy has never been in the room (it wants no earlier
    // lines), and the last number it has seen from each origin, so that a
    // returning copy gets what it missed while it was away.
    // Welcome: the last number the host has seen from each origin, where a
    // new copy starts counting and against which a returning one checks the
    // count of lines it missed that the host no longer holds.
    bool fresh = true;
    QHash<QByteArray, qint64> seen;
    qint64 missed = 0;

    bool operator==(const LocalRoomMessage&) const = default;
};

// `nick` cut to kLocalRoomMaxNick UTF-16 units, never inside a character.
QString boundLocalRoomNick(const QString& nick);

// The message's frame body, without the length prefix.
QByteArray encodeLocalRoomMessage(const LocalRoomMessage& message);

// The whole frame: length prefix and body.
QByteArray frameLocalRoomMessage(const LocalRoomMessage& message);

// Reads a frame body back; nothing when it is not exactly one well-formed
// message (unknown kind, missing or mistyped field, trailing bytes).
std::optional<LocalRoomMessage> decodeLocalRoomMessage(const QByteArray& body);

// Cuts a byte stream into frame bodies. Bytes arrive in any pieces; a frame
// that is not complete yet stays buffered until the rest comes.
class LocalRoomFrameReader
{
public:
    enum class Status {
        Frame,    // *body holds the next frame body
        NeedMore, // no complete frame buffered
        Broken,   // the stream announced an empty or oversized frame
    };

    void append(const QByteArray& bytes);
    Status next(QByteArray* body);
    void clear();

    // Bytes received but not handed out yet.
    qsizetype buffered() const { return m_buffer.size() - m_start; }

private:
    QByteArray m_buffer;
    qsizetype m_start = 0; // consumed bytes at the front, dropped on the next append
};

} // namespace svw
