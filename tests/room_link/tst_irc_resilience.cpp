// SPDX-License-Identifier: GPL-3.0-or-later
// What real networks do to the IRC room control: a server that is killed
// and comes back, and a scripted server that checks the registration order,
// answers slowly or not at all, sends tagged lines and offers echo-message.

#include "irc_test_server.h"
#include "scripted_peer.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTest>

using namespace svw;
using namespace svw::test;
using namespace Qt::StringLiterals;

class TestIrcResilience : public QObject
{
    Q_OBJECT

private slots:
    void serverRestartLosesNothing();
    void registersBeforeJoining();
    void keepaliveReconnectsFromSilentServer();
    void usesEchoMessageWhenOffered();
    void rejoinsAfterKick();
};

void TestIrcResilience::serverRestartLosesNothing()
{
    IrcTestServer server;
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    WatchedRoom ann(testRoomSettings(server.port(), "ann", "#again"));
    WatchedRoom bob(testRoomSettings(server.port(), "bob", "#again"));
    QVERIFY(ann.waitForJoin());
    QVERIFY(bob.waitForJoin());
    QVERIFY(ann->SendRoomLine("before the crash"));
    QVERIFY(bob.waitForHeardLine("ann: before the crash"));

    // Lines said in the instant before the server dies may not have been
    // taken; lines said while it is gone wait.
    QStringList inFlight;
    for (int i = 0; i < 5; ++i) {
        inFlight << u"in flight %1"_s.arg(i);
        QVERIFY(ann->SendRoomLine(inFlight.last()));
    }
    server.kill();
    QVERIFY(QTest::qWaitFor([&] { return !ann->isJoined() && !bob->isJoined(); }, kServerWaitMs));
    QVERIFY(ann->status().contains("Reconnecting"));
    QStringList whileDown;
    for (int i = 0; i < 5; ++i) {
        whileDown << u"while down %1"_s.arg(i);
        QVERIFY(ann->SendRoomLine(whileDown.last()));
    }
    QVERIFY(bob->SendRoomLine("bob while down"));
    QVERIFY(ann->unconfirmedLines() >= 5);

    QVERIFY2(server.start(&error), qPrintable(error));
    QVERIFY(ann.waitForJoin(2));
    QVERIFY(bob.waitForJoin(2));
    QVERIFY(bob.waitForHeardLine("ann: while down 4"));
    QVERIFY(ann.waitForHeardLine("bob: bob while down"));
    QVERIFY(ann.waitForConfirmed());
    // A line said last, once both have it, comes after every line before it.
    QVERIFY(ann->SendRoomLine("last"));
    QVERIFY(bob.waitForHeardLine("ann: last"));
    QVERIFY(ann.waitForHeardLine("ann: last"));

    // Bob has every line of ann's, in the order said: the first copy of a
    // line that went out twice counts.
    QStringList firstSeen;
    for (const QString& line : bob.heard()) {
        if (line.startsWith("ann: ") && !firstSeen.contains(line))
            firstSeen << line;
    }
    QStringList expected{"ann: before the crash"};
    for (const QString& line : inFlight + whileDown)
        expected << "ann: " + line;
    expected << "ann: last";
    QCOMPARE(firstSeen, expected);
    // Lines said while the server was gone go out exactly once.
    for (const QString& line : whileDown)
        QCOMPARE(bob.heard().count("ann: " + line), 1);
    // Ann sees each of her own lines once.
    for (const QString& line : expected)
        QCOMPARE(ann.heard().count(line), 1);
    // A restart the controls got over in time was no trouble to their users.
    QCOMPARE(ann.troubles(), QStringList());
    QCOMPARE(bob.troubles(), QStringList());
}

