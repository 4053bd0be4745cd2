// SPDX-License-Identifier: GPL-3.0-or-later
// The user's own lines on real servers and odd ones: a channel that turns
// moderated or kicks us in the middle of a burst, bursts of two members at
// once, servers that answer PING without its token or not at all, leaving
// with lines still waiting, and netsplits.

#include "irc_test_server.h"
#include "scripted_peer.h"

#include <QTest>
#include <QTimer>

#include <csignal>

using namespace svw;
using namespace svw::test;
using namespace Qt::StringLiterals;

namespace {

// The texts of the PRIVMSGs to `channel` from `nick` that `client` has
// seen, in order, after making sure the server relayed everything before.
QStringList carriedFrom(RawIrcClient& client, const QByteArray& nick, const QByteArray& channel)
{
    static int sync = 0;
    const QByteArray token = "sync" + QByteArray::number(++sync);
    client.send("PING :" + token);
    client.waitForLine(token);
    QStringList texts;
    const QByteArray start = ":" + nick + "!";
    const QByteArray middle = " PRIVMSG " + channel + " :";
    for (const QByteArray& line : client.lines()) {
        if (line.startsWith(start) && line.contains(middle))
            texts << QString::fromUtf8(line.mid(line.indexOf(middle) + middle.size()));
    }
    return texts;
}

// The texts a control showed as said by `nick`.
QStringList shownFrom(const WatchedRoom& room, const QString& nick)
{
    QStringList texts;
    for (const QString& line : room.heard()) {
        if (line.startsWith(nick + ": "))
            texts << line.mid(nick.size() + 2);
    }
    return texts;
}

} // namespace

class TestIrcLines : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void refusalTakesItsOwnLine_data();
    void refusalTakesItsOwnLine();
    void kickDuringBurstSaysNothingTwice_data();
    void kickDuringBurstSaysNothingTwice();
    void ownLinesShowInTheChannelsOrder();
    void serverWithoutTokenOrAnswer();
    void leavingWhileKickedCountsTheLines();
    void leavingWaitsForAReconnect();
    void netsplitIsTold();

private:
    IrcTestServer& server(const QString& kind);
    std::unique_ptr<IrcTestServer> m_ngircd;
    std::unique_ptr<IrcTestServer> m_inspircd;
    int m_round = 0;
};

void TestIrcLines::initTestCase()
{
    // ngircd with its flood penalty, as networks run it; inspircd without
    // echo-message, so own lines show by confirmation there too.
    m_ngircd = std::make_unique<IrcTestServer>();
    m_inspircd = std::make_unique<IrcTestServer>(IrcTestServer::Kind::Inspircd);
    m_inspircd->setEchoMessage(false);
    QString error;
    QVERIFY2(m_ngircd->start(&error), qPrintable(error));
    QVERIFY2(m_inspircd->start(&error), qPrintable(error));
}

void TestIrcLines::cleanupTestCase()
{
    m_ngircd.reset();
    m_inspircd.reset();
}

IrcTestServer& TestIrcLines::server(const QString& kind)
{
    return kind == u"ngircd" ? *m_ngircd : *m_inspircd;
}

void TestIrcLines::refusalTakesItsOwnLine_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("offsetMs");
    for (const char* kind : {"ngircd", "inspircd"}) {
        for (int offset = 0; offset <= 50; offset += 10)
            QTest::addRow("%s %d ms", kind, offset) << QString::fromLatin1(kind) << offset;
    }
}

