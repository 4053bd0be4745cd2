// SPDX-License-Identifier: GPL-3.0-or-later
// XMPP rooms against a real prosody that the test starts: lines between two
// controls and a raw member, what the room learns of us, history on join,
// nick conflicts, kicks, a server restart and a refused certificate.

#include "irc_test_server.h"
#include "xmpp_test_server.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;
using namespace svw;
using namespace svw::test;

namespace {

// A control with everything it reports recorded.
struct Watched
{
    explicit Watched(const XmppRoomSettings& settings)
    {
        room = std::make_unique<XmppRoom>(settings);
        QObject::connect(room.get(), &ChatRoomControl::RoomLine, room.get(),
                         [this](const QString& sender, const QString& text) {
                             heard << sender + u": "_s + text;
                         });
        QObject::connect(room.get(), &ChatRoomControl::roomTrouble, room.get(),
                         [this](const QString& why) { troubles << why; });
        QObject::connect(room.get(), &ChatRoomControl::roomNotice, room.get(),
                         [this](const QString& text) { notices << text; });
        QObject::connect(room.get(), &XmppRoom::joined, room.get(), [this] { ++joins; });
        room->StartRoomScan();
    }
    bool waitForJoin(int count = 1)
    {
        return QTest::qWaitFor([&] { return joins >= count; }, kXmppWaitMs);
    }
    bool waitForHeard(qsizetype count)
    {
        return QTest::qWaitFor([&] { return heard.size() >= count; }, kXmppWaitMs);
    }

    QStringList heard;
    QStringList troubles;
    QStringList notices;
    int joins = 0;
    std::unique_ptr<XmppRoom> room; // last: gone before what it reports into
};

} // namespace

class TestXmppRoom : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void twoControlsTalkInOrderAndOwnLinesShowOnce();
    void historyOnJoinIsNotShown();
    void roomLearnsNothingOfTheProgram();
    void takenNickIsReplaced();
    void kickIsToldAtOnce();
    void kickedAgainWaitsLonger();
    void serverStanzaLimitIsKept();
    void banIsToldAtOnceAndTheRefusalOnce();
    void serverRestartLosesNoLine();
    void untrustedCertificateIsToldAtOnce();
    void refusedPasswordIsToldAtOnce();
    void leavingSaysWaitingLinesFirst();

private:
    XmppTestServer m_server;
};

void TestXmppRoom::initTestCase()
{
    QString error;
    QVERIFY2(m_server.start(&error), qPrintable(error));
    for (const QString& user : {u"ann"_s, u"bob"_s, u"raw"_s, u"cat"_s})
        QVERIFY2(m_server.addAccount(user, u"pw-"_s + user, &error), qPrintable(error));
}

void TestXmppRoom::twoControlsTalkInOrderAndOwnLinesShowOnce()
{
    RawXmppClient raw;
    QVERIFY(raw.connectTo(m_server, u"raw"_s));
    QVERIFY(raw.join(u"talk@conference.localhost"_s, u"raw"_s));

    Watched bob(m_server.roomSettings(u"bob"_s, u"talk"_s));
    QVERIFY(bob.waitForJoin());
    Watched ann(m_server.roomSettings(u"ann"_s, u"talk"_s));
    // Said before the room is joined: these wait, in order.
    QVERIFY(ann.room->SendRoomLine(u"abcde one"_s));
    QVERIFY(ann.room->SendRoomLine(u"abcde two  with  spaces "_s));
    QCOMPARE(ann.room->roomState(), RoomState::Reaching);
    QVERIFY(ann.waitForJoin());
    QCOMPARE(ann.room->roomState(), RoomState::Connected);
    QVERIFY(ann.room->SendRoomLine(u"abcde three \u00e9\u263a"_s));
    QVERIFY(bob.room->SendRoomLine(u"fghij from bob"_s));

    QVERIFY(ann.waitForHeard(4));
    QVERIFY(bob.waitForHeard(4));
    QVERIFY(!raw.waitFor(u"fghij from bob"_s).isEmpty());
    // Ann's lines arrive in the order said; each of hers shows once.
    const QStringList annLines = ann.heard.filter(u"ann: "_s);
    QCOMPARE(annLines, QStringList({u"ann: abcde one"_s, u"ann: abcde two  with  spaces "_s,
                                    u"ann: abcde three \u00e9\u263a"_s}));
    QCOMPARE(ann.heard.size(), 4);
    QVERIFY(bob.heard.contains(u"ann: abcde three \u00e9\u263a"_s));
    QCOMPARE(ann.room->waitingLineCount(), 0);
    // The raw member sees the text as said, nothing added.
    QVERIFY(!raw.waitFor(u"<body>abcde two  with  spaces </body>"_s).isEmpty());
    // Both controls see the room in the same order.
    QCOMPARE(bob.heard, ann.heard);

    // A line XML cannot carry is refused, not mangled.
    QVERIFY(!ann.room->SendRoomLine(u"abcde one\rtwo"_s));
    QVERIFY(!ann.room->errorString().isEmpty());
}

