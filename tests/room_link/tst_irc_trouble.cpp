// SPDX-License-Identifier: GPL-3.0-or-later
// What the IRC room control tells its user when things go wrong: lines the
// channel refuses, a server that floods or grows our lists, disconnects and
// their causes, kicks. Scripted servers play the hostile parts; a real ngircd
// with an operator plays the moderated channel.

#include "irc_test_server.h"
#include "scripted_peer.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTest>

using namespace svw;
using namespace svw::test;
using namespace Qt::StringLiterals;

class TestIrcTrouble : public QObject
{
    Q_OBJECT

private slots:
    void everyLineIsConfirmedAtOnce();
    void burstIsConfirmedLineByLine();
    void refusedLinesAreNeverShownAndAreCounted();
    void refusalCountStartsAgainAfterRejoin();
    void rejoinRefusedAfterKickIsToldOnceItLasts();
    void lineToAChannelGoneWithTheKickWaitsForTheRejoin();
    void stayingInTheChannelIsNoTrouble();
    void pingFloodNeitherQueuesNorStarves();
    void longSessionAnswersEveryPing();
    void endlessCapabilityListIsCut();
    void eachDisconnectNamesItsOwnCause();
    void plainAnswerToTlsIsToldNotRetried();
    void moderatedChannelOnNgircd();
};

void TestIrcTrouble::everyLineIsConfirmedAtOnce()
{
    QTcpServer fake;
    QVERIFY(fake.listen(QHostAddress::LocalHost));
    IrcRoomSettings settings = testRoomSettings(fake.serverPort(), "ida", "#t");
    // Paced as on a real network: a line a second after the first.
    settings.pacing = IrcPacing{1, 1000, 0, 0};
    WatchedRoom ida(settings);
    auto peer = acceptAndJoin(fake, ida, "ida", "#t");
    QVERIFY(peer);

    QVERIFY(ida->SendRoomLine("first"));
    QVERIFY(ida->SendRoomLine("second"));
    // Each line is followed by its own PING at once, not after the next
    // line's turn has come.
    const QByteArray first = pingAfter(*peer, "PRIVMSG #t :first");
    QVERIFY(!first.isEmpty());
    QVERIFY(!peer->lines().contains("PRIVMSG #t :second"));

    // Another member's line relayed before the server took ours comes first;
    // ours is shown when the server has taken it, before what follows.
    peer->send(":kim!k@h PRIVMSG #t :before");
    peer->send(":fake PONG fake :" + first);
    peer->send(":kim!k@h PRIVMSG #t :after");
    QVERIFY(ida.waitForHeard(3));
    QCOMPARE(ida.heard(), (QStringList{"kim: before", "ida: first", "kim: after"}));

    const QByteArray second = pingAfter(*peer, "PRIVMSG #t :second");
    QVERIFY(!second.isEmpty());
    peer->send(":fake PONG fake :" + second);
    QVERIFY(ida.waitForHeardLine("ida: second"));
    QCOMPARE(ida->unconfirmedLines(), 0);
}

void TestIrcTrouble::burstIsConfirmedLineByLine()
{
    QTcpServer fake;
    QVERIFY(fake.listen(QHostAddress::LocalHost));
    WatchedRoom una(testRoomSettings(fake.serverPort(), "una", "#t")); // unpaced
    auto peer = acceptAndJoin(fake, una, "una", "#t");
    QVERIFY(peer);

    // Every line of a burst has its PING right behind it, and goes only once
    // the one before is confirmed: the server takes line and PING in one
    // turn, so each shows at the place the server took it.
    QVERIFY(una->SendRoomLine("a"));
    QVERIFY(una->SendRoomLine("b"));
    QVERIFY(una->SendRoomLine("c"));
    const QByteArray first = pingAfter(*peer, "PRIVMSG #t :a");
    QVERIFY(!first.isEmpty());
    QVERIFY(!peer->waitForLine("PRIVMSG #t :b", 100));
    peer->send(":kim!k@h PRIVMSG #t :before");
    peer->send(":fake PONG fake :" + first);
    const QByteArray second = pingAfter(*peer, "PRIVMSG #t :b");
    QVERIFY(!second.isEmpty());
    peer->send(":fake PONG fake :" + second);
    peer->send(":kim!k@h PRIVMSG #t :between");
    const QByteArray third = pingAfter(*peer, "PRIVMSG #t :c");
    QVERIFY(!third.isEmpty());
    peer->send(":fake PONG fake :" + third);
    QVERIFY(una.waitForHeard(5));
    QCOMPARE(una.heard(),
             (QStringList{"kim: before", "una: a", "una: b", "kim: between", "una: c"}));
    QCOMPARE(una->unconfirmedLines(), 0);
}

