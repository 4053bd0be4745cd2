// SPDX-License-Identifier: GPL-3.0-or-later
// The local room across separate processes: copies started one after
// another share one room, keep one order, and carry on when the host ends,
// whether in order or killed.

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

// Generous: under the sanitizers a copy takes a while to start.
constexpr int kWaitMs = 15000;

// One copy of the room in its own process (the local_room_peer helper).
class Peer
{
public:
    Peer(const QString& nick, const QString& dir) : m_nick(nick)
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { collect(); });
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral(LOCAL_ROOM_PEER), {dir, QStringLiteral("test"), nick});
    }

    ~Peer()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.closeWriteChannel();
            if (!m_process.waitForFinished(kWaitMs))
                m_process.kill();
            m_process.waitForFinished(kWaitMs);
        }
    }

    void say(const QString& text) { m_process.write(("say " + text + "\n").toUtf8()); }
    void quit() { m_process.write("quit\n"); }
    void kill() { m_process.kill(); }
    bool waitForExit() { return m_process.waitForFinished(kWaitMs); }
    int exitCode() const { return m_process.exitCode(); }

    // "nick: text" for every room line reported so far.
    QStringList lines() const { return m_lines; }
    qsizetype countOf(const QString& line) const { return m_lines.count(line); }
    QString status() const { return m_status; }
    bool hosting() const { return m_status.startsWith("hosting"); }
    bool joined() const { return m_status.startsWith("joined"); }
    QString nick() const { return m_nick; }

private:
    void collect()
    {
        m_buffer += m_process.readAllStandardOutput();
        qsizetype end;
        while ((end = m_buffer.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(m_buffer.left(end));
            m_buffer.remove(0, end + 1);
            if (line.startsWith("status "))
                m_status = line.mid(7);
            else if (line.startsWith("line "))
                m_lines << line.mid(5).replace('\t', ": ");
            else
                qWarning("%s: %s", qPrintable(m_nick), qPrintable(line));
        }
    }

    QString m_nick;
    QProcess m_process;
    QByteArray m_buffer;
    QStringList m_lines;
    QString m_status;
};

} // namespace

class TestLocalRoomProcesses : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_base;
    int m_rooms = 0;

    QString freshDirectory() { return m_base.filePath(QStringLiteral("rooms-%1").arg(++m_rooms)); }

    // Ann hosts; the others join, each only after the one before is in.
    std::vector<std::unique_ptr<Peer>> startRoom(const QString& dir, const QStringList& nicks)
    {
        std::vector<std::unique_ptr<Peer>> peers;
        for (const QString& nick : nicks) {
            peers.push_back(std::make_unique<Peer>(nick, dir));
            const bool first = peers.size() == 1;
            Peer* peer = peers.back().get();
            if (!QTest::qWaitFor([&] { return first ? peer->hosting() : peer->joined(); }, kWaitMs))
                qWarning("%s did not enter the room: %s", qPrintable(nick),
                         qPrintable(peer->status()));
        }
        return peers;
    }

private slots:
    void initTestCase() { QVERIFY(m_base.isValid()); }

    void processesShareOneOrder()
    {
        auto peers = startRoom(freshDirectory(), {"ann", "bob", "cay"});
        QVERIFY(peers[0]->hosting() && peers[1]->joined() && peers[2]->joined());

        constexpr int kEach = 30;
        for (int i = 0; i < kEach; ++i)
            for (auto& peer : peers)
                peer->say(QString::number(i));
        for (auto& peer : peers)
            QTRY_COMPARE_WITH_TIMEOUT(peer->lines().size(), 3 * kEach, kWaitMs);
        QTest::qWait(100); // a duplicate would show by now

        const QStringList order = peers[0]->lines();
        QCOMPARE(peers[1]->lines(), order);
        QCOMPARE(peers[2]->lines(), order);
        for (auto& peer : peers) {
            QStringList own = order.filter(QRegularExpression("^" + peer->nick() + ": "));
            QCOMPARE(own.size(), kEach);
            for (int i = 0; i < kEach; ++i)
                QCOMPARE(own[i], peer->nick() + ": " + QString::number(i));
        }
    }

    void killedHostIsReplaced()
    {
        auto peers = startRoom(freshDirectory(), {"ann", "bob", "cay"});
        Peer& ann = *peers[0];
        Peer& bob = *peers[1];
        Peer& cay = *peers[2];
        ann.say("before");
        QTRY_COMPARE_WITH_TIMEOUT(cay.countOf("ann: before"), 1, kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(bob.countOf("ann: before"), 1, kWaitMs);

        ann.kill();
        bob.say("in the gap");
        QVERIFY(ann.waitForExit());
        cay.say("also in the gap");

        QVERIFY(QTest::qWaitFor(
            [&] { return (bob.hosting() && cay.joined()) || (bob.joined() && cay.hosting()); },
            kWaitMs));
        bob.say("after");
        for (Peer* peer : {&bob, &cay}) {
            QTRY_COMPARE_WITH_TIMEOUT(peer->countOf("bob: after"), 1, kWaitMs);
            QCOMPARE(peer->countOf("bob: in the gap"), 1);
            QCOMPARE(peer->countOf("cay: also in the gap"), 1);
            QCOMPARE(peer->countOf("ann: before"), 1);
            QCOMPARE(peer->lines().size(), 4);
        }
        QCOMPARE(bob.lines(), cay.lines());
    }

    void hostQuittingLosesNothing()
    {
        auto peers = startRoom(freshDirectory(), {"ann", "bob", "cay"});
        Peer& ann = *peers[0];
        Peer& bob = *peers[1];
        Peer& cay = *peers[2];

        // Ann's last lines are said just before she quits; Bob's cross her exit.
        for (int i = 0; i < 20; ++i)
            ann.say("last " + QString::number(i));
        ann.quit();
        for (int i = 0; i < 20; ++i)
            bob.say("crossing " + QString::number(i));
        QVERIFY(ann.waitForExit());
        QCOMPARE(ann.exitCode(), 0);

        for (Peer* peer : {&bob, &cay}) {
            QTRY_COMPARE_WITH_TIMEOUT(peer->lines().size(), 40, kWaitMs);
            for (int i = 0; i < 20; ++i) {
                QCOMPARE(peer->countOf("ann: last " + QString::number(i)), 1);
                QCOMPARE(peer->countOf("bob: crossing " + QString::number(i)), 1);
            }
        }
        QVERIFY(QTest::qWaitFor(
            [&] { return (bob.hosting() && cay.joined()) || (bob.joined() && cay.hosting()); },
            kWaitMs));
        cay.say("carry on");
        QTRY_COMPARE_WITH_TIMEOUT(bob.countOf("cay: carry on"), 1, kWaitMs);
        // Ann relayed her own lines in the order she said them.
        const QStringList fromAnn = bob.lines().filter(QRegularExpression("^ann: "));
        for (int i = 0; i < 20; ++i)
            QCOMPARE(fromAnn[i], "ann: last " + QString::number(i));
    }
};

QTEST_GUILESS_MAIN(TestLocalRoomProcesses)
#include "tst_local_room_processes.moc"
