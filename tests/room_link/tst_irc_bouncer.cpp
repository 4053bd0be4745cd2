// SPDX-License-Identifier: GPL-3.0-or-later
// The IRC room control behind a real ZNC bouncer on a real ngircd: lines
// said while the member was away are played back once, in order, with their
// time; a line the channel refuses is never shown as said, although ZNC
// answers PINGs and echoes lines itself.

#include "irc_test_server.h"
#include "scripted_peer.h"

#include <QTest>

using namespace svw;
using namespace svw::test;
using namespace Qt::StringLiterals;

class TestIrcBouncer : public QObject
{
    Q_OBJECT

private slots:
    void playsBackAndConfirmsThroughTheServer();
    void batchesOfHistoryAndSplits();
    void asksThePlaybackModule();
};

namespace {

struct Reported
{
    QString line;
    QDateTime saidAt;
};

} // namespace

void TestIrcBouncer::playsBackAndConfirmsThroughTheServer()
{
    IrcTestServer server;
    server.setFloodPenaltyOff(true);
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    // Bob is first in the channel, so its operator.
    RawIrcClient bob;
    QVERIFY(bob.connectAndJoin(server.port(), "bob", "#bnc"));
    ZncBouncer znc(server.port(), "ann", "#bnc");
    QVERIFY2(znc.start(&error), qPrintable(error));
    QVERIFY2(bob.waitForLine(":ann!"), qPrintable(znc.log()));

    // Said while ann's program is not there: the bouncer keeps them.
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    const QStringList away{"away one", "away two", "away three"};
    for (const QString& line : away)
        bob.send("PRIVMSG #bnc :" + line.toUtf8());
    bob.send("PING :kept");
    QVERIFY(bob.waitForLine("kept"));

    IrcRoomSettings settings = testRoomSettings(znc.port(), "ann", "#bnc");
    settings.address.password = znc.login();
    IrcRoom ann(settings);
    QList<Reported> reported;
    QObject::connect(&ann, &ChatRoomControl::RoomLine,
                     [&](const QString& sender, const QString& text) {
                         reported.append({sender + ": " + text, ann.lineSaidAt()});
                     });
    QStringList troubles;
    QObject::connect(&ann, &ChatRoomControl::roomTrouble,
                     [&](const QString& why) { troubles << why; });
    QVERIFY(QTest::qWaitFor([&] { return ann.isJoined(); }, kServerWaitMs));
    QVERIFY(ann.viaBouncer());
    QVERIFY(!ann.serverEchoes());

    // Played back before listening started: heard once it starts, in
    // order, with the time each was said.
    ann.StartRoomScan();
    bob.send("PRIVMSG #bnc :live after playback");
    QVERIFY(QTest::qWaitFor(
        [&] {
            return std::any_of(reported.cbegin(), reported.cend(), [](const Reported& r) {
                return r.line == u"bob: live after playback";
            });
        },
        kServerWaitMs));
    QStringList lines;
    for (const Reported& r : reported)
        lines << r.line;
    QCOMPARE(lines, (QStringList{"bob: away one", "bob: away two", "bob: away three",
                                 "bob: live after playback"}));
    const QDateTime after = QDateTime::currentDateTimeUtc().addSecs(1);
    for (int i = 0; i < 3; ++i) {
        QVERIFY(reported[i].saidAt.isValid());
        QVERIFY(reported[i].saidAt >= before && reported[i].saidAt <= after);
        if (i > 0)
            QVERIFY(reported[i].saidAt >= reported[i - 1].saidAt);
    }
    QVERIFY(!reported.last().saidAt.isValid()); // said just now
    QVERIFY(!ann.lineSaidAt().isValid());

    // An own line shows once the server, not the bouncer, has taken it.
    reported.clear();
    QVERIFY(ann.SendRoomLine("through the bouncer"));
    QVERIFY(bob.waitForLine("PRIVMSG #bnc :through the bouncer"));
    QVERIFY(QTest::qWaitFor([&] { return ann.unconfirmedLines() == 0; }, kServerWaitMs));
    QCOMPARE(reported.size(), 1);
    QCOMPARE(reported.first().line, u"ann: through the bouncer"_s);

    // The channel refuses: counted, never shown as said.
    bob.send("MODE #bnc +m");
    QVERIFY(bob.waitForLine(" MODE #bnc"));
    QVERIFY(ann.SendRoomLine("refused through the bouncer"));
    QVERIFY(QTest::qWaitFor([&] { return !troubles.isEmpty(); }, kServerWaitMs));
    QVERIFY2(troubles.last().contains("1 line you sent was not said"), qPrintable(troubles.last()));
    QVERIFY(QTest::qWaitFor([&] { return ann.unconfirmedLines() == 0; }, kServerWaitMs));
    QCOMPARE(reported.size(), 1);
}