void TestIrcTrouble::refusedLinesAreNeverShownAndAreCounted()
{
    QTcpServer fake;
    QVERIFY(fake.listen(QHostAddress::LocalHost));
    WatchedRoom jan(testRoomSettings(fake.serverPort(), "jan", "#t"));
    auto peer = acceptAndJoin(fake, jan, "jan", "#t");
    QVERIFY(peer);

    // The channel is moderated: the server refuses each line before it
    // answers the PING that follows it.
    const QStringList said{"one", "two", "three"};
    for (const QString& text : said) {
        QVERIFY(jan->SendRoomLine(text));
        const QByteArray token = pingAfter(*peer, "PRIVMSG #t :" + text.toUtf8());
        QVERIFY(!token.isEmpty());
        peer->send(":fake 404 jan #t :Cannot send to channel (+m)");
        peer->send(":fake PONG fake :" + token);
    }
    QVERIFY(QTest::qWaitFor([&] { return jan.troubles().size() == 3; }, kServerWaitMs));
    // Another member's line, relayed after the refusals: had any refused
    // line been shown, it would have been by now.
    peer->send(":kim!k@h PRIVMSG #t :marker");
    QVERIFY(jan.waitForHeardLine("kim: marker"));
    QCOMPARE(jan.heard(), QStringList{"kim: marker"});
    QCOMPARE(jan->unconfirmedLines(), 0);
    // Every refused line is accounted for, with the server's reason.
    QVERIFY2(jan.troubles().first().contains("1 line you sent was not said"),
             qPrintable(jan.troubles().first()));
    QVERIFY2(jan.troubles().last().contains("3 lines you sent were not said") &&
                 jan.troubles().last().contains("(+m)"),
             qPrintable(jan.troubles().last()));
    QCOMPARE(jan.readyCount(), 1);

    // The operator lifts +m: the user can tell without a rejoin.
    peer->send(":op!o@h MODE #t -m");
    QVERIFY(QTest::qWaitFor([&] { return jan.readyCount() == 2; }, kServerWaitMs));
    QVERIFY2(jan->status().contains("may take lines again"), qPrintable(jan->status()));
    QVERIFY(jan->SendRoomLine("four"));
    const QByteArray token = pingAfter(*peer, "PRIVMSG #t :four");
    peer->send(":fake PONG fake :" + token);
    QVERIFY(jan.waitForHeardLine("jan: four"));
    QCOMPARE(jan.heard(), (QStringList{"kim: marker", "jan: four"}));
    QCOMPARE(linesStarting(*peer, "JOIN").size(), 1);

    // A new stretch of refusals is told anew; a line taken ends it.
    QVERIFY(jan->SendRoomLine("five"));
    peer->send(":fake 404 jan #t :Cannot send to channel (+b)");
    peer->send(":fake PONG fake :" + pingAfter(*peer, "PRIVMSG #t :five"));
    QVERIFY(QTest::qWaitFor([&] { return jan.troubles().size() == 4; }, kServerWaitMs));
    QVERIFY(jan.troubles().last().contains("1 line you sent was not said"));
    QVERIFY(jan->SendRoomLine("six"));
    peer->send(":fake PONG fake :" + pingAfter(*peer, "PRIVMSG #t :six"));
    QVERIFY(QTest::qWaitFor([&] { return jan.readyCount() == 3; }, kServerWaitMs));
    QVERIFY2(jan->status().contains("takes lines again"), qPrintable(jan->status()));
    QCOMPARE(jan.heard(), (QStringList{"kim: marker", "jan: four", "jan: six"}));
}