void TestIrcResilience::registersBeforeJoining()
{
    QTcpServer fake;
    QVERIFY(fake.listen(QHostAddress::LocalHost));
    IrcRoomSettings settings = testRoomSettings(fake.serverPort(), "carol", "#reg");
    settings.address.password = "sesame open";
    WatchedRoom carol(settings);
    QVERIFY(QTest::qWaitFor([&] { return fake.hasPendingConnections(); }, kServerWaitMs));
    ScriptedPeer peer(fake.nextPendingConnection());

    QVERIFY(peer.waitForLineStarting("USER "));
    // The user name is the login's; nothing names the program.
    QCOMPARE(peer.lines().mid(0, 4),
             (QList<QByteArray>{"CAP LS 302", "PASS :sesame open", "NICK carol",
                                "USER " + ircUserNameFromLogin().toUtf8() + " 0 * :*"}));
    // A capability list in two parts, neither offering echo-message.
    peer.send(":fake CAP * LS * :multi-prefix sasl=PLAIN");
    peer.send(":fake CAP * LS :away-notify");
    QVERIFY(peer.waitForLine("CAP END"));

    // Nick taken: another within the limit; no JOIN before the welcome.
    peer.send(":fake 433 * carol :Nickname already in use");
    QVERIFY(peer.waitForLine("NICK carol1"));
    QVERIFY(carol->SendRoomLine("queued before joining"));
    QVERIFY(caughtUp(peer, "before-welcome"));
    QVERIFY(!peer.waitForLineStarting("JOIN", 0));
    QVERIFY(!peer.waitForLineStarting("PRIVMSG", 0));

    welcome(peer, "carol1");
    QVERIFY(peer.waitForLine("JOIN #reg"));
    QVERIFY(!peer.waitForLineStarting("PRIVMSG", 0));
    // The server's PING is answered in kind.
    peer.send("PING :abc 123");
    QVERIFY(peer.waitForLine("PONG :abc 123"));
    // One CAP END, after the last part of the list: an answer to the first
    // part would have come before the JOIN too.
    QCOMPARE(peer.lines().count("CAP END"), 1);

    peer.send(":carol1!~svw@cloak/carol JOIN #reg");
    QVERIFY(carol.waitForJoin());
    QVERIFY(peer.waitForLine("PRIVMSG #reg :queued before joining"));
    QVERIFY(peer.waitForLineStarting("PING :svw"));
    // Not shown before the server confirmed it ...
    QVERIFY(carol.heard().isEmpty());
    const QByteArray token = peer.lineStarting("PING :svw").mid(6);
    peer.send(":fake PONG fake :" + token);
    // ... and once after.
    QVERIFY(carol.waitForHeard(1));
    QCOMPARE(carol.heard(), QStringList{"carol1: queued before joining"});
    QCOMPARE(carol->unconfirmedLines(), 0);

    // Tagged lines are read like any other. The budget counts the host from
    // the JOIN and a nick of "carol" with up to two digits (within NICKLEN).
    peer.send("@time=2024-01-01T00:00:00Z;msgid=x\\sy :dave!d@h PRIVMSG #reg :tagged");
    QVERIFY(carol.waitForHeardLine("dave: tagged"));
    // ":carol99!~svw@cloak/carol PRIVMSG #reg :" is 40 bytes, and CR LF ends
    // the 512.
    QCOMPARE(carol->roomLineByteBudget(), 470);
}

void TestIrcResilience::keepaliveReconnectsFromSilentServer()
{
    QTcpServer fake;
    QVERIFY(fake.listen(QHostAddress::LocalHost));
    IrcRoomSettings settings = testRoomSettings(fake.serverPort(), "erin", "#quiet");
    settings.keepaliveMs = 300;
    settings.pingTimeoutMs = 300;
    WatchedRoom erin(settings);
    const auto joined =
        acceptAndJoin(fake, erin, "erin", "#quiet", ":fake 421 erin CAP :Unknown command");
    QVERIFY(joined);
    ScriptedPeer& first = *joined;

    // After a silence the control pings; a PONG keeps the connection, so
    // after the next silence it pings again on the same connection rather
    // than giving up.
    QVERIFY(first.waitForLineStarting("PING :svw"));
    const QByteArray token = first.lineStarting("PING :svw").mid(6);
    first.send(":fake PONG fake :" + token);
    QVERIFY(QTest::qWaitFor(
        [&] { return first.countStarting("PING :svw") == 2 || !first.isOpen(); }, kServerWaitMs));
    QCOMPARE(first.countStarting("PING :svw"), 2);
    QVERIFY(!fake.hasPendingConnections());

    // Then the server falls silent for good: the control gives up on it,
    // keeps what is said meanwhile, and comes back on a new connection.
    QVERIFY(QTest::qWaitFor([&] { return !erin->isJoined(); }, kServerWaitMs));
    QVERIFY(erin->SendRoomLine("said while away"));
    const auto second = acceptAndJoin(fake, erin, "erin", "#quiet");
    QVERIFY(second);
    QVERIFY(second->waitForLine("PRIVMSG #quiet :said while away"));
    QVERIFY(std::any_of(erin.statuses().cbegin(), erin.statuses().cend(),
                        [](const QString& s) { return s.contains("no answer from the server"); }));
}

