// SPDX-License-Identifier: GPL-3.0-or-later
// The IRC room control against a real ngircd: controls talk to each other and
// to an outside client byte for byte, the user's own lines come back once,
// nothing but channel PRIVMSGs counts as a room line, nick clashes are
// resolved, and a room line is never cut by the server nor injected into
// the protocol.

#include "irc_test_server.h"

#include <QTest>

using namespace svw;
using namespace svw::test;
using namespace Qt::StringLiterals;

class TestIrcRoom : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void twoControlsTalk();
    void scanSwitchesRoomLines();
    void outsiderSeesExactBytes();
    void onlyChannelTextIsARoomLine();
    void nickClashGetsAnotherNick();
    void fullLineArrivesWhole();
    void refusesLinesIrcCannotCarry();
    void leavingSaysWhatIsQueued();

private:
    std::unique_ptr<IrcTestServer> m_server;
};

void TestIrcRoom::initTestCase()
{
    m_server = std::make_unique<IrcTestServer>();
    m_server->setFloodPenaltyOff(true);
    QString error;
    QVERIFY2(m_server->start(&error), qPrintable(error));
}

void TestIrcRoom::cleanupTestCase()
{
    m_server.reset();
}

void TestIrcRoom::twoControlsTalk()
{
    WatchedRoom ann(testRoomSettings(m_server->port(), "ann", "#talk"));
    WatchedRoom bob(testRoomSettings(m_server->port(), "bob", "#talk"));
    QVERIFY(ann.waitForJoin());
    QVERIFY(bob.waitForJoin());
    QVERIFY(ann->status().contains("#talk"));
    QVERIFY(!ann->serverEchoes()); // ngircd does not offer echo-message

    const QStringList annSays{"-|?|-first", u"-|?|-grüße € ¥"_s, "-|?|-third  with  spaces"};
    for (const QString& line : annSays)
        QVERIFY(ann->SendRoomLine(line));
    QVERIFY(bob->SendRoomLine("-|?|-from bob"));

    QVERIFY(bob.waitForHeard(4));
    QVERIFY(ann.waitForHeard(4));
    QVERIFY(ann.waitForConfirmed());
    QVERIFY(bob.waitForConfirmed());
    // Said once every line is in: a doubled line would come before it.
    QVERIFY(bob->SendRoomLine("-|?|-marker"));
    QVERIFY(bob.waitForHeardLine("bob: -|?|-marker"));
    QVERIFY(ann.waitForHeardLine("bob: -|?|-marker"));

    QStringList expectedAnn;
    for (const QString& line : annSays)
        expectedAnn << "ann: " + line;
    // Each sees the other's lines and its own once, each sender's in order.
    for (WatchedRoom* room : {&ann, &bob}) {
        const QStringList heard = room->heard();
        QCOMPARE(heard.size(), 5);
        QCOMPARE(heard.last(), QString("bob: -|?|-marker"));
        QStringList fromAnn;
        for (const QString& line : heard) {
            if (line.startsWith("ann: "))
                fromAnn << line;
        }
        QCOMPARE(fromAnn, expectedAnn);
        QCOMPARE(heard.count("bob: -|?|-from bob"), 1);
    }
}