void TestIrcTrouble::refusalCountStartsAgainAfterRejoin()
{
    QTcpServer fake;
    QVERIFY(fake.listen(QHostAddress::LocalHost));
    IrcRoomSettings settings = testRoomSettings(fake.serverPort(), "pia", "#t");
    settings.kickRejoinMs = 50;
    WatchedRoom pia(settings);
    auto peer = acceptAndJoin(fake, pia, "pia", "#t");
    QVERIFY(peer);

    QVERIFY(pia->SendRoomLine("one"));
    const QByteArray first = pingAfter(*peer, "PRIVMSG #t :one");
    QVERIFY(!first.isEmpty());
    peer->send(":fake 404 pia #t :Cannot send to channel (+m)");
    peer->send(":fake PONG fake :" + first);
    QVERIFY(QTest::qWaitFor([&] { return pia.troubles().size() == 1; }, kServerWaitMs));
    QVERIFY(pia.troubles()[0].contains("1 line you sent was not said"));

    // Kicked while the channel refused, and back in: a fresh join counts
    // its refusals from nothing.
    peer->send(":op!o@h KICK #t pia :out");
    QVERIFY(QTest::qWaitFor([&] { return peer->lines().count("JOIN #t") == 2; }, kServerWaitMs));
    peer->send(":pia!~u@h JOIN #t");
    QVERIFY(pia.waitForJoin(2));
    QCOMPARE(pia.troubles().size(), 2); // the kick
    QVERIFY(pia->SendRoomLine("two"));
    const QByteArray second = pingAfter(*peer, "PRIVMSG #t :two");
    QVERIFY(!second.isEmpty());
    peer->send(":fake 404 pia #t :Cannot send to channel (+m)");
    peer->send(":fake PONG fake :" + second);
    QVERIFY(QTest::qWaitFor([&] { return pia.troubles().size() == 3; }, kServerWaitMs));
    QVERIFY2(pia.troubles()[2].contains("1 line you sent was not said"),
             qPrintable(pia.troubles()[2]));
}

// The kick was told at once; a channel that then keeps the copy out is news
// again once that has lasted, not only the kick.
void TestIrcTrouble::rejoinRefusedAfterKickIsToldOnceItLasts()
{
    QTcpServer fake;
    QVERIFY(fake.listen(QHostAddress::LocalHost));
    IrcRoomSettings settings = testRoomSettings(fake.serverPort(), "rex", "#t");
    settings.kickRejoinMs = 50;
    // Long enough to be in the channel well before it, even under the
    // sanitizers on a busy machine.
    settings.troubleAfterMs = 2000;
    WatchedRoom rex(settings);
    auto peer = acceptAndJoin(fake, rex, "rex", "#t");
    QVERIFY(peer);

    peer->send(":op!o@h KICK #t rex :out");
    QVERIFY(QTest::qWaitFor([&] { return peer->lines().count("JOIN #t") == 2; }, kServerWaitMs));
    QCOMPARE(rex.troubles().size(), 1);
    QVERIFY(rex.troubles()[0].contains("kicked you"));
    peer->send(":fake 474 rex #t :Cannot join channel (+b)");
    QVERIFY(QTest::qWaitFor([&] { return rex.troubles().size() == 2; }, kServerWaitMs));
    QVERIFY2(rex.troubles()[1].contains("out of reach"), qPrintable(rex.troubles()[1]));
    QCOMPARE(rex->roomState(), RoomState::OutOfReach);
}

