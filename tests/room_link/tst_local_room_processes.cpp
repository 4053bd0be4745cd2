// SPDX-License-Identifier: GPL-3.0-or-later
// The local room across separate processes: copies started one after
// another share one room, keep one order, and carry on when the host ends,
// whether in order, killed, or frozen; a copy that stalls gets every line.

#include <QLocalSocket>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include "local_room_peers.h"

using svw::test::formed;
using svw::test::kPeerWaitMs;
using svw::test::Peer;

namespace {
constexpr int kWaitMs = kPeerWaitMs;
} // namespace

class TestLocalRoomProcesses : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_base;
    int m_rooms = 0;

    QString freshDirectory() { return m_base.filePath(QStringLiteral("rooms-%1").arg(++m_rooms)); }

    // Ann hosts; the others join, each only after the one before is in.
    std::vector<std::unique_ptr<Peer>> startRoom(const QString& dir, const QStringList& nicks,
                                                 const QString& tuning = {})
    {
        std::vector<std::unique_ptr<Peer>> peers;
        for (const QString& nick : nicks) {
            peers.push_back(std::make_unique<Peer>(nick, dir, tuning));
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
        // Said once everyone has every line: a duplicate would come before it.
        peers[1]->say("last");
        for (auto& peer : peers)
            QTRY_COMPARE_WITH_TIMEOUT(peer->countOf("bob: last"), 1, kWaitMs);

        QStringList order = peers[0]->lines();
        QCOMPARE(peers[1]->lines(), order);
        QCOMPARE(peers[2]->lines(), order);
        QCOMPARE(order.size(), 3 * kEach + 1);
        QCOMPARE(order.takeLast(), QStringLiteral("bob: last"));
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

    // Five copies; the host is killed three times over, each time after
    // everyone has heard everything and with lines said in the gap. The two
    // left have every line once, in one order, each speaker's in the order said.
    void hostsKilledOneAfterAnother()
    {
        auto owned = startRoom(freshDirectory(), {"ann", "bob", "cay", "dan", "eve"});
        std::vector<Peer*> alive;
        for (auto& peer : owned)
            alive.push_back(peer.get());
        QStringList expected;
        auto sayRound = [&](const QString& round) {
            for (Peer* peer : alive) {
                peer->say(round);
                expected << peer->nick() + ": " + round;
            }
        };
        auto everyoneHeard = [&] {
            for (Peer* peer : alive)
                QTRY_COMPARE_WITH_TIMEOUT(peer->lines().size(), expected.size(), kWaitMs);
        };

        for (int kill = 1; kill <= 3; ++kill) {
            sayRound(QStringLiteral("round %1").arg(kill));
            everyoneHeard();
            const auto host = std::find_if(alive.begin(), alive.end(),
                                           [](Peer* peer) { return peer->hosting(); });
            QVERIFY(host != alive.end());
            (*host)->kill();
            QVERIFY((*host)->waitForExit());
            alive.erase(host);
            sayRound(QStringLiteral("gap %1").arg(kill));
            QVERIFY(QTest::qWaitFor([&] { return formed(alive); }, kWaitMs));
        }
        sayRound(QStringLiteral("the end"));
        everyoneHeard();
        // A duplicate would come before a round said once everyone has all.
        sayRound(QStringLiteral("after the end"));
        everyoneHeard();

        QCOMPARE(alive.size(), size_t(2));
        QCOMPARE(alive[0]->lines(), alive[1]->lines());
        QStringList heard = alive[0]->lines();
        QStringList sorted = expected;
        heard.sort();
        sorted.sort();
        QCOMPARE(heard, sorted);
        for (const char* nick : {"ann", "bob", "cay", "dan", "eve"}) {
            const QRegularExpression own("^" + QString(nick) + ": ");
            QCOMPARE(alive[0]->lines().filter(own), expected.filter(own));
        }
    }

    // The host stops as Ctrl+Z stops it: the others notice within a second
    // here (a few seconds by default), go on without it, and take it back as
    // an ordinary copy when it continues, nothing lost or doubled.
    void frozenHostIsLeftAndComesBack()
    {
        const QString tuning = QStringLiteral("heartbeat=100,silence=800");
        auto peers = startRoom(freshDirectory(), {"ann", "bob", "cay"}, tuning);
        Peer& ann = *peers[0];
        Peer& bob = *peers[1];
        Peer& cay = *peers[2];
        ann.say("before");
        QTRY_COMPARE_WITH_TIMEOUT(cay.countOf("ann: before"), 1, kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(bob.countOf("ann: before"), 1, kWaitMs);

        ann.stop();
        bob.say("while frozen");
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         return formed({&bob, &cay});
                     },
                     kWaitMs),
                 qPrintable(bob.status() + " / " + cay.status()));
        QTRY_COMPARE_WITH_TIMEOUT(cay.countOf("bob: while frozen"), 1, kWaitMs);
        cay.say("still frozen");
        QTRY_COMPARE_WITH_TIMEOUT(bob.countOf("cay: still frozen"), 1, kWaitMs);

        ann.resume();
        ann.say("back");
        QTRY_VERIFY_WITH_TIMEOUT(ann.joined(), kWaitMs);
        for (Peer* peer : {&ann, &bob, &cay}) {
            QTRY_COMPARE_WITH_TIMEOUT(peer->countOf("ann: back"), 1, kWaitMs);
            QTRY_COMPARE_WITH_TIMEOUT(peer->countOf("bob: while frozen"), 1, kWaitMs);
            QTRY_COMPARE_WITH_TIMEOUT(peer->countOf("cay: still frozen"), 1, kWaitMs);
        }
        bob.say("marker");
        for (Peer* peer : {&ann, &bob, &cay}) {
            QTRY_COMPARE_WITH_TIMEOUT(peer->countOf("bob: marker"), 1, kWaitMs);
            QCOMPARE(peer->countOf("ann: before"), 1);
            QCOMPARE(peer->lines().size(), 5);
        }
        QVERIFY(formed({&ann, &bob, &cay}));
        QVERIFY(!ann.hosting());
    }

    // A copy stopped while the room says far more than a socket holds gets
    // every line, in order, once it continues; the others are not held up.
    void stalledCopyGetsEveryLine()
    {
        auto peers = startRoom(freshDirectory(), {"ann", "bob", "cay"});
        Peer& bob = *peers[1];
        Peer& cay = *peers[2];
        cay.stop();
        constexpr int kLines = 300; // 18 MB
        const QString filler(60000, 'x');
        for (int i = 0; i < kLines; ++i)
            bob.say(QString::number(i) + filler);
        QTRY_COMPARE_WITH_TIMEOUT(bob.lines().size(), kLines, 4 * kWaitMs);
        cay.resume();
        QTRY_COMPARE_WITH_TIMEOUT(cay.lines().size(), kLines, 4 * kWaitMs);
        QCOMPARE(cay.lines(), bob.lines());
        for (int i = 0; i < kLines; ++i)
            QVERIFY(cay.lines()[i].startsWith("bob: " + QString::number(i) + "x"));
        QVERIFY(cay.troubles().isEmpty());
    }

    // A host that ran out of descriptors lets newcomers in again once the
    // connections that took them are gone, or have been closed for not
    // saying hello.
    void newcomersGetInAfterDescriptorsRanOut()
    {
#ifdef __SANITIZE_ADDRESS__
        // The sanitizers' runtime checks memory through a pipe; in a process
        // out of descriptors it reports every such check as a fault.
        QSKIP("a host out of descriptors cannot run under the sanitizers");
#endif
        const QString dir = freshDirectory();
        const QString tuning = QStringLiteral("heartbeat=100,introduction=400,unintroduced=64");
        Peer ann("ann", dir, tuning, 32);
        QTRY_VERIFY_WITH_TIMEOUT(ann.hosting(), kWaitMs);
        std::vector<std::unique_ptr<QLocalSocket>> crowd;
        for (int i = 0; i < 60; ++i) {
            crowd.push_back(std::make_unique<QLocalSocket>());
            crowd.back()->connectToServer(dir + "/room-test.sock");
        }
        QTest::qWait(300);
        crowd.clear();

        Peer bob("bob", dir, tuning);
        QTRY_VERIFY_WITH_TIMEOUT(bob.joined(), kWaitMs);
        bob.say("in");
        QTRY_COMPARE_WITH_TIMEOUT(ann.countOf("bob: in"), 1, kWaitMs);
        QVERIFY(ann.hosting());
    }
};

QTEST_GUILESS_MAIN(TestLocalRoomProcesses)
#include "tst_local_room_processes.moc"