void TestIrcRoom::scanSwitchesRoomLines()
{
    WatchedRoom ann(testRoomSettings(m_server->port(), "ann2", "#scan"));
    WatchedRoom bob(testRoomSettings(m_server->port(), "bob2", "#scan"));
    QVERIFY(ann.waitForJoin());
    QVERIFY(bob.waitForJoin());

    bob->StopRoomScan();
    ann->StopRoomScan();
    QVERIFY(ann->SendRoomLine("while nobody listens"));
    QVERIFY(ann.waitForConfirmed());
    // Once the server has answered a line of bob's said after ann's was
    // confirmed, bob has read ann's line too.
    QVERIFY(bob->SendRoomLine("bob, not listening"));
    QVERIFY(bob.waitForConfirmed());
    bob->StartRoomScan();
    ann->StartRoomScan();
    QVERIFY(ann->SendRoomLine("now listened to"));
    QVERIFY(bob.waitForHeard(1));
    QVERIFY(ann.waitForHeard(1));
    // Said after: anything from before would have shown by then.
    QVERIFY(bob->SendRoomLine("marker"));
    QVERIFY(bob.waitForHeardLine("bob2: marker"));
    QVERIFY(ann.waitForHeardLine("bob2: marker"));
    QCOMPARE(bob.heard(), (QStringList{"ann2: now listened to", "bob2: marker"}));
    QCOMPARE(ann.heard(), (QStringList{"ann2: now listened to", "bob2: marker"}));
    QVERIFY(ann->isScanning());
}

void TestIrcRoom::outsiderSeesExactBytes()
{
    RawIrcClient outsider;
    QVERIFY(outsider.connectAndJoin(m_server->port(), "outsider", "#bytes"));
    WatchedRoom ann(testRoomSettings(m_server->port(), "ann3", "#bytes"));
    QVERIFY(ann.waitForJoin());

    // What the control says reaches another client as UTF-8, unchanged.
    const QString said = u"-|?|-Ä\u0081x~€ end"_s;
    QVERIFY(ann->SendRoomLine(said));
    const auto line = outsider.waitForLine("PRIVMSG #bytes");
    QVERIFY(line);
    QVERIFY2(line->startsWith(":ann3!"), line->constData());
    QCOMPARE(line->mid(line->indexOf(" :") + 2), said.toUtf8());

    // What the outsider says reaches the control as said; bytes that are not
    // UTF-8 are read as Windows-1252.
    outsider.send("PRIVMSG #bytes :plain \xc3\xa9t\xc3\xa9");
    outsider.send("PRIVMSG #bytes :old \xe9t\xe9 \x80");
    QVERIFY(ann.waitForHeardLine(u"outsider: old été €"_s));
    QVERIFY(ann.heard().contains(u"outsider: plain été"_s));
}

void TestIrcRoom::onlyChannelTextIsARoomLine()
{
    RawIrcClient outsider;
    QVERIFY(outsider.connectAndJoin(m_server->port(), "other", "#only"));
    outsider.send("JOIN #elsewhere");
    WatchedRoom ann(testRoomSettings(m_server->port(), "ann4", "#only"));
    QVERIFY(ann.waitForJoin());

    outsider.send("NOTICE #only :a notice");
    outsider.send("PRIVMSG #only :\x01"
                  "ACTION waves\x01");
    outsider.send("PRIVMSG #only :\x01VERSION\x01");
    outsider.send("PRIVMSG ann4 :a private word");
    outsider.send("NOTICE ann4 :a private notice");
    outsider.send("PRIVMSG #elsewhere :another channel");
    outsider.send("TOPIC #only :a topic");
    outsider.send("PRIVMSG #ONLY :the last");
    // The last line came after all the others on the same connection: they
    // have been read by the time it shows. The channel name is compared as
    // IRC does, without regard to case.
    QVERIFY(ann.waitForHeard(1));
    QCOMPARE(ann.heard(), QStringList{"other: the last"});
}

void TestIrcRoom::nickClashGetsAnotherNick()
{
    WatchedRoom first(testRoomSettings(m_server->port(), "twin", "#clash"));
    QVERIFY(first.waitForJoin());
    WatchedRoom second(testRoomSettings(m_server->port(), "twin", "#clash"));
    QVERIFY(second.waitForJoin());
    QCOMPARE(first->nick(), QString("twin"));
    QCOMPARE(second->nick(), QString("twin1"));
    QVERIFY(std::any_of(second.statuses().cbegin(), second.statuses().cend(),
                        [](const QString& s) { return s.contains("twin1"); }));

    // A nine-character nick (ngircd's limit) is cut to make room.
    WatchedRoom third(testRoomSettings(m_server->port(), "twin", "#clash"));
    QVERIFY(third.waitForJoin());
    QCOMPARE(third->nick(), QString("twin2"));
    WatchedRoom longA(testRoomSettings(m_server->port(), "ninechars", "#clash"));
    QVERIFY(longA.waitForJoin());
    WatchedRoom longB(testRoomSettings(m_server->port(), "ninechars", "#clash"));
    QVERIFY(longB.waitForJoin());
    QCOMPARE(longB->nick(), QString("ninechar1"));

    QVERIFY(second->SendRoomLine("from the second twin"));
    QVERIFY(first.waitForHeardLine("twin1: from the second twin"));
}