// Kicked as its last member, the channel is gone before the server comes to
// the line sent just before: "no such channel" answers that line, which is
// said again once back in, not shown as said nor taken for a refused join.
void TestIrcTrouble::lineToAChannelGoneWithTheKickWaitsForTheRejoin()
{
    QTcpServer fake;
    QVERIFY(fake.listen(QHostAddress::LocalHost));
    IrcRoomSettings settings = testRoomSettings(fake.serverPort(), "ivo", "#t");
    settings.kickRejoinMs = 50;
    WatchedRoom ivo(settings);
    auto peer = acceptAndJoin(fake, ivo, "ivo", "#t");
    QVERIFY(peer);

    QVERIFY(ivo->SendRoomLine("on its way"));
    const QByteArray token = pingAfter(*peer, "PRIVMSG #t :on its way");
    QVERIFY(!token.isEmpty());
    peer->send(":op!o@h KICK #t ivo :out");
    peer->send(":fake 403 ivo #t :No such channel");
    peer->send(":fake PONG fake :" + token);
    QVERIFY(QTest::qWaitFor([&] { return peer->lines().count("JOIN #t") == 2; }, kServerWaitMs));
    QCOMPARE(ivo.heard(), QStringList());
    peer->send(":ivo!~u@h JOIN #t");
    QVERIFY(ivo.waitForJoin(2));
    QVERIFY(QTest::qWaitFor([&] { return peer->lines().count("PRIVMSG #t :on its way") == 2; },
                            kServerWaitMs));
    QVERIFY(
        QTest::qWaitFor([&] { return peer->lines().last().startsWith("PING :"); }, kServerWaitMs));
    peer->send(":fake PONG fake :" + peer->lines().last().mid(6));
    QVERIFY(ivo.waitForHeardLine("ivo: on its way"));
    QCOMPARE(ivo.heard(), QStringList{"ivo: on its way"});
    QCOMPARE(ivo.troubles().size(), 1); // the kick; no "cannot join"
    QVERIFY2(!ivo.troubles()[0].contains("cannot join"), qPrintable(ivo.troubles()[0]));
}

// A copy that stays in its channel past the trouble delay is never told the
// room is out of reach.
void TestIrcTrouble::stayingInTheChannelIsNoTrouble()
{
    QTcpServer fake;
    QVERIFY(fake.listen(QHostAddress::LocalHost));
    IrcRoomSettings settings = testRoomSettings(fake.serverPort(), "ora", "#t");
    // Long enough to be in the channel well before it, even under the
    // sanitizers on a busy machine.
    settings.troubleAfterMs = 2000;
    WatchedRoom ora(settings);
    auto peer = acceptAndJoin(fake, ora, "ora", "#t");
    QVERIFY(peer);

    // A control with the same delay, started later, that reaches no server:
    // once it has been told, the delay is over for the first too.
    IrcRoomSettings nowhere = testRoomSettings(freeLocalPort(), "nob", "#t");
    nowhere.troubleAfterMs = settings.troubleAfterMs;
    WatchedRoom nob(nowhere);
    QVERIFY(QTest::qWaitFor([&] { return !nob.troubles().isEmpty(); }, kServerWaitMs));
    QVERIFY(nob.troubles()[0].contains("out of reach"));
    QCOMPARE(nob->roomState(), RoomState::OutOfReach);
    QCOMPARE(ora.troubles(), QStringList());
    QCOMPARE(ora->roomState(), RoomState::Connected);
    QVERIFY(ora->isJoined());
}

void TestIrcTrouble::pingFloodNeitherQueuesNorStarves()
{
    QTcpServer fake;
    QVERIFY(fake.listen(QHostAddress::LocalHost));
    IrcRoomSettings settings = testRoomSettings(fake.serverPort(), "kai", "#t");
    settings.pacing = IrcPacing{};
    WatchedRoom kai(settings);
    auto peer = acceptAndJoin(fake, kai, "kai", "#t");
    QVERIFY(peer);

    // A burst of PINGs, fewer than a flood: one answer at once, and one more
    // with the newest token; none of them holds back the user's line.
    for (int i = 0; i < 20; ++i)
        peer->send(":fake PING :tok" + QByteArray::number(i));
    QVERIFY(peer->waitForLine("PONG :tok0"));
    QVERIFY(kai->SendRoomLine("not starved"));
    // Registering took the pacer's burst; the line waits only for that.
    QVERIFY(peer->waitForLine("PRIVMSG #t :not starved", 3000));
    QVERIFY(peer->waitForLine("PONG :tok19"));
    // A later PING is answered after any answer still owed to the burst.
    QVERIFY(caughtUp(*peer, "later"));
    QCOMPARE(linesStarting(*peer, "PONG"),
             (QList<QByteArray>{"PONG :tok0", "PONG :tok19", "PONG :later"}));

    // A flood: the control leaves the server and says why.
    QByteArray flood;
    for (int i = 0; i < 20000; ++i)
        flood += "PING :f" + QByteArray::number(i) + "\r\n";
    peer->send(flood);
    QVERIFY(QTest::qWaitFor([&] { return !peer->isOpen(); }, kServerWaitMs));
    QVERIFY2(kai->status().contains("PINGs") && kai->status().contains("flooding"),
             qPrintable(kai->status()));
    QVERIFY(linesStarting(*peer, "PONG").size() <= 3);
}

