// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A scripted IRC server for tests: a QTcpServer on 127.0.0.1 whose one
// connection the test answers line by line, as a hostile or odd server would.

#include "irc_test_server.h"

#include <QTcpSocket>
#include <QTest>

#include <algorithm>

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
    QByteArray lineStarting(const QByteArray& start) const
    {
        for (const QByteArray& line : m_lines) {
            if (line.startsWith(start))
                return line;
        }
        return {};
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

} // namespace svw::test
