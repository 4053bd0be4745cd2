// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// One copy of a local room in a process of its own: the local_room_peer
// program, told on its input what to say, reporting on its output what it
// hears and where it stands. Tests of the room across processes use it, and
// so do tests of whole copies that need a plain member of their room.

#include <QProcess>
#include <QStringList>
#include <QTest>

#include <functional>

#include <signal.h>
#include <sys/resource.h>

namespace svw::test {

class LocalRoomPeer
{
public:
    // Generous: under the sanitizers a copy takes a while to start.
    static constexpr int kWaitMs = 15000;

    // `tuning` as local_room_peer reads it from SVW_TEST_ROOM_TUNING;
    // `maxFiles` > 0 limits the descriptors the copy may hold; XDG_RUNTIME_DIR
    // is `runtimeDir`, or the room's directory when that is empty.
    LocalRoomPeer(const QString& nick, const QString& dir, const QString& tuning = {},
                  int maxFiles = 0, const QString& room = QStringLiteral("test"),
                  const QString& runtimeDir = {})
        : m_nick(nick)
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { collect(); });
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("SVW_TEST_ROOM_TUNING", tuning);
        env.insert("XDG_RUNTIME_DIR", runtimeDir.isEmpty() ? dir : runtimeDir);
        m_process.setProcessEnvironment(env);
        if (maxFiles > 0) {
            m_process.setChildProcessModifier([maxFiles] {
                const rlimit limit = {rlim_t(maxFiles), rlim_t(maxFiles)};
                ::setrlimit(RLIMIT_NOFILE, &limit);
            });
        }
        m_process.start(QStringLiteral(LOCAL_ROOM_PEER), {dir, room, nick});
    }

    // In the room "test" of `dir` ("-" for the default directory, which
    // `env` chooses); `modifier` runs in the child before the program.
    LocalRoomPeer(const QString& nick, const QString& dir, const QProcessEnvironment& env,
                  const std::function<void()>& modifier)
        : m_nick(nick)
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { collect(); });
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.setProcessEnvironment(env);
        if (modifier)
            m_process.setChildProcessModifier(modifier);
        m_process.start(QStringLiteral(LOCAL_ROOM_PEER), {dir, QStringLiteral("test"), nick});
    }

    ~LocalRoomPeer()
    {
        if (m_process.state() != QProcess::NotRunning) {
            resume();
            m_process.closeWriteChannel();
            if (!m_process.waitForFinished(kWaitMs))
                m_process.kill();
            m_process.waitForFinished(kWaitMs);
        }
    }
    LocalRoomPeer(const LocalRoomPeer&) = delete;
    LocalRoomPeer& operator=(const LocalRoomPeer&) = delete;

    // Handed over at once, so that a test waiting in another process's
    // calls does not hold it back; a stopped copy gets it when it goes on.
    void say(const QString& text)
    {
        m_process.write(("say " + text + "\n").toUtf8());
        if (!m_stopped)
            m_process.waitForBytesWritten(kWaitMs);
    }
    void quit() { m_process.write("quit\n"); }
    void kill() { m_process.kill(); }
    // As Ctrl+Z in a terminal, and fg.
    void stop()
    {
        m_stopped = true;
        ::kill(pid_t(m_process.processId()), SIGSTOP);
    }
    void resume()
    {
        m_stopped = false;
        ::kill(pid_t(m_process.processId()), SIGCONT);
    }
    bool running() const { return m_process.state() == QProcess::Running; }
    bool waitForExit() { return m_process.waitForFinished(kWaitMs); }
    int exitCode() const { return m_process.exitCode(); }
    qint64 processId() const { return m_process.processId(); }

    // "nick: text" for every room line reported so far.
    QStringList lines() const { return m_lines; }
    qsizetype countOf(const QString& line) const { return m_lines.count(line); }
    QString status() const { return m_status; }
    QStringList statuses() const { return m_statuses; }
    QStringList troubles() const { return m_troubles; }
    bool hosting() const { return m_status.startsWith("hosting"); }
    bool joined() const { return m_status.startsWith("joined"); }
    QString nick() const { return m_nick; }

    // The text of the room line from `sender` after `skip` of theirs,
    // waiting for it; empty when it does not come.
    QString lineFrom(const QString& sender, int skip = 0, int timeoutMs = kWaitMs)
    {
        QString found;
        (void)QTest::qWaitFor(
            [&] {
                int seen = 0;
                for (const QString& line : std::as_const(m_lines)) {
                    if (line.startsWith(sender + ": ") && seen++ == skip) {
                        found = line.mid(sender.size() + 2);
                        return true;
                    }
                }
                return false;
            },
            timeoutMs);
        return found;
    }

private:
    void collect()
    {
        m_buffer += m_process.readAllStandardOutput();
        qsizetype end;
        while ((end = m_buffer.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(m_buffer.left(end));
            m_buffer.remove(0, end + 1);
            if (line.startsWith("status ")) {
                m_status = line.mid(7);
                m_statuses << m_status;
            } else if (line.startsWith("line ")) {
                // The sender ends at the first tab; the text may hold more.
                const qsizetype tab = line.indexOf('\t');
                m_lines << line.mid(5, tab - 5) + ": " + line.mid(tab + 1);
            } else if (line.startsWith("trouble ")) {
                m_troubles << line.mid(8);
            } else {
                qWarning("%s: %s", qPrintable(m_nick), qPrintable(line));
            }
        }
    }

    QString m_nick;
    QProcess m_process;
    QByteArray m_buffer;
    QStringList m_lines;
    QStringList m_troubles;
    QString m_status;
    QStringList m_statuses;
    bool m_stopped = false;
};

} // namespace svw::test