void TestIrcResilience::usesEchoMessageWhenOffered()
{
    QTcpServer fake;
    QVERIFY(fake.listen(QHostAddress::LocalHost));
    WatchedRoom fay(testRoomSettings(fake.serverPort(), "fay", "#echo"));
    QVERIFY(QTest::qWaitFor([&] { return fake.hasPendingConnections(); }, kServerWaitMs));
    ScriptedPeer peer(fake.nextPendingConnection());
    QVERIFY(peer.waitForLineStarting("USER "));
    // Offered in the second part of the list: the request waits for it, and
    // registration goes on only once the server has answered the request.
    peer.send(":fake CAP * LS * :server-time");
    peer.send(":fake CAP * LS :echo-message");
    QVERIFY(peer.waitForLine("CAP REQ :echo-message server-time"));
    QVERIFY(!peer.lines().contains("CAP END"));
    QVERIFY(caughtUp(peer, "before-ack"));
    QVERIFY(!peer.lines().contains("CAP END"));
    peer.send(":fake CAP fay ACK :echo-message server-time");
    QVERIFY(peer.waitForLine("CAP END"));
    welcome(peer, "fay");
    QVERIFY(peer.waitForLine("JOIN #echo"));
    QCOMPARE(peer.lines().count("CAP END"), 1);
    QCOMPARE(peer.lines().count("CAP REQ :echo-message server-time"), 1);
    peer.send(":fay!~svw@h JOIN #echo");
    QVERIFY(fay.waitForJoin());
    QVERIFY(fay->serverEchoes());

    QVERIFY(fay->SendRoomLine("echoed by the server"));
    QVERIFY(peer.waitForLineStarting("PING :svw"));
    const QByteArray token = peer.lineStarting("PING :svw").mid(6);
    peer.send(":fake PONG fake :" + token);
    QVERIFY(QTest::qWaitFor([&] { return fay->unconfirmedLines() == 0; }, kServerWaitMs));
    QVERIFY(caughtUp(peer, "after-pong"));
    QVERIFY(fay.heard().isEmpty()); // the server's echo shows it, not the PONG
    peer.send("@time=x :fay!~svw@h PRIVMSG #echo :echoed by the server");
    QVERIFY(fay.waitForHeard(1));
    QCOMPARE(fay.heard(), QStringList{"fay: echoed by the server"});

    // The server withdraws echo-message: the control's own lines are shown
    // again once the server has confirmed them.
    peer.send(":fake CAP fay DEL :echo-message");
    peer.send("PING :after-del");
    QVERIFY(peer.waitForLine("PONG :after-del"));
    QVERIFY(!fay->serverEchoes());
    QVERIFY(fay->SendRoomLine("confirmed, not echoed"));
    QVERIFY(peer.waitForLine("PRIVMSG #echo :confirmed, not echoed"));
    const qsizetype said = peer.lines().indexOf("PRIVMSG #echo :confirmed, not echoed");
    QVERIFY(QTest::qWaitFor([&] { return !peer.lineStarting("PING :svw", said).isEmpty(); },
                            kServerWaitMs));
    peer.send(":fake PONG fake :" + peer.lineStarting("PING :svw", said).mid(6));
    QVERIFY(fay.waitForHeard(2));
    QCOMPARE(fay.heard(), (QStringList{"fay: echoed by the server", "fay: confirmed, not echoed"}));
}