void TestXmppRoom::historyOnJoinIsNotShown()
{
    RawXmppClient raw;
    QVERIFY(raw.connectTo(m_server, u"raw"_s));
    QVERIFY(raw.join(u"old@conference.localhost"_s, u"raw"_s));
    raw.say(u"old@conference.localhost"_s, u"said before"_s);
    QVERIFY(!raw.waitFor(u"said before"_s).isEmpty());

    Watched ann(m_server.roomSettings(u"ann"_s, u"old"_s));
    QVERIFY(ann.waitForJoin());
    raw.say(u"old@conference.localhost"_s, u"said after"_s);
    QVERIFY(ann.waitForHeard(1));
    QCOMPARE(ann.heard, QStringList({u"raw: said after"_s}));
}

void TestXmppRoom::roomLearnsNothingOfTheProgram()
{
    RawXmppClient raw;
    QVERIFY(raw.connectTo(m_server, u"raw"_s));
    QVERIFY(raw.join(u"quiet@conference.localhost"_s, u"raw"_s));
    Watched ann(m_server.roomSettings(u"ann"_s, u"quiet"_s));
    QVERIFY(ann.waitForJoin());
    const QString resource = ann.room->boundJid().section(u'/', 1);
    QVERIFY2(resource.size() >= 8, qPrintable(ann.room->boundJid()));
    for (const QString& word : {u"svw"_s, u"veil"_s, u"solvane"_s, u"strophe"_s})
        QVERIFY2(!resource.contains(word, Qt::CaseInsensitive), qPrintable(resource));
    // Another control of the same account gets a resource of its own.
    Watched again(m_server.roomSettings(u"ann"_s, u"quiet"_s, u"ann-b"_s));
    QVERIFY(again.waitForJoin());
    QVERIFY(again.room->boundJid() != ann.room->boundJid());

    raw.sendRaw(u"<iq type='get' id='v1' to='quiet@conference.localhost/ann'>"
                u"<query xmlns='jabber:iq:version'/></iq>"_s);
    const QString answer = raw.waitFor(u"id=\"v1\""_s);
    QVERIFY2(answer.contains(u"type=\"error\""_s), qPrintable(answer));
    QVERIFY2(!answer.contains(u"<name>"_s), qPrintable(answer));
}

void TestXmppRoom::takenNickIsReplaced()
{
    RawXmppClient raw;
    QVERIFY(raw.connectTo(m_server, u"raw"_s));
    QVERIFY(raw.join(u"names@conference.localhost"_s, u"cat"_s));
    Watched cat(m_server.roomSettings(u"cat"_s, u"names"_s));
    QVERIFY(cat.waitForJoin());
    QCOMPARE(cat.room->nick(), u"cat2"_s);
    QVERIFY(cat.room->roomDescription().contains(u"cat2"_s));
    QCOMPARE(cat.notices.size(), 1);
    QVERIFY(cat.room->SendRoomLine(u"abcde hello"_s));
    QVERIFY(!raw.waitFor(u"names@conference.localhost/cat2"_s).isEmpty());
    QVERIFY(cat.waitForHeard(1));
    QCOMPARE(cat.heard, QStringList({u"cat2: abcde hello"_s}));
}

