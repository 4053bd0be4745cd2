// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A scripted IRC server for tests: a QTcpServer on 127.0.0.1 whose one
// connection the test answers line by line, as a hostile or odd server would.

#include "irc_test_server.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>
#include <memory>

namespace svw::test {

// One connection to the scripted server: the lines the client sent, and a
// way to answer.
class ScriptedPeer
{
public:
    explicit ScriptedPeer(QTcpSocket* socket) : m_socket(socket)
    {
        QObject::connect(socket, &QTcpSocket::readyRead, [this] {
            m_buffer += m_socket->readAll();
            qsizetype end;
            while ((end = m_buffer.indexOf("\r\n")) >= 0) {
                m_lines << m_buffer.left(end);
                m_buffer.remove(0, end + 2);
            }
        });
    }

    void send(const QByteArray& line) { m_socket->write(line + "\r\n"); }
    QList<QByteArray> lines() const { return m_lines; }
    bool waitForLine(const QByteArray& line, int timeoutMs = kServerWaitMs)
    {
        return QTest::qWaitFor([&] { return m_lines.contains(line); }, timeoutMs);
    }
    bool waitForLineStarting(const QByteArray& start, int timeoutMs = kServerWaitMs)
    {
        return QTest::qWaitFor(
            [&] {
                return std::any_of(m_lines.cbegin(), m_lines.cend(),
                                   [&](const QByteArray& l) { return l.startsWith(start); });
            },
            timeoutMs);
    }
    QByteArray lineStarting(const QByteArray& start, qsizetype from = 0) const
    {
        for (qsizetype i = from; i < m_lines.size(); ++i) {
            if (m_lines[i].startsWith(start))
                return m_lines[i];
        }
        return {};
    }
    qsizetype countStarting(const QByteArray& start) const
    {
        return std::count_if(m_lines.cbegin(), m_lines.cend(),
                             [&](const QByteArray& l) { return l.startsWith(start); });
    }
    bool isOpen() const { return m_socket->state() == QAbstractSocket::ConnectedState; }

private:
    QTcpSocket* m_socket;
    QByteArray m_buffer;
    QList<QByteArray> m_lines;
};

// Registers a client that has sent CAP LS, NICK and USER.
inline void welcome(ScriptedPeer& peer, const QByteArray& nick)
{
    peer.send(":fake 001 " + nick + " :Welcome " + nick + "!~svw@10.0.0.1");
    peer.send(":fake 005 " + nick + " NICKLEN=12 CASEMAPPING=ascii :are supported");
}

// Accepts the control's connection, registers it as `nick` (answering its
// CAP LS with `capAnswer`) and takes it into `channel`; nothing when a step
// does not come.
inline std::unique_ptr<ScriptedPeer> acceptAndJoin(QTcpServer& fake, WatchedRoom& room,
                                                   const QByteArray& nick,
                                                   const QByteArray& channel,
                                                   const QByteArray& capAnswer = ":fake CAP * LS :")
{
    if (!QTest::qWaitFor([&] { return fake.hasPendingConnections(); }, kServerWaitMs))
        return nullptr;
    auto peer = std::make_unique<ScriptedPeer>(fake.nextPendingConnection());
    if (!peer->waitForLineStarting("USER "))
        return nullptr;
    peer->send(capAnswer);
    welcome(*peer, nick);
    if (!peer->waitForLine("JOIN " + channel))
        return nullptr;
    const int joins = room.joinCount();
    peer->send(":" + nick + "!~u@h JOIN " + channel);
    if (!room.waitForJoin(joins + 1))
        return nullptr;
    return peer;
}

// Waits until a control with the test settings, on a server that closes
// every connection at once, has come back: a control started before it with
// the same settings that was going to try again would have by then.
inline bool retryWouldHaveCome()
{
    QTcpServer closer;
    if (!closer.listen(QHostAddress::LocalHost))
        return false;
    int connections = 0;
    QObject::connect(&closer, &QTcpServer::newConnection, [&] {
        while (QTcpSocket* socket = closer.nextPendingConnection()) {
            ++connections;
            socket->close();
        }
    });
    WatchedRoom probe(testRoomSettings(closer.serverPort(), "probe"));
    return QTest::qWaitFor([&] { return connections >= 2; }, kServerWaitMs);
}

// Waits until the control has answered a PING sent now: whatever the peer
// sent before it has been read and acted on.
inline bool caughtUp(ScriptedPeer& peer, const QByteArray& token)
{
    peer.send(":fake PING :" + token);
    return peer.waitForLine("PONG :" + token);
}

// The lines the client sent that start with `start`.
inline QList<QByteArray> linesStarting(const ScriptedPeer& peer, const QByteArray& start)
{
    QList<QByteArray> found;
    for (const QByteArray& line : peer.lines()) {
        if (line.startsWith(start))
            found << line;
    }
    return found;
}

// The token of the PING that follows the line `privmsg`, which must come
// right after it.
inline QByteArray pingAfter(ScriptedPeer& peer, const QByteArray& privmsg)
{
    if (!peer.waitForLine(privmsg))
        return {};
    const QList<QByteArray> lines = peer.lines();
    const qsizetype at = lines.indexOf(privmsg);
    if (!QTest::qWaitFor([&] { return peer.lines().size() > at + 1; }, kServerWaitMs))
        return {};
    const QByteArray next = peer.lines().at(at + 1);
    return next.startsWith("PING :") ? next.mid(6) : QByteArray();
}

} // namespace svw::test
