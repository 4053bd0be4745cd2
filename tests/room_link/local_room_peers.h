// SPDX-License-Identifier: GPL-3.0-or-later
// Copies of the local room in processes of their own (the local_room_peer
// helper), for the tests that need real processes: started, said through,
// stopped, resumed and killed, and their windows' lines counted.
#pragma once

#include <QProcess>
#include <QStringList>
#include <QTest>

#include <functional>
#include <map>
#include <signal.h>
#include <sys/resource.h>
#include <vector>

namespace svw::test {

// Generous: under the sanitizers a copy takes a while to start.
constexpr int kPeerWaitMs = 15000;

// One copy of the room in its own process.
class Peer
{
public:
    // In the room "test" of `dir` (also its XDG_RUNTIME_DIR). `tuning` as
    // local_room_peer reads it; `maxFiles` > 0 limits the descriptors the
    // copy may hold.
    Peer(const QString& nick, const QString& dir, const QString& tuning = {}, int maxFiles = 0)
        : m_nick(nick)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("SVW_TEST_ROOM_TUNING", tuning);
        env.insert("XDG_RUNTIME_DIR", dir);
        if (maxFiles > 0) {
            m_process.setChildProcessModifier([maxFiles] {
                const rlimit limit = {rlim_t(maxFiles), rlim_t(maxFiles)};
                ::setrlimit(RLIMIT_NOFILE, &limit);
            });
        }
        start(dir, env);
    }

    // In the room "test" of `dir` ("-" for the default directory, which
    // `env` chooses); `modifier` runs in the child before the program.
    Peer(const QString& nick, const QString& dir, const QProcessEnvironment& env,
         const std::function<void()>& modifier)
        : m_nick(nick)
    {
        if (modifier)
            m_process.setChildProcessModifier(modifier);
        start(dir, env);
    }

    ~Peer()
    {
        if (m_process.state() != QProcess::NotRunning) {
            resume();
            m_process.closeWriteChannel();
            if (!m_process.waitForFinished(kPeerWaitMs))
                m_process.kill();
            m_process.waitForFinished(kPeerWaitMs);
        }
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    void say(const QString& text) { m_process.write(("say " + text + "\n").toUtf8()); }
    void quit() { m_process.write("quit\n"); }
    void kill() { m_process.kill(); }
    // As Ctrl+Z in a terminal, and fg.
    void stop() { ::kill(pid_t(m_process.processId()), SIGSTOP); }
    void resume() { ::kill(pid_t(m_process.processId()), SIGCONT); }
    bool running() const { return m_process.state() == QProcess::Running; }
    bool waitForExit() { return m_process.waitForFinished(kPeerWaitMs); }
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

private:
    void start(const QString& dir, const QProcessEnvironment& env)
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { collect(); });
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.setProcessEnvironment(env);
        m_process.start(QStringLiteral(LOCAL_ROOM_PEER), {dir, QStringLiteral("test"), m_nick});
    }

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
                m_lines << line.mid(5).replace('\t', ": ");
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
};

// Whether exactly one of `peers` hosts and every other has joined it.
inline bool formed(const std::vector<Peer*>& peers)
{
    int hosts = 0;
    for (Peer* peer : peers) {
        if (!peer->hosting() && !peer->joined())
            return false;
        hosts += peer->hosting();
    }
    return hosts == 1;
}

// The lines said in a room, in the order each was said, and what every
// window shows of them.
class LineCount
{
public:
    // `peer` says `text`; every window in `hearers` must show it once.
    void say(Peer& peer, const QString& text, const std::vector<Peer*>& hearers)
    {
        peer.say(text);
        const QString line = peer.nick() + ": " + text;
        m_said.push_back(line);
        for (Peer* hearer : hearers)
            m_expected[hearer].push_back(line);
    }

    // Waits until every window shows every line it must, then counts:
    // empty when each is shown exactly once, each speaker's in the order
    // said; otherwise how many were lost, doubled and reordered where.
    QString problems(int timeoutMs = kPeerWaitMs)
    {
        const bool complete = QTest::qWaitFor(
            [&] {
                for (const auto& [peer, lines] : m_expected) {
                    for (const QString& line : lines) {
                        if (peer->countOf(line) == 0)
                            return false;
                    }
                }
                return true;
            },
            timeoutMs);
        if (complete)
            QTest::qWait(200); // a doubled line would show by now
        QStringList told;
        for (const auto& [peer, lines] : m_expected) {
            int lost = 0;
            int doubled = 0;
            int reordered = 0;
            std::map<QString, qsizetype> lastOf; // speaker -> index of their last line
            for (const QString& line : lines) {
                const qsizetype count = peer->countOf(line);
                lost += count == 0;
                doubled += count > 1;
                const QString speaker = line.section(": ", 0, 0);
                const qsizetype at = peer->lines().indexOf(line);
                if (at >= 0) {
                    auto found = lastOf.find(speaker);
                    if (found != lastOf.end() && at < found->second)
                        ++reordered;
                    lastOf[speaker] = at;
                }
            }
            // Lines nobody said (forged, or another room's) count as well.
            int strange = 0;
            for (const QString& line : peer->lines())
                strange += !m_said.contains(line) && !m_tolerated.contains(line);
            if (lost || doubled || reordered || strange)
                told << QStringLiteral("%1: %2 of %3 lost, %4 doubled, %5 reordered, %6 never "
                                       "said")
                            .arg(peer->nick())
                            .arg(lost)
                            .arg(lines.size())
                            .arg(doubled)
                            .arg(reordered)
                            .arg(strange);
        }
        return told.join("; ");
    }

    // A line shown somewhere that is no fault (said before a window opened).
    void tolerate(const QString& line) { m_tolerated << line; }

private:
    QStringList m_said;
    QStringList m_tolerated;
    std::map<Peer*, QStringList> m_expected;
};

} // namespace svw::test