void TestXmppRoom::kickIsToldAtOnce()
{
    RawXmppClient owner;
    QVERIFY(owner.connectTo(m_server, u"raw"_s));
    QVERIFY(owner.join(u"strict@conference.localhost"_s, u"owner"_s)); // first in: owner
    Watched bob(m_server.roomSettings(u"bob"_s, u"strict"_s));
    QVERIFY(bob.waitForJoin());
    owner.sendRaw(u"<iq type='set' id='k1' to='strict@conference.localhost'>"
                  u"<query xmlns='http://jabber.org/protocol/muc#admin'>"
                  u"<item nick='bob' role='none'><reason>go away</reason></item>"
                  u"</query></iq>"_s);
    QVERIFY(QTest::qWaitFor([&] { return !bob.troubles.isEmpty(); }, kXmppWaitMs));
    QVERIFY2(bob.troubles.first().contains(u"removed"_s), qPrintable(bob.troubles.first()));
    QVERIFY(bob.troubles.first().contains(u"go away"_s));
    QCOMPARE(bob.room->roomState(), RoomState::OutOfReach);
    // Said while out: waits instead of being lost.
    QVERIFY(bob.room->SendRoomLine(u"abcde later"_s));
    QCOMPARE(bob.room->waitingLineCount(), 1);
}

void TestXmppRoom::kickedAgainWaitsLonger()
{
    RawXmppClient owner;
    QVERIFY(owner.connectTo(m_server, u"raw"_s));
    QVERIFY(owner.join(u"rough@conference.localhost"_s, u"owner"_s));
    XmppRoomSettings settings = m_server.roomSettings(u"bob"_s, u"rough"_s);
    settings.kickRejoinMs = 1000;
    settings.kickRejoinMaxMs = 3000;
    settings.kickForgottenMs = 600'000;
    Watched bob(settings);
    const auto kick = [&](int id) {
        owner.sendRaw(u"<iq type='set' id='r%1' to='rough@conference.localhost'>"
                      u"<query xmlns='http://jabber.org/protocol/muc#admin'>"
                      u"<item nick='bob' role='none'/></query></iq>"_s.arg(id));
    };
    // Each kick in a row doubles the wait before asking back, up to the bound.
    const QStringList waits = {u"in 1 s."_s, u"in 2 s."_s, u"in 3 s."_s, u"in 3 s."_s};
    for (int i = 0; i < waits.size(); ++i) {
        QVERIFY(bob.waitForJoin(i + 1));
        kick(i);
        QVERIFY(QTest::qWaitFor([&] { return bob.troubles.size() > i; }, kXmppWaitMs));
        QVERIFY2(bob.troubles.at(i).endsWith(waits.at(i)), qPrintable(bob.troubles.at(i)));
        QCOMPARE(bob.room->kicksInARow(), i + 1);
    }
    QVERIFY(bob.waitForJoin(waits.size() + 1));

    // Kept in the room for a while, the kicks are forgotten.
    XmppRoomSettings forgetful = settings;
    forgetful.kickForgottenMs = 300;
    Watched cat(forgetful);
    QVERIFY(cat.waitForJoin());
    owner.sendRaw(u"<iq type='set' id='c1' to='rough@conference.localhost'>"
                  u"<query xmlns='http://jabber.org/protocol/muc#admin'>"
                  u"<item nick='bob' role='none'/></query></iq>"_s);
    owner.sendRaw(u"<iq type='set' id='c2' to='rough@conference.localhost'>"
                  u"<query xmlns='http://jabber.org/protocol/muc#admin'>"
                  u"<item nick='cat' role='none'/></query></iq>"_s);
    QVERIFY(QTest::qWaitFor([&] { return !cat.troubles.isEmpty(); }, kXmppWaitMs));
    QCOMPARE(cat.room->kicksInARow(), 1);
    QVERIFY(cat.waitForJoin(2));
    QVERIFY(QTest::qWaitFor([&] { return cat.room->kicksInARow() == 0; }, kXmppWaitMs));
    // Bob, kicked a fifth time without being kept long, still waits long.
    QVERIFY(QTest::qWaitFor([&] { return bob.troubles.size() > 4; }, kXmppWaitMs));
    QVERIFY2(bob.troubles.at(4).endsWith(u"in 3 s."_s), qPrintable(bob.troubles.at(4)));
}

