// SPDX-License-Identifier: GPL-3.0-or-later
// The room session as a room whose confirmations come in order drives it:
// lines that bounce off the room and come back, lines shown before their
// confirmation, a limit on lines in flight, and outages told in the room's
// own words or told again after a retry.

#include "room_session.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>

#include <cstddef>
#include <optional>
#include <vector>

using namespace Qt::StringLiterals;
using namespace svw;

namespace {

QStringList drain(RoomSession& session)
{
    QStringList lines;
    while (const std::optional<QString> line = session.takeNext())
        lines.append(*line);
    return lines;
}

void send(RoomSession& session, const QString& id, bool shown = false)
{
    session.markSent(id, *session.takeNext(), shown);
}

} // namespace

class TestRoomSession : public QObject
{
    Q_OBJECT

private slots:
    void bouncedLinesKeepTheirOrder();
    void shownLinesAreNotSaidAgain();
    void inOrderConfirmationsAndLimit();
    void outageWordingAndRetries();
};

void TestRoomSession::bouncedLinesKeepTheirOrder()
{
    RoomSession session(u"room"_s, 60'000);
    for (const QString& line : {u"a"_s, u"b"_s, u"c"_s, u"d"_s})
        session.enqueue(line);
    send(session, u"1"_s);
    send(session, u"2"_s);
    send(session, u"3"_s);
    // Refused while we were out, one after the other: back in their order,
    // ahead of what was never sent.
    session.bounceOldest();
    session.bounceOldest();
    QCOMPARE(session.waitingCount(), 3);
    QCOMPARE(session.unsaidCount(), 4);
    // The connection goes: the line still in flight comes behind them.
    session.requeueUnconfirmed();
    QCOMPARE(drain(session), (QStringList{u"a"_s, u"b"_s, u"c"_s, u"d"_s}));

    // Once a bounced line is sent again, the next bounce goes before the
    // lines never sent, not behind a count kept from before.
    for (const QString& line : {u"e"_s, u"f"_s, u"g"_s})
        session.enqueue(line);
    send(session, u"4"_s);
    session.bounceOldest();
    send(session, u"5"_s); // "e" again
    send(session, u"6"_s); // "f"
    session.bounceOldest();
    session.requeueUnconfirmed();
    QCOMPARE(drain(session), (QStringList{u"e"_s, u"f"_s, u"g"_s}));
}

void TestRoomSession::shownLinesAreNotSaidAgain()
{
    RoomSession session(u"room"_s, 60'000);
    for (const QString& line : {u"a"_s, u"b"_s, u"c"_s})
        session.enqueue(line);
    send(session, u"1"_s, true);
    send(session, u"2"_s, true);
    send(session, u"3"_s);
    QCOMPARE(session.unconfirmedCount(), 3);
    QCOMPARE(session.unsaidCount(), 1); // the user sees two as said
    session.bounceOldest();
    QCOMPARE(session.waitingCount(), 0);
    session.requeueUnconfirmed();
    QCOMPARE(drain(session), QStringList{u"c"_s});
}

void TestRoomSession::inOrderConfirmationsAndLimit()
{
    RoomSession session(u"room"_s, 60'000);
    QVERIFY(!session.canSend());
    for (const QString& line : {u"a"_s, u"b"_s, u"c"_s, u"d"_s})
        session.enqueue(line);
    session.setUnconfirmedLimit(1);
    QVERIFY(session.canSend());
    send(session, u"1"_s);
    QVERIFY(!session.canSend()); // one in flight at a time
    session.setUnconfirmedLimit(0);
    send(session, u"2"_s);
    send(session, u"5"_s);
    QVERIFY(session.canSend()); // no limit
    // A confirmation covers the oldest lines up to it, not the ones after.
    const auto upTo = [](quint64 mark) {
        return [mark](const QString& id) {
            return id.toULongLong() <= mark;
        };
    };
    const std::vector<RoomSession::SentLine> done = session.confirmOldest(upTo(3));
    QCOMPARE(done.size(), std::size_t(2));
    QCOMPARE(done[0].text, u"a"_s);
    QCOMPARE(done[1].text, u"b"_s);
    QVERIFY(session.confirmOldest(upTo(4)).empty());
    QCOMPARE(session.unconfirmedCount(), 1);
    // Refused: the oldest one is dropped and not said again.
    QCOMPARE(session.forgetOldest()->text, u"c"_s);
    QVERIFY(!session.forgetOldest());
    QVERIFY(!session.allConfirmed());
    send(session, u"6"_s);
    const std::vector<RoomSession::SentLine> given = session.takeUnconfirmed();
    QCOMPARE(given.size(), std::size_t(1));
    QCOMPARE(given[0].text, u"d"_s);
    QVERIFY(session.allConfirmed());
}

void TestRoomSession::outageWordingAndRetries()
{
    RoomSession session(u"room"_s, 50);
    session.setOutageWording([](const QString& status) { return u"out: "_s + status; });
    QSignalSpy trouble(&session, &RoomSession::trouble);
    QVERIFY(!session.watchAgain()); // nothing told yet
    session.lost(u"gone"_s);
    QVERIFY(trouble.wait(5000));
    QCOMPARE(trouble.takeFirst().first().toString(), u"out: gone"_s);
    QVERIFY(session.outageTold());

    // Told at once (a kick); leaving the room again keeps the indicator out.
    session.reached(u"in"_s);
    session.tellNow(u"kicked"_s);
    QCOMPARE(trouble.takeFirst().first().toString(), u"kicked"_s);
    session.leftRoom();
    QCOMPARE(session.state(), RoomState::OutOfReach);
    session.beginOutage(); // already told: no second telling ...
    // ... until the room tries again and that lasts too.
    RoomSession before(u"other"_s, 50);
    QSignalSpy beforeTrouble(&before, &RoomSession::trouble);
    before.lost(u"out"_s);
    session.announce(u"still kicked"_s);
    QVERIFY(beforeTrouble.wait(5000));
    QCoreApplication::processEvents();
    QVERIFY(trouble.isEmpty());
    QVERIFY(session.watchAgain());
    QVERIFY(!session.outageTold());
    QVERIFY(trouble.wait(5000));
    QCOMPARE(trouble.takeFirst().first().toString(), u"out: still kicked"_s);

    // A room left for good tells nothing more.
    session.reached(u"in"_s);
    session.lost(u"gone"_s);
    session.stopWatching();
    RoomSession after(u"other"_s, 50);
    QSignalSpy afterTrouble(&after, &RoomSession::trouble);
    after.lost(u"out"_s);
    QVERIFY(afterTrouble.wait(5000));
    QCoreApplication::processEvents();
    QVERIFY(trouble.isEmpty());
}

QTEST_GUILESS_MAIN(TestRoomSession)
#include "tst_room_session.moc"