void TestIrcRoom::fullLineArrivesWhole()
{
    RawIrcClient outsider;
    QVERIFY(outsider.connectAndJoin(m_server->port(), "watcher", "#full"));
    WatchedRoom ann(testRoomSettings(m_server->port(), "ann5", "#full"));
    WatchedRoom bob(testRoomSettings(m_server->port(), "bob5", "#full"));
    QVERIFY(ann.waitForJoin());
    QVERIFY(bob.waitForJoin());

    // Once joined the control knows what the server puts in front of its
    // lines; it keeps two bytes in hand for a nick with a number added after
    // a clash on reconnecting.
    const int budget = ann->roomLineByteBudget();
    const QByteArray relayHead =
        ":ann5!~" + ircUserNameFromLogin().toUtf8() + "@127.0.0.1 PRIVMSG #full :";
    QCOMPARE(budget, 512 - 2 - relayHead.size() - 2);

    // A line of exactly the budget, with characters of two and three bytes.
    QString full = u"-|?|-"_s;
    while (full.toUtf8().size() + 3 <= budget)
        full += u"€"_s;
    while (full.toUtf8().size() < budget)
        full += u"x"_s;
    QCOMPARE(full.toUtf8().size(), budget);
    QVERIFY(ann->fitsOneLine(full));
    QVERIFY(!ann->fitsOneLine(full + "x"));
    QVERIFY(!ann->SendRoomLine(full + "x"));
    QVERIFY(ann->errorString().contains(QString::number(budget)));

    QVERIFY(ann->SendRoomLine(full));
    const auto relayed = outsider.waitForLine("PRIVMSG #full");
    QVERIFY(relayed);
    QCOMPARE(*relayed, relayHead + full.toUtf8());
    QVERIFY(!relayed->endsWith("[CUT]"));
    QVERIFY(bob.waitForHeard(1));
    QCOMPARE(bob.heard(), QStringList{"ann5: " + full});
}

void TestIrcRoom::refusesLinesIrcCannotCarry()
{
    RawIrcClient outsider;
    QVERIFY(outsider.connectAndJoin(m_server->port(), "guard", "#safe"));
    WatchedRoom ann(testRoomSettings(m_server->port(), "ann6", "#safe"));
    QVERIFY(ann.waitForJoin());

    const QStringList refused{"a\r\nQUIT :injected",
                              "a\nJOIN #other",
                              "a\rb",
                              QString("nul") + QChar(0) + "x",
                              "",
                              "trailing space ",
                              "trailing tab\t",
                              "\x01"
                              "ACTION looks like CTCP\x01"};
    for (const QString& line : refused) {
        QVERIFY2(!ann->SendRoomLine(line), qPrintable(line));
        QVERIFY(!ann->errorString().isEmpty());
    }
    QCOMPARE(ann->unconfirmedLines(), 0);
    QVERIFY(ann->SendRoomLine("only this"));
    const auto line = outsider.waitForLine("PRIVMSG #safe");
    QVERIFY(line);
    QVERIFY(line->endsWith(" :only this"));
    QVERIFY(ann->SendRoomLine("and this"));
    QVERIFY(outsider.waitForLine(" :and this"));
    // Nothing else came from the control: no second command, no quit.
    for (const QByteArray& seen : outsider.lines()) {
        if (seen.startsWith(":ann6!"))
            QVERIFY2(seen.contains("JOIN") || seen.endsWith(" :only this") ||
                         seen.endsWith(" :and this"),
                     seen.constData());
    }
    QVERIFY(ann->isJoined());
}

