// SPDX-License-Identifier: GPL-3.0-or-later
#include "local_room_protocol.h"

#include <QCborMap>
#include <QCborStreamReader>
#include <QCborValue>
#include <QtEndian>

namespace svw {

namespace {

// CBOR rather than a hand-made layout: Qt reads and checks it for us, and any
// text (control characters and all) survives as it is. Field names are kept
// readable; their few bytes do not matter next to a line.
const QString kKindKey = QStringLiteral("type");
const QString kOriginKey = QStringLiteral("origin");
const QString kNumberKey = QStringLiteral("number");
const QString kNickKey = QStringLiteral("nick");
const QString kTextKey = QStringLiteral("text");
const QString kFreshKey = QStringLiteral("fresh");
const QString kSeenKey = QStringLiteral("seen");
const QString kMissedKey = QStringLiteral("missed");
const QString kHello = QStringLiteral("hello");
const QString kWelcome = QStringLiteral("welcome");
const QString kSay = QStringLiteral("say");
const QString kLine = QStringLiteral("line");
const QString kPing = QStringLiteral("ping");

QCborMap encodeSeen(const QHash<QByteArray, qint64>& seen)
{
    QCborMap map;
    for (auto it = seen.cbegin(); it != seen.cend(); ++it)
        map.insert(QCborValue(it.key()), QCborValue(it.value()));
    return map;
}

bool decodeSeen(const QCborValue& value, QHash<QByteArray, qint64>* seen)
{
    if (!value.isMap())
        return false;
    const QCborMap map = value.toMap();
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        const QCborValue key = it.key();
        const QCborValue number = it.value();
        if (!key.isByteArray() || key.toByteArray().size() != kLocalRoomOriginSize ||
            !number.isInteger() || number.toInteger() < 1)
            return false;
        seen->insert(key.toByteArray(), number.toInteger());
    }
    return true;
}

} // namespace

QString boundLocalRoomNick(const QString& nick)
{
    if (nick.size() <= kLocalRoomMaxNick)
        return nick;
    qsizetype end = kLocalRoomMaxNick;
    if (nick.at(end - 1).isHighSurrogate())
        --end;
    return nick.left(end);
}

QByteArray encodeLocalRoomMessage(const LocalRoomMessage& message)
{
    QCborMap map;
    switch (message.kind) {
    case LocalRoomMessage::Kind::Hello: {
        map.insert(kKindKey, kHello);
        map.insert(kOriginKey, message.origin);
        map.insert(kFreshKey, message.fresh);
        map.insert(kSeenKey, encodeSeen(message.seen));
        break;
    }
    case LocalRoomMessage::Kind::Welcome:
        map.insert(kKindKey, kWelcome);
        map.insert(kSeenKey, encodeSeen(message.seen));
        map.insert(kMissedKey, message.missed);
        break;
    case LocalRoomMessage::Kind::Ping:
        map.insert(kKindKey, kPing);
        break;
    case LocalRoomMessage::Kind::Say:
    case LocalRoomMessage::Kind::Line:
        map.insert(kKindKey, message.kind == LocalRoomMessage::Kind::Say ? kSay : kLine);
        map.insert(kOriginKey, message.origin);
        map.insert(kNumberKey, message.number);
        map.insert(kNickKey, message.nick);
        map.insert(kTextKey, message.text);
        break;
    }
    return map.toCborValue().toCbor();
}

QByteArray frameLocalRoomMessage(const LocalRoomMessage& message)
{
    const QByteArray body = encodeLocalRoomMessage(message);
    QByteArray frame(4, Qt::Uninitialized);
    qToBigEndian<quint32>(quint32(body.size()), frame.data());
    frame += body;
    return frame;
}

std::optional<LocalRoomMessage> decodeLocalRoomMessage(const QByteArray& body)
{
    QCborStreamReader reader(body);
    const QCborValue value = QCborValue::fromCbor(reader);
    if (reader.lastError() != QCborError::NoError || reader.currentOffset() != body.size() ||
        !value.isMap())
        return std::nullopt;

    const QCborMap map = value.toMap();
    const QString kind = map.value(kKindKey).toString();
    const QCborValue origin = map.value(kOriginKey);
    LocalRoomMessage message;

    if (kind == kPing && map.size() == 1) {
        message.kind = LocalRoomMessage::Kind::Ping;
        return message;
    }
    if (kind == kWelcome) {
        const QCborValue missed = map.value(kMissedKey);
        if (!missed.isInteger() || missed.toInteger() < 0 ||
            !decodeSeen(map.value(kSeenKey), &message.seen))
            return std::nullopt;
        message.kind = LocalRoomMessage::Kind::Welcome;
        message.missed = missed.toInteger();
        return message;
    }

    if (!origin.isByteArray() || origin.toByteArray().size() != kLocalRoomOriginSize)
        return std::nullopt;
    message.origin = origin.toByteArray();

    if (kind == kHello) {
        const QCborValue fresh = map.value(kFreshKey);
        if (!fresh.isBool() || !decodeSeen(map.value(kSeenKey), &message.seen))
            return std::nullopt;
        message.kind = LocalRoomMessage::Kind::Hello;
        message.fresh = fresh.toBool();
        return message;
    }

    if (kind == kSay)
        message.kind = LocalRoomMessage::Kind::Say;
    else if (kind == kLine)
        message.kind = LocalRoomMessage::Kind::Line;
    else
        return std::nullopt;
    const QCborValue number = map.value(kNumberKey);
    const QCborValue nick = map.value(kNickKey);
    const QCborValue text = map.value(kTextKey);
    if (!number.isInteger() || number.toInteger() < 1 || !nick.isString() || !text.isString())
        return std::nullopt;
    message.number = number.toInteger();
    message.nick = nick.toString();
    message.text = text.toString();
    return message;
}

void LocalRoomFrameReader::append(const QByteArray& bytes)
{
    // Drop what was handed out before growing, so a long session does not
    // keep every byte it ever received.
    if (m_start > 0) {
        m_buffer.remove(0, m_start);
        m_start = 0;
    }
    m_buffer += bytes;
}

LocalRoomFrameReader::Status LocalRoomFrameReader::next(QByteArray* body)
{
    if (buffered() < 4)
        return Status::NeedMore;
    const quint32 length = qFromBigEndian<quint32>(m_buffer.constData() + m_start);
    if (length == 0 || length > quint32(kLocalRoomMaxFrame))
        return Status::Broken;
    if (buffered() - 4 < qsizetype(length))
        return Status::NeedMore;
    *body = m_buffer.mid(m_start + 4, length);
    m_start += 4 + qsizetype(length);
    return Status::Frame;
}

void LocalRoomFrameReader::clear()
{
    m_buffer.clear();
    m_start = 0;
}

} // namespace svw