// The PINGs a server may send are counted over a window that moves on: a
// long session's PINGs are all answered, however many there are in all.
void TestIrcTrouble::longSessionAnswersEveryPing()
{
    QTcpServer fake;
    QVERIFY(fake.listen(QHostAddress::LocalHost));
    IrcRoomSettings settings = testRoomSettings(fake.serverPort(), "rui", "#t");
    settings.pingFloodLimit = 3;
    settings.pingWindowMs = 200;
    settings.pongIntervalMs = 1;
    WatchedRoom rui(settings);
    auto peer = acceptAndJoin(fake, rui, "rui", "#t");
    QVERIFY(peer);

    for (int round = 0; round < 4; ++round) {
        const QByteArray token = "round" + QByteArray::number(round);
        peer->send(":fake PING :" + token + "a");
        peer->send(":fake PING :" + token + "b");
        QVERIFY2(peer->waitForLine("PONG :" + token + "b"), token.constData());
        QTest::qWait(settings.pingWindowMs + 50); // the next window
    }
    QVERIFY(caughtUp(*peer, "last"));
    QVERIFY(peer->isOpen());
    QVERIFY(rui->isJoined());
    QVERIFY(!fake.hasPendingConnections());
    QCOMPARE(rui.troubles(), QStringList());
}

void TestIrcTrouble::endlessCapabilityListIsCut()
{
    QTcpServer fake;
    QVERIFY(fake.listen(QHostAddress::LocalHost));
    WatchedRoom lee(testRoomSettings(fake.serverPort(), "lee", "#t"));
    QVERIFY(QTest::qWaitFor([&] { return fake.hasPendingConnections(); }, kServerWaitMs));
    ScriptedPeer peer(fake.nextPendingConnection());
    QVERIFY(peer.waitForLineStarting("USER "));
    QByteArray flood;
    for (int i = 0; i < 5000; ++i)
        flood += ":fake CAP * LS * :cap" + QByteArray::number(i) + " more" + QByteArray::number(i) +
                 "\r\n";
    peer.send(flood);
    QVERIFY(QTest::qWaitFor([&] { return !peer.isOpen(); }, kServerWaitMs));
    QVERIFY2(lee->status().contains("capability list"), qPrintable(lee->status()));
    QVERIFY(!peer.lines().contains("CAP END"));
}

void TestIrcTrouble::eachDisconnectNamesItsOwnCause()
{
    QTcpServer fake;
    QVERIFY(fake.listen(QHostAddress::LocalHost));
    WatchedRoom max(testRoomSettings(fake.serverPort(), "max", "#t"));
    QVERIFY(QTest::qWaitFor([&] { return fake.hasPendingConnections(); }, kServerWaitMs));
    {
        // A refusal the server does not act on, then a line too long for
        // IRC: the disconnect is for the long line.
        ScriptedPeer peer(fake.nextPendingConnection());
        QVERIFY(peer.waitForLineStarting("USER "));
        peer.send(":fake 464 max :Password incorrect");
        peer.send(":fake CAP * LS :");
        welcome(peer, "max");
        peer.send(":max!~u@h JOIN #t");
        QVERIFY(max.waitForJoin());
        peer.send(":fake 465 max");
        peer.send(":x!y@z PRIVMSG #t :" + QByteArray(40000, 'x'));
        QVERIFY(QTest::qWaitFor([&] { return !peer.isOpen(); }, kServerWaitMs));
        QVERIFY2(max->status().contains("too long") && !max->status().contains("refused"),
                 qPrintable(max->status()));
    }
    {
        // The server says why it closes: that is the reason.
        QVERIFY(QTest::qWaitFor([&] { return fake.hasPendingConnections(); }, kServerWaitMs));
        QTcpSocket* socket = fake.nextPendingConnection();
        ScriptedPeer peer(socket);
        QVERIFY(peer.waitForLineStarting("USER "));
        peer.send(":fake 465 max :You are banned (spam)");
        peer.send("ERROR :Closing Link: max (K-lined)");
        socket->flush();
        socket->disconnectFromHost();
        QVERIFY(
            QTest::qWaitFor([&] { return max->status().contains("Reconnecting"); }, kServerWaitMs));
        QVERIFY2(max->status().contains("K-lined"), qPrintable(max->status()));
    }
    {
        // A plain close after that names no stale reason.
        QVERIFY(QTest::qWaitFor([&] { return fake.hasPendingConnections(); }, kServerWaitMs));
        QTcpSocket* socket = fake.nextPendingConnection();
        ScriptedPeer peer(socket);
        QVERIFY(peer.waitForLineStarting("USER "));
        socket->disconnectFromHost();
        QVERIFY(QTest::qWaitFor(
            [&] { return max->status().contains("the server closed the connection"); },
            kServerWaitMs));
        QVERIFY2(!max->status().contains("K-lined") && !max->status().contains("banned"),
                 qPrintable(max->status()));
    }
}

