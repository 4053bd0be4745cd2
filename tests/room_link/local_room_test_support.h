// SPDX-License-Identifier: GPL-3.0-or-later
// What the in-process tests of the local room share: sample messages, and
// transcripts of what a control reports or a hand-driven socket receives.
#pragma once

#include "local_room.h"
#include "local_room_protocol.h"

#include <QLocalSocket>
#include <QSignalSpy>
#include <QTest>
#include <QtEndian>

namespace svw::test {

constexpr int kWaitMs = 5000;

inline LocalRoomMessage sampleMessage(LocalRoomMessage::Kind kind, const QString& text)
{
    LocalRoomMessage message;
    message.kind = kind;
    message.origin = QByteArray(kLocalRoomOriginSize, '\x5a');
    message.number = 7;
    message.nick = QStringLiteral("Zoë");
    message.text = text;
    return message;
}

inline QByteArray lengthPrefix(quint32 length)
{
    QByteArray prefix(4, Qt::Uninitialized);
    qToBigEndian(length, prefix.data());
    return prefix;
}

// Every line a control reports, as "sender: text", in arrival order.
class Transcript
{
public:
    explicit Transcript(LocalRoom* room) : m_spy(room, &ChatRoomControl::RoomLine) {}

    QStringList lines() const
    {
        QStringList result;
        for (const QList<QVariant>& args : m_spy)
            result << args.at(0).toString() + QStringLiteral(": ") + args.at(1).toString();
        return result;
    }
    qsizetype count() const { return m_spy.count(); }
    QString sender(qsizetype i) const { return m_spy.at(i).at(0).toString(); }
    QString text(qsizetype i) const { return m_spy.at(i).at(1).toString(); }
    qsizetype countOf(const QString& text) const
    {
        qsizetype n = 0;
        for (const QList<QVariant>& args : m_spy)
            n += args.at(1).toString() == text;
        return n;
    }

private:
    QSignalSpy m_spy;
};

inline LocalRoomMessage helloFrom(const QByteArray& origin)
{
    LocalRoomMessage hello;
    hello.kind = LocalRoomMessage::Kind::Hello;
    hello.origin = origin;
    return hello;
}

// The messages arriving on a socket that the test reads by hand.
class MessageStream
{
public:
    explicit MessageStream(QLocalSocket* socket) : m_socket(socket) {}

    bool waitFor(qsizetype count)
    {
        return QTest::qWaitFor(
            [&] {
                m_reader.append(m_socket->readAll());
                QByteArray body;
                while (m_reader.next(&body) == LocalRoomFrameReader::Status::Frame)
                    messages << decodeLocalRoomMessage(body).value_or(LocalRoomMessage());
                return messages.size() >= count;
            },
            kWaitMs);
    }

    QList<LocalRoomMessage> messages;

private:
    QLocalSocket* m_socket;
    LocalRoomFrameReader m_reader;
};

} // namespace svw::test