void TestIrcResilience::rejoinsAfterKick()
{
    QTcpServer fake;
    QVERIFY(fake.listen(QHostAddress::LocalHost));
    IrcRoomSettings settings = testRoomSettings(fake.serverPort(), "gus", "#kick");
    settings.troubleAfterMs = 3000;
    settings.kickRejoinMs = 400;
    WatchedRoom gus(settings);
    const auto joined = acceptAndJoin(fake, gus, "gus", "#kick");
    QVERIFY(joined);
    ScriptedPeer& peer = *joined;

    // Lines short of their parameters, or not IRC at all, change nothing.
    for (const char* odd : {":fake 433",
                            ":fake 404",
                            ":fake 474",
                            ":fake 464",
                            ":fake CAP",
                            ":fake CAP * ACK",
                            "PING",
                            ":fake PONG",
                            ":fake PONG fake :svwx",
                            ":fake 001",
                            ":x!y@z PRIVMSG",
                            ":x!y@z PRIVMSG #kick",
                            ":x!y@z KICK",
                            ":x!y@z JOIN",
                            "ERROR",
                            "@",
                            ":",
                            "   ",
                            "\x01\x02",
                            ":gus NICK"})
        peer.send(odd);
    peer.send(":x!y@z PRIVMSG #kick :still here");
    QVERIFY(gus.waitForHeardLine("x: still here"));
    QCOMPARE(gus.heard(), QStringList{"x: still here"});
    QVERIFY(gus->isJoined());
    QCOMPARE(gus->nick(), QString("gus"));
    QCOMPARE(gus.troubles(), QStringList());
    QCOMPARE(gus.readyCount(), 1);

    // A line the channel refuses is lost, and the user hears so.
    peer.send(":fake 404 gus #kick :Cannot send to channel");
    QVERIFY(QTest::qWaitFor([&] { return !gus.troubles().isEmpty(); }, kServerWaitMs));
    QVERIFY(gus.troubles().first().contains("not said"));

    // A kick is told at once, with who and why; the rejoin waits.
    peer.send(":op!o@h KICK #kick gus :behave");
    QVERIFY(QTest::qWaitFor([&] { return !gus->isJoined(); }, kServerWaitMs));
    QElapsedTimer sinceKick;
    sinceKick.start();
    QVERIFY(gus->status().contains("behave"));
    QVERIFY(QTest::qWaitFor([&] { return gus.troubles().size() == 2; }, kServerWaitMs));
    QVERIFY2(gus.troubles()[1].contains("op kicked you from #kick: behave") &&
                 gus.troubles()[1].contains("joins #kick again in 400 ms"),
             qPrintable(gus.troubles()[1]));
    QCOMPARE(gus->roomState(), RoomState::OutOfReach);
    QVERIFY(gus->SendRoomLine("after the kick"));
    // The control asks to join again, and is refused for a while.
    QVERIFY(QTest::qWaitFor([&] { return peer.lines().count("JOIN #kick") == 2; }, kServerWaitMs));
    QVERIFY(sinceKick.elapsed() >= 400);
    peer.send(":fake 474 gus #kick :Cannot join channel (+b)");
    QVERIFY(QTest::qWaitFor([&] { return peer.lines().count("JOIN #kick") == 3; }, kServerWaitMs));
    QVERIFY(!peer.waitForLineStarting("PRIVMSG", 0));
    // Out of the channel for a while: the user is told once, with the last
    // reason, however often the control asks again.
    QVERIFY(QTest::qWaitFor([&] { return gus.troubles().size() == 3; }, kServerWaitMs));
    QVERIFY2(gus.troubles()[2].contains("out of reach") && gus.troubles()[2].contains("+b"),
             qPrintable(gus.troubles()[2]));
    peer.send(":fake 474 gus #kick :Cannot join channel (+b)");
    QVERIFY(QTest::qWaitFor([&] { return peer.lines().count("JOIN #kick") == 4; }, kServerWaitMs));
    peer.send(":gus!~svw@h JOIN #kick");
    QVERIFY(gus.waitForJoin(2));
    QCOMPARE(gus->roomState(), RoomState::Connected);
    QVERIFY(peer.waitForLine("PRIVMSG #kick :after the kick"));
    QCOMPARE(gus.troubles().size(), 3);
    QCOMPARE(gus.readyCount(), 2);

    // A second kick soon after waits twice as long.
    peer.send(":op!o@h KICK #kick gus");
    QVERIFY(QTest::qWaitFor([&] { return gus.troubles().size() == 4; }, kServerWaitMs));
    QVERIFY2(gus.troubles()[3].contains("no reason given") &&
                 gus.troubles()[3].contains("again in 800 ms"),
             qPrintable(gus.troubles()[3]));
}

QTEST_GUILESS_MAIN(TestIrcResilience)
#include "tst_irc_resilience.moc"