void TestXmppRoom::serverStanzaLimitIsKept()
{
    XmppTestServer limited;
    limited.limitStanzas(10000);
    QString error;
    QVERIFY2(limited.start(&error), qPrintable(error));
    for (const QString& user : {u"ann"_s, u"raw"_s})
        QVERIFY2(limited.addAccount(user, u"pw-"_s + user, &error), qPrintable(error));
    RawXmppClient raw;
    QVERIFY(raw.connectTo(limited, u"raw"_s));
    QVERIFY(raw.join(u"small@conference.localhost"_s, u"raw"_s));

    Watched ann(limited.roomSettings(u"ann"_s, u"small"_s));
    // Before the server has said anything, every line fits.
    QVERIFY(ann.room->fitsOneLine(QString(20000, u'x')));
    QVERIFY(ann.waitForJoin());
    QCOMPARE(ann.room->stanzaLimit(), qint64(10000));
    // The longest line that fits the limit: the server takes it.
    qsizetype longest = 0;
    while (longest < 20000 && ann.room->fitsOneLine(QString(longest + 1, u'x')))
        ++longest;
    QVERIFY2(longest > 9000 && longest < 10000, qPrintable(QString::number(longest)));
    // Characters that take more bytes, or an escape in XML, fit fewer.
    QVERIFY(!ann.room->fitsOneLine(QString(longest - 1, u'x') + u"\u00e9"_s));
    QVERIFY(!ann.room->fitsOneLine(QString(longest - 1, u'x') + u"<"_s));
    QVERIFY(ann.room->SendRoomLine(QString(longest, u'y')));
    // A line that does not fit and comes anyway is not sent: the server
    // would end the connection over it.
    QVERIFY(ann.room->SendRoomLine(QString(longest + 1, u'z')));
    QVERIFY(ann.room->SendRoomLine(u"abcde after"_s));
    QVERIFY(ann.waitForHeard(2));
    QCOMPARE(ann.heard, QStringList({u"ann: "_s + QString(longest, u'y'), u"ann: abcde after"_s}));
    QCOMPARE(ann.troubles.size(), 1);
    QVERIFY2(ann.troubles.first().contains(u"10000 bytes"_s), qPrintable(ann.troubles.first()));
    QCOMPARE(ann.joins, 1);
    QCOMPARE(ann.room->waitingLineCount(), 0);
}

void TestXmppRoom::banIsToldAtOnceAndTheRefusalOnce()
{
    RawXmppClient owner;
    QVERIFY(owner.connectTo(m_server, u"raw"_s));
    QVERIFY(owner.join(u"closed@conference.localhost"_s, u"owner"_s));
    XmppRoomSettings settings = m_server.roomSettings(u"bob"_s, u"closed"_s);
    settings.reconnectMaxMs = 200; // the wait before asking again after a ban
    Watched bob(settings);
    QSignalSpy statuses(bob.room.get(), &ChatRoomControl::statusChanged);
    QVERIFY(bob.waitForJoin());
    owner.sendRaw(u"<iq type='set' id='b1' to='closed@conference.localhost'>"
                  u"<query xmlns='http://jabber.org/protocol/muc#admin'>"
                  u"<item jid='bob@localhost' affiliation='outcast'/></query></iq>"_s);
    QVERIFY(QTest::qWaitFor([&] { return !bob.troubles.isEmpty(); }, kXmppWaitMs));
    QVERIFY2(bob.troubles.first().contains(u"banned"_s), qPrintable(bob.troubles.first()));
    // Asking again is refused: told once, however often it is asked.
    QVERIFY(QTest::qWaitFor([&] { return bob.troubles.size() >= 2; }, kXmppWaitMs));
    QVERIFY2(bob.troubles.at(1).contains(u"does not let you in"_s), qPrintable(bob.troubles.at(1)));
    // Each round of asking shows as "joining", then the refusal, in the
    // status: wait for a few more rounds.
    statuses.clear();
    QVERIFY(QTest::qWaitFor([&] { return statuses.count() >= 8 || bob.troubles.size() > 2; },
                            kXmppWaitMs));
    QCOMPARE(bob.troubles.size(), 2);
    QCOMPARE(bob.joins, 1);
}

