// SPDX-License-Identifier: GPL-3.0-or-later
// The IRC room control behind a real ZNC bouncer on a real ngircd: lines
// said while the member was away are played back once, in order, with their
// time; a line the channel refuses is never shown as said, although ZNC
// answers PINGs and echoes lines itself.

#include "irc_test_server.h"

#include <QTest>

using namespace svw;
using namespace svw::test;
using namespace Qt::StringLiterals;

class TestIrcBouncer : public QObject
{
    Q_OBJECT

private slots:
    void playsBackAndConfirmsThroughTheServer();
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

QTEST_GUILESS_MAIN(TestIrcBouncer)
#include "tst_irc_bouncer.moc"