void TestIrcLines::refusalTakesItsOwnLine()
{
    // The operator moderates the channel while a burst is under way: the
    // lines the channel carried are exactly the ones shown, and the others
    // are counted as refused.
    QFETCH(QString, kind);
    QFETCH(int, offsetMs);
    IrcTestServer& irc = server(kind);
    const QByteArray n = QByteArray::number(++m_round);
    const QByteArray channel = "#ref" + n;
    RawIrcClient op;
    QVERIFY(op.connectAndJoin(irc.port(), "op" + n, channel));
    IrcRoomSettings settings = testRoomSettings(irc.port(), "ann" + n, channel);
    settings.pacing = IrcPacing{1, 10, 0, 0};
    WatchedRoom ann(settings);
    QVERIFY(ann.waitForJoin());
    QVERIFY(op.waitForLine(":ann" + n + "!"));

    QStringList said;
    for (int i = 0; i < 8; ++i) {
        said << u"t%1-%2"_s.arg(offsetMs).arg(i);
        QVERIFY(ann->SendRoomLine(said.last()));
    }
    QTimer::singleShot(offsetMs, [&] { op.send("MODE " + channel + " +m"); });
    QVERIFY(op.waitForLine(" MODE " + channel));
    QVERIFY(QTest::qWaitFor([&] { return ann->unconfirmedLines() == 0; }, kServerWaitMs));

    const QStringList carried = carriedFrom(op, "ann" + n, channel);
    QCOMPARE(shownFrom(ann, "ann" + n), carried);
    const qsizetype refused = said.size() - carried.size();
    QCOMPARE(carried, said.mid(0, carried.size()));
    if (refused > 0) {
        const QString count =
            refused == 1 ? u"1 line you sent was"_s : u"%1 lines you sent were"_s.arg(refused);
        QVERIFY2(ann.troubles().last().contains(count), qPrintable(ann.troubles().last()));
    } else {
        QCOMPARE(ann.troubles(), QStringList());
    }
}

void TestIrcLines::kickDuringBurstSaysNothingTwice_data()
{
    refusalTakesItsOwnLine_data();
}

void TestIrcLines::kickDuringBurstSaysNothingTwice()
{
    // A kick lands in the middle of a burst: lines the server took before
    // it are never said again, the rest go out after the rejoin, each once
    // and in order.
    QFETCH(QString, kind);
    QFETCH(int, offsetMs);
    IrcTestServer& irc = server(kind);
    const QByteArray n = QByteArray::number(++m_round);
    const QByteArray channel = "#kick" + n;
    RawIrcClient op;
    QVERIFY(op.connectAndJoin(irc.port(), "op" + n, channel));
    op.send("MODE " + channel + " +n");
    IrcRoomSettings settings = testRoomSettings(irc.port(), "ann" + n, channel);
    settings.pacing = IrcPacing{1, 10, 0, 0};
    settings.kickRejoinMs = 200;
    settings.kickRejoinMaxMs = 200;
    WatchedRoom ann(settings);
    QVERIFY(ann.waitForJoin());
    QVERIFY(op.waitForLine(":ann" + n + "!"));

    QStringList said;
    for (int i = 0; i < 8; ++i) {
        said << u"k%1-%2"_s.arg(offsetMs).arg(i);
        QVERIFY(ann->SendRoomLine(said.last()));
    }
    QTimer::singleShot(offsetMs, [&] { op.send("KICK " + channel + " ann" + n + " :out"); });
    QVERIFY(op.waitForLine(" KICK " + channel));
    QVERIFY(ann.waitForJoin(2));
    QVERIFY(QTest::qWaitFor([&] { return ann->unconfirmedLines() == 0; }, kServerWaitMs));

    QCOMPARE(carriedFrom(op, "ann" + n, channel), said);
    QCOMPARE(shownFrom(ann, "ann" + n), said);
    // Lines bounced by our absence are not the channel's refusal.
    for (const QString& trouble : ann.troubles())
        QVERIFY2(!trouble.contains("not said in the channel"), qPrintable(trouble));
}