void TestIrcBouncer::batchesOfHistoryAndSplits()
{
    // A server with server-time and batch: history played back after a
    // reconnect skips what was heard live, keeps our own lines from before,
    // and carries its time; a NETSPLIT batch is told, a NETJOIN ends it.
    QTcpServer fake;
    QVERIFY(fake.listen(QHostAddress::LocalHost));
    WatchedRoom zoe(testRoomSettings(fake.serverPort(), "zoe", "#h"));
    QList<QDateTime> times;
    QObject::connect(&zoe.room(), &ChatRoomControl::RoomLine, [&] { times << zoe->lineSaidAt(); });
    QVERIFY(QTest::qWaitFor([&] { return fake.hasPendingConnections(); }, kServerWaitMs));
    ScriptedPeer peer(fake.nextPendingConnection());
    QVERIFY(peer.waitForLineStarting("USER "));
    peer.send(":fake CAP * LS :batch server-time draft/chathistory");
    QVERIFY(peer.waitForLine("CAP REQ :server-time batch draft/chathistory"));
    peer.send(":fake CAP zoe ACK :server-time batch draft/chathistory");
    welcome(peer, "zoe");
    QVERIFY(peer.waitForLine("JOIN #h"));
    peer.send(":zoe!u@h JOIN #h");
    QVERIFY(zoe.waitForJoin());
    // The history the server keeps is asked for on joining.
    QVERIFY(peer.waitForLine("CHATHISTORY LATEST #h * 100"));
    peer.send("@time=2026-12-08T05:38:10.000Z :bob!b@h PRIVMSG #h :live");
    peer.send("BATCH +p chathistory #h");
    peer.send("@batch=p;time=2026-12-08T05:38:10.000Z :bob!b@h PRIVMSG #h :live");
    peer.send("@batch=p;time=2026-12-08T05:38:22.000Z :zoe!u@h PRIVMSG #h :mine before");
    peer.send("@batch=p;time=2026-12-08T05:39:00.000Z :bob!b@h PRIVMSG #h :missed");
    peer.send("BATCH -p");
    peer.send("@batch=p;time=2026-12-08T05:40:00.000Z :bob!b@h PRIVMSG #h :after the batch");
    QVERIFY(zoe.waitForHeard(4));
    QCOMPARE(zoe.heard(),
             (QStringList{"bob: live", "zoe: mine before", "bob: missed", "bob: after the batch"}));
    QCOMPARE(times[0], QDateTime());
    QCOMPARE(times[1], QDateTime::fromString("2026-12-08T05:38:22.000Z", Qt::ISODateWithMs));
    QCOMPARE(times[2], QDateTime::fromString("2026-12-08T05:39:00.000Z", Qt::ISODateWithMs));
    QCOMPARE(times[3], QDateTime()); // its batch was over

    peer.send("BATCH +s netsplit hub.test leaf.test");
    peer.send("@batch=s :bob!b@h QUIT :hub.test leaf.test");
    peer.send("BATCH -s");
    QVERIFY(QTest::qWaitFor([&] { return !zoe.troubles().isEmpty(); }, kServerWaitMs));
    QVERIFY2(zoe.troubles().last().contains("split between hub.test and leaf.test"),
             qPrintable(zoe.troubles().last()));
    const int ready = zoe.readyCount();
    peer.send("BATCH +j netjoin hub.test leaf.test");
    peer.send("@batch=j :bob!b@h JOIN #h");
    peer.send("BATCH -j");
    QVERIFY(QTest::qWaitFor([&] { return zoe.readyCount() > ready; }, kServerWaitMs));
    QCOMPARE(zoe.troubles().size(), 1);
}

void TestIrcBouncer::asksThePlaybackModule()
{
    // A ZNC with its playback module plays back only when asked; behind it
    // lines are confirmed by the server's answer to NAMES, not by PING.
    QTcpServer fake;
    QVERIFY(fake.listen(QHostAddress::LocalHost));
    WatchedRoom ann(testRoomSettings(fake.serverPort(), "ann", "#p"));
    QVERIFY(QTest::qWaitFor([&] { return fake.hasPendingConnections(); }, kServerWaitMs));
    ScriptedPeer peer(fake.nextPendingConnection());
    QVERIFY(peer.waitForLineStarting("USER "));
    peer.send(":irc.znc.in CAP * LS :batch echo-message server-time znc.in/playback");
    QVERIFY(peer.waitForLine("CAP REQ :server-time batch znc.in/playback"));
    peer.send(":irc.znc.in CAP ann ACK :server-time batch znc.in/playback");
    welcome(peer, "ann");
    peer.send(":ann!u@h JOIN #p");
    QVERIFY(ann.waitForJoin());
    QVERIFY(peer.waitForLine("PRIVMSG *playback :PLAY #p 0"));
    QVERIFY(ann->SendRoomLine("confirmed by the server"));
    QVERIFY(peer.waitForLine("PRIVMSG #p :confirmed by the server"));
    QVERIFY(peer.waitForLineStarting("NAMES svw"));
    QCOMPARE(linesStarting(peer, "PING").size(), 0);
    const QByteArray token = peer.lineStarting("NAMES svw").mid(6);
    peer.send(":irc.znc.in PONG irc.znc.in :" + token); // the bouncer's own answer
    peer.send(":bob!b@h PRIVMSG #p :after the PONG");
    QVERIFY(ann.waitForHeardLine("bob: after the PONG"));
    QCOMPARE(ann.heard().size(), 1);
    peer.send(":irc.test 366 ann " + token + " :End of NAMES list");
    QVERIFY(ann.waitForHeardLine("ann: confirmed by the server"));
}

QTEST_GUILESS_MAIN(TestIrcBouncer)
#include "tst_irc_bouncer.moc"