void TestXmppRoom::serverRestartLosesNoLine()
{
    Watched ann(m_server.roomSettings(u"ann"_s, u"again"_s));
    Watched bob(m_server.roomSettings(u"bob"_s, u"again"_s));
    QVERIFY(ann.waitForJoin());
    QVERIFY(bob.waitForJoin());
    QVERIFY(ann.room->SendRoomLine(u"abcde before"_s));
    QVERIFY(bob.waitForHeard(1));

    m_server.kill();
    QVERIFY(QTest::qWaitFor([&] { return ann.room->roomState() != RoomState::Connected; },
                            kXmppWaitMs));
    QVERIFY(ann.room->SendRoomLine(u"abcde while down 1"_s));
    QVERIFY(ann.room->SendRoomLine(u"abcde while down 2"_s));
    QString error;
    QVERIFY2(m_server.start(&error), qPrintable(error));
    QVERIFY(ann.waitForJoin(2));
    QVERIFY(bob.waitForJoin(2));
    // The room reflected every line once, in order: none lost, none doubled.
    // (Bob may come back after the waiting lines went out, so he only
    // vouches for the line said once both are in.)
    QVERIFY(ann.room->SendRoomLine(u"abcde after"_s));
    QVERIFY(ann.waitForHeard(4));
    QCOMPARE(ann.heard, QStringList({u"ann: abcde before"_s, u"ann: abcde while down 1"_s,
                                     u"ann: abcde while down 2"_s, u"ann: abcde after"_s}));
    QVERIFY(
        QTest::qWaitFor([&] { return bob.heard.contains(u"ann: abcde after"_s); }, kXmppWaitMs));
    QCOMPARE(ann.room->roomState(), RoomState::Connected);
    QCOMPARE(ann.room->waitingLineCount(), 0);
}

void TestXmppRoom::untrustedCertificateIsToldAtOnce()
{
    QTemporaryDir other;
    QString error;
    const auto stranger = makeSelfSignedCertificate(other.path(), u"localhost"_s,
                                                    u"DNS:localhost,IP:127.0.0.1"_s, &error);
    QVERIFY2(stranger, qPrintable(error));
    XmppRoomSettings settings = m_server.roomSettings(u"ann"_s, u"tls"_s);
    settings.caFile = stranger->certFile;
    settings.troubleAfterMs = 600'000; // only the refusal itself may tell
    Watched ann(settings);
    QVERIFY(QTest::qWaitFor([&] { return !ann.troubles.isEmpty(); }, kXmppWaitMs));
    QVERIFY2(ann.troubles.first().contains(u"not trusted"_s), qPrintable(ann.troubles.first()));
    QCOMPARE(ann.room->roomState(), RoomState::OutOfReach);
    QVERIFY(!ann.room->SendRoomLine(u"abcde never"_s));
    QCOMPARE(ann.joins, 0);
}

void TestXmppRoom::refusedPasswordIsToldAtOnce()
{
    XmppRoomSettings settings = m_server.roomSettings(u"ann"_s, u"auth"_s);
    settings.password = u"wrong"_s;
    settings.troubleAfterMs = 600'000; // only the refusal itself may tell
    Watched ann(settings);
    QVERIFY(QTest::qWaitFor([&] { return !ann.troubles.isEmpty(); }, kXmppWaitMs));
    QVERIFY2(ann.troubles.first().contains(u"refused the password"_s),
             qPrintable(ann.troubles.first()));
    QVERIFY(!ann.room->SendRoomLine(u"abcde never"_s));
}

void TestXmppRoom::leavingSaysWaitingLinesFirst()
{
    RawXmppClient raw;
    QVERIFY(raw.connectTo(m_server, u"raw"_s));
    QVERIFY(raw.join(u"bye@conference.localhost"_s, u"raw"_s));
    Watched ann(m_server.roomSettings(u"ann"_s, u"bye"_s));
    QVERIFY(ann.waitForJoin());
    QSignalSpy left(ann.room.get(), &ChatRoomControl::roomLeft);
    for (int i = 0; i < 20; ++i)
        QVERIFY(ann.room->SendRoomLine(u"abcde %1"_s.arg(i)));
    ann.room->leaveRoom(std::chrono::seconds(20));
    QVERIFY(QTest::qWaitFor([&] { return !left.isEmpty(); }, kXmppWaitMs));
    QCOMPARE(left.first().first().toInt(), 0);
    QVERIFY(!raw.waitFor(u"<body>abcde 19</body>"_s).isEmpty());
    // The room hears that we left.
    QVERIFY(QTest::qWaitFor(
        [&] {
            raw.runFor(5);
            return !raw.received()
                        .filter(u"type=\"unavailable\""_s)
                        .filter(u"bye@conference.localhost/ann\""_s)
                        .isEmpty();
        },
        kXmppWaitMs));
    QCOMPARE(left.size(), 1);
}

QTEST_GUILESS_MAIN(TestXmppRoom)
#include "tst_xmpp_room.moc"