void TestIrcLines::ownLinesShowInTheChannelsOrder()
{
    // Two members burst at once on ngircd, which takes three commands of a
    // client a turn: both windows show the lines in the order the channel
    // carried them to an outsider.
    const QByteArray channel = "#order";
    RawIrcClient outsider;
    QVERIFY(outsider.connectAndJoin(m_ngircd->port(), "outsider", channel));
    IrcRoomSettings annSettings = testRoomSettings(m_ngircd->port(), "annord", channel);
    IrcRoomSettings bobSettings = testRoomSettings(m_ngircd->port(), "bobord", channel);
    WatchedRoom ann(annSettings);
    WatchedRoom bob(bobSettings);
    QVERIFY(ann.waitForJoin());
    QVERIFY(bob.waitForJoin());
    QVERIFY(QTest::qWaitFor(
        [&] {
            const QByteArray seen = outsider.lines().join('\n');
            return seen.contains(":annord!") && seen.contains(":bobord!");
        },
        kServerWaitMs));
    for (int i = 0; i < 6; ++i) {
        QVERIFY(ann->SendRoomLine(u"a%1"_s.arg(i)));
        QVERIFY(bob->SendRoomLine(u"b%1"_s.arg(i)));
    }
    QVERIFY(ann.waitForHeard(12));
    QVERIFY(bob.waitForHeard(12));
    // The server freezes while both burst, and then takes it all at once.
    QVERIFY(::kill(pid_t(m_ngircd->processId()), SIGSTOP) == 0);
    for (int i = 6; i < 12; ++i) {
        QVERIFY(ann->SendRoomLine(u"a%1"_s.arg(i)));
        QVERIFY(bob->SendRoomLine(u"b%1"_s.arg(i)));
    }
    QTest::qWait(2000);
    QVERIFY(::kill(pid_t(m_ngircd->processId()), SIGCONT) == 0);
    QVERIFY(ann.waitForHeard(24));
    QVERIFY(bob.waitForHeard(24));
    QStringList carried;
    const QByteArray sync = "order-sync";
    outsider.send("PING :" + sync);
    QVERIFY(outsider.waitForLine(sync));
    for (const QByteArray& line : outsider.lines()) {
        const qsizetype at = line.indexOf(" PRIVMSG #order :");
        if (at > 0)
            carried << QString::fromUtf8(line.mid(1, line.indexOf('!') - 1) + ": " +
                                         line.mid(at + qsizetype(qstrlen(" PRIVMSG #order :"))));
    }
    QCOMPARE(carried.size(), 24);
    QCOMPARE(ann.heard(), carried);
    QCOMPARE(bob.heard(), carried);
}

void TestIrcLines::serverWithoutTokenOrAnswer()
{
    QTcpServer fake;
    QVERIFY(fake.listen(QHostAddress::LocalHost));
    IrcRoomSettings settings = testRoomSettings(fake.serverPort(), "vic", "#t");
    settings.confirmTimeoutMs = 300;
    WatchedRoom vic(settings);
    auto peer = acceptAndJoin(fake, vic, "vic", "#t");
    QVERIFY(peer);

    // PONGs without the token still answer our PINGs in order.
    QVERIFY(vic->SendRoomLine("one"));
    QVERIFY(vic->SendRoomLine("two"));
    QVERIFY(!pingAfter(*peer, "PRIVMSG #t :one").isEmpty());
    peer->send(":fake PONG fake");
    QVERIFY(!pingAfter(*peer, "PRIVMSG #t :two").isEmpty());
    peer->send(":fake PONG fake");
    QVERIFY(vic.waitForConfirmed());
    QCOMPARE(vic.heard(), (QStringList{"vic: one", "vic: two"}));
    QCOMPARE(vic.troubles(), QStringList());

    // No answer at all: the wait is bounded and the user told; the line
    // counts as said, and so do the next ones as they are written.
    QVERIFY(vic->SendRoomLine("three"));
    QVERIFY(vic.waitForHeardLine("vic: three"));
    QCOMPARE(vic.troubles().size(), 1);
    QVERIFY2(vic.troubles().first().contains("did not confirm"), qPrintable(vic.troubles()[0]));
    QVERIFY(vic->SendRoomLine("four"));
    QVERIFY(peer->waitForLine("PRIVMSG #t :four"));
    QVERIFY(vic.waitForHeardLine("vic: four"));

    // After a reconnect what was shown as said is not said again.
    peer.reset();
    const auto sockets = fake.findChildren<QTcpSocket*>();
    for (QTcpSocket* socket : sockets)
        socket->abort();
    auto again = acceptAndJoin(fake, vic, "vic", "#t");
    QVERIFY(again);
    QVERIFY(vic->SendRoomLine("five"));
    QVERIFY(again->waitForLine("PRIVMSG #t :five"));
    QCOMPARE(linesStarting(*again, "PRIVMSG").size(), 1);
}