void TestIrcRoom::leavingSaysWhatIsQueued()
{
    WatchedRoom bob(testRoomSettings(m_server->port(), "bob7", "#close"));
    QVERIFY(bob.waitForJoin());
    RawIrcClient watcher;
    QVERIFY(watcher.connectAndJoin(m_server->port(), "watch7", "#close"));
    QStringList said;
    {
        // Five lines at once (CAP LS, NICK, USER, CAP END, JOIN),
        // then one each 200 ms: the room lines wait for their turn, and are
        // paced out while leaving.
        IrcRoomSettings settings = testRoomSettings(m_server->port(), "ann7", "#close");
        settings.pacing = IrcPacing{5, 200, 0, 0};
        WatchedRoom ann(settings);
        QVERIFY(ann.waitForJoin());
        QTest::qWait(50);
        for (int i = 0; i < 4; ++i) {
            said << u"ann7: queued %1"_s.arg(i);
            QVERIFY(ann->SendRoomLine(u"queued %1"_s.arg(i)));
        }
        QVERIFY(ann->waitingLineCount() >= 3);
        QList<int> left;
        QObject::connect(&ann.room(), &ChatRoomControl::roomLeft,
                         [&](int unsaid) { left << unsaid; });
        ann->leaveRoom(std::chrono::seconds(20));
        QVERIFY(QTest::qWaitFor([&] { return !left.isEmpty(); }, kServerWaitMs));
        QCOMPARE(left, QList<int>{0});
        QVERIFY(bob.waitForHeard(4));
        QCOMPARE(bob.heard(), said);
        // Left with QUIT, not by being destroyed.
        const auto quitA = watcher.waitForLine(" QUIT ");
        QVERIFY(quitA && quitA->startsWith(":ann7!"));
    }
    {
        // Out of patience: what was not written is counted, never written
        // unpaced, and the control's end writes nothing more.
        IrcRoomSettings settings = testRoomSettings(m_server->port(), "cat7", "#close");
        settings.pacing = IrcPacing{5, 60000, 0, 0};
        WatchedRoom cat(settings);
        QVERIFY(cat.waitForJoin());
        QTest::qWait(50);
        for (int i = 0; i < 3; ++i)
            QVERIFY(cat->SendRoomLine(u"never %1"_s.arg(i)));
        QList<int> left;
        QObject::connect(&cat.room(), &ChatRoomControl::roomLeft,
                         [&](int unsaid) { left << unsaid; });
        cat->leaveRoom(std::chrono::milliseconds(300));
        QVERIFY(QTest::qWaitFor([&] { return !left.isEmpty(); }, kServerWaitMs));
        QCOMPARE(left, QList<int>{3});
        const auto quitC = watcher.waitForLine(" QUIT ");
        QVERIFY(quitC && quitC->startsWith(":cat7!"));
    }
    {
        // Destroyed without leaving: the queue is not written unpaced.
        IrcRoomSettings settings = testRoomSettings(m_server->port(), "dan7", "#close");
        settings.pacing = IrcPacing{5, 60000, 0, 0};
        WatchedRoom dan(settings);
        QVERIFY(dan.waitForJoin());
        QTest::qWait(50);
        QVERIFY(dan->SendRoomLine("not unpaced"));
    }
    const auto quitD = watcher.waitForLine(" QUIT ");
    QVERIFY(quitD && quitD->startsWith(":dan7!"));
    for (const QString& line : bob.heard())
        QVERIFY2(!line.startsWith("cat7") && !line.startsWith("dan7"), qPrintable(line));
}

QTEST_GUILESS_MAIN(TestIrcRoom)
#include "tst_irc_room.moc"