void TestIrcTrouble::plainAnswerToTlsIsToldNotRetried()
{
    // A plain IRC server answers the TLS greeting with a line of IRC.
    QTcpServer fake;
    QVERIFY(fake.listen(QHostAddress::LocalHost));
    int connections = 0;
    QObject::connect(&fake, &QTcpServer::newConnection, [&] {
        ++connections;
        QTcpSocket* socket = fake.nextPendingConnection();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] {
            socket->readAll();
            socket->write(":plain NOTICE * :*** Looking up your hostname\r\n");
        });
    });
    IrcRoomSettings settings = testRoomSettings(fake.serverPort(), "ned", "#t");
    settings.address.tls = true;
    settings.troubleAfterMs = 600'000;
    WatchedRoom ned(settings);
    QVERIFY(QTest::qWaitFor([&] { return !ned.troubles().isEmpty(); }, kServerWaitMs));
    QVERIFY2(ned.troubles().first().contains("may not speak TLS"),
             qPrintable(ned.troubles().first()));
    QCOMPARE(ned->roomState(), RoomState::OutOfReach);
    QVERIFY(retryWouldHaveCome());
    QCOMPARE(connections, 1);
    QCOMPARE(ned.troubles().size(), 1);
}

void TestIrcTrouble::moderatedChannelOnNgircd()
{
    IrcTestServer server;
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    RawIrcClient op;
    QVERIFY(op.connectAndJoin(server.port(), "op", "#mod")); // first in: channel operator
    WatchedRoom ann(testRoomSettings(server.port(), "ann", "#mod"));
    QVERIFY(ann.waitForJoin());
    QVERIFY(ann->SendRoomLine("heard"));
    QVERIFY(op.waitForLine("PRIVMSG #mod :heard"));
    QVERIFY(ann.waitForHeardLine("ann: heard"));

    op.send("MODE #mod +m");
    QVERIFY(op.waitForLine("MODE #mod +m"));
    QTest::qWait(200);
    for (const char* text : {"muted 1", "muted 2", "muted 3"})
        QVERIFY(ann->SendRoomLine(text));
    QVERIFY(ann.waitForConfirmed());
    QVERIFY(QTest::qWaitFor([&] { return ann.troubles().size() == 3; }, kServerWaitMs));
    QVERIFY2(ann.troubles().last().contains("3 lines you sent were not said"),
             qPrintable(ann.troubles().last()));
    // None of them is shown as said on either side.
    QCOMPARE(ann.heard(), QStringList{"ann: heard"});

    op.send("MODE #mod -m");
    QVERIFY(QTest::qWaitFor([&] { return ann.readyCount() == 2; }, kServerWaitMs));
    QVERIFY(ann->SendRoomLine("free again"));
    QVERIFY(op.waitForLine("PRIVMSG #mod :free again"));
    QVERIFY(ann.waitForHeardLine("ann: free again"));
    for (const QByteArray& line : op.lines())
        QVERIFY2(!line.contains("muted"), line.constData());
    QCOMPARE(ann.joinCount(), 1);
}

QTEST_GUILESS_MAIN(TestIrcTrouble)
#include "tst_irc_trouble.moc"