void TestIrcLines::leavingWhileKickedCountsTheLines()
{
    QTcpServer fake;
    QVERIFY(fake.listen(QHostAddress::LocalHost));
    WatchedRoom wes(testRoomSettings(fake.serverPort(), "wes", "#t"));
    auto peer = acceptAndJoin(fake, wes, "wes", "#t");
    QVERIFY(peer);
    peer->send(":op!o@h KICK #t wes :go");
    QVERIFY(QTest::qWaitFor([&] { return !wes->isJoined(); }, kServerWaitMs));
    QVERIFY(wes->SendRoomLine("typed after the kick"));
    QVERIFY(wes->SendRoomLine("and another"));
    QCOMPARE(wes->waitingLineCount(), 2);

    QList<int> left;
    QObject::connect(&wes.room(), &ChatRoomControl::roomLeft, [&](int unsaid) { left << unsaid; });
    wes->leaveRoom(std::chrono::milliseconds(200));
    QVERIFY(QTest::qWaitFor([&] { return !left.isEmpty(); }, kServerWaitMs));
    QCOMPARE(left, QList<int>{2});
    QVERIFY(peer->waitForLine("QUIT"));
    QCOMPARE(linesStarting(*peer, "PRIVMSG").size(), 0);
    QVERIFY2(wes->status().contains("2 waiting lines were not said"), qPrintable(wes->status()));
}

void TestIrcLines::leavingWaitsForAReconnect()
{
    // The connection is lost with lines waiting: leaving still says them
    // if the room is back within the patience given.
    QTcpServer fake;
    QVERIFY(fake.listen(QHostAddress::LocalHost));
    WatchedRoom xia(testRoomSettings(fake.serverPort(), "xia", "#t"));
    auto peer = acceptAndJoin(fake, xia, "xia", "#t");
    QVERIFY(peer);
    peer.reset();
    for (QTcpSocket* socket : fake.findChildren<QTcpSocket*>())
        socket->abort();
    QVERIFY(QTest::qWaitFor([&] { return !xia->isJoined(); }, kServerWaitMs));
    QVERIFY(xia->SendRoomLine("said while away"));
    QList<int> left;
    QObject::connect(&xia.room(), &ChatRoomControl::roomLeft, [&](int unsaid) { left << unsaid; });
    xia->leaveRoom(std::chrono::seconds(20));

    auto again = acceptAndJoin(fake, xia, "xia", "#t");
    QVERIFY(again);
    const QByteArray token = pingAfter(*again, "PRIVMSG #t :said while away");
    QVERIFY(!token.isEmpty());
    QVERIFY(left.isEmpty());
    again->send(":fake PONG fake :" + token);
    QVERIFY(QTest::qWaitFor([&] { return !left.isEmpty(); }, kServerWaitMs));
    QCOMPARE(left, QList<int>{0});
    QVERIFY(again->waitForLine("QUIT"));
}

void TestIrcLines::netsplitIsTold()
{
    // Two linked servers; the one bob is on dies: ann hears of the split
    // and, when bob is back across the link, that it healed.
    IrcTestServer hub(IrcTestServer::Kind::Ngircd, "hub.test");
    IrcTestServer leaf(IrcTestServer::Kind::Ngircd, "leaf.test");
    QString error;
    QVERIFY2(startLinked(hub, leaf, &error), qPrintable(error));

    WatchedRoom ann(testRoomSettings(hub.port(), "annhub", "#split"));
    IrcRoomSettings bobSettings = testRoomSettings(leaf.port(), "bobleaf", "#split");
    bobSettings.reconnectMinMs = 50;
    WatchedRoom bob(bobSettings);
    QVERIFY(ann.waitForJoin());
    QVERIFY(bob.waitForJoin());
    QVERIFY(QTest::qWaitFor(
        [&] {
            bob->SendRoomLine("hello across");
            QTest::qWait(100);
            return !ann.heard().isEmpty();
        },
        kServerWaitMs));

    leaf.kill();
    QVERIFY(QTest::qWaitFor([&] { return !ann.troubles().isEmpty(); }, kServerWaitMs));
    QVERIFY2(ann.troubles().last().contains("split") && ann.troubles().last().contains("bobleaf"),
             qPrintable(ann.troubles().last()));
    const int ready = ann.readyCount();
    QVERIFY2(leaf.start(&error), qPrintable(error));
    QVERIFY(QTest::qWaitFor([&] { return ann.readyCount() > ready; }, kServerWaitMs));
    QVERIFY2(ann->status().contains("whole again"), qPrintable(ann->status()));
    QCOMPARE(ann.troubles().size(), 1);
}

QTEST_GUILESS_MAIN(TestIrcLines)
#include "tst_irc_lines.moc"
