// SPDX-License-Identifier: GPL-3.0-or-later
// The local room's host under unlucky and hostile conditions, in one
// process: copies that stop reading or come back late, connections that
// never introduce themselves or speak for others, huge names, a lock held by
// a process that does not host, and a fallback directory taken by another.

#include "local_room.h"
#include "local_room_protocol.h"
#include "local_room_test_support.h"
#include "private_directory.h"
#include "room_lock.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace svw;
using namespace svw::test;

namespace {

using State = LocalRoom::State;

// A copy that says hello and then never reads: a plain descriptor, since a
// QLocalSocket would read into its own buffer behind the test's back.
class DeafCopy
{
public:
    DeafCopy(const QString& socketPath, const QByteArray& origin)
    {
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        const QByteArray path = QFile::encodeName(socketPath);
        std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
        int small = 4096;
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        m_connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        const QByteArray hello = frameLocalRoomMessage(helloFrom(origin));
        m_connected = m_connected && ::write(m_fd, hello.constData(), size_t(hello.size())) ==
                                         ssize_t(hello.size());
    }
    ~DeafCopy() { ::close(m_fd); }
    DeafCopy(const DeafCopy&) = delete;
    DeafCopy& operator=(const DeafCopy&) = delete;
    bool connected() const { return m_connected; }
    bool closedByHost() const
    {
        pollfd hangup = {m_fd, POLLRDHUP, 0};
        return ::poll(&hangup, 1, 0) > 0 && (hangup.revents & (POLLRDHUP | POLLHUP));
    }

private:
    int m_fd = -1;
    bool m_connected = false;
};

// A hand-driven connection to the host that has said hello as `origin`.
std::unique_ptr<QLocalSocket> handCopy(const QString& socketPath, const LocalRoomMessage& hello)
{
    auto socket = std::make_unique<QLocalSocket>();
    socket->connectToServer(socketPath);
    if (!socket->waitForConnected(kWaitMs))
        return nullptr;
    socket->write(frameLocalRoomMessage(hello));
    socket->flush();
    return socket;
}

LocalRoomMessage sayFrom(const QByteArray& origin, qint64 number, const QString& text)
{
    LocalRoomMessage say = sampleMessage(LocalRoomMessage::Kind::Say, text);
    say.origin = origin;
    say.number = number;
    return say;
}

QStringList textsOf(const QList<LocalRoomMessage>& messages, qsizetype from = 0)
{
    QStringList texts;
    for (qsizetype i = from; i < messages.size(); ++i) {
        if (messages[i].kind == LocalRoomMessage::Kind::Line)
            texts << messages[i].text;
    }
    return texts;
}

} // namespace

class TestLocalRoomHost : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_base;
    int m_rooms = 0;

    QString freshDirectory() { return m_base.filePath(QStringLiteral("rooms-%1").arg(++m_rooms)); }

    std::unique_ptr<LocalRoom> enter(const QString& nick, const QString& dir, State expected,
                                     const LocalRoom::Tuning& tuning = {})
    {
        auto room = std::make_unique<LocalRoom>(nick, QStringLiteral("test"), dir, nullptr, tuning);
        room->StartRoomScan();
        if (!QTest::qWaitFor([&] { return room->state() == expected; }, kWaitMs))
            qWarning("%s did not reach the expected role; status: %s", qPrintable(nick),
                     qPrintable(room->status()));
        return room;
    }

private slots:
    void initTestCase() { QVERIFY(m_base.isValid()); }

    void stateAndDescriptionFollowTheRoom()
    {
        const QString dir = freshDirectory();
        auto ann = std::make_unique<LocalRoom>("ann", "test", dir);
        QSignalSpy states(ann.get(), &ChatRoomControl::roomStateChanged);
        QCOMPARE(ann->roomState(), RoomState::Reaching);
        QTRY_COMPARE_WITH_TIMEOUT(ann->roomState(), RoomState::Connected, kWaitMs);
        QCOMPARE(ann->roomDescription(),
                 QStringLiteral("the local room test, on this computer only, as ann"));
        QCOMPARE(LocalRoom("bob", LocalRoom::defaultName(), dir).roomDescription(),
                 QStringLiteral("the local room, on this computer only, as bob"));

        QCOMPARE(states.size(), 1);

        // Losing the host is a moment of reaching, not of being out of reach.
        auto bob = enter("bob", dir, State::Joined);
        QCOMPARE(bob->roomState(), RoomState::Connected);
        QSignalSpy bobStates(bob.get(), &ChatRoomControl::roomStateChanged);
        ann.reset();
        QTRY_COMPARE_WITH_TIMEOUT(bob->state(), State::Hosting, kWaitMs);
        QCOMPARE(bobStates.size(), 2);
        QCOMPARE(bobStates.at(0).at(0).value<RoomState>(), RoomState::Reaching);
        QCOMPARE(bobStates.at(1).at(0).value<RoomState>(), RoomState::Connected);
    }

    // The lock is held by a process that does not listen: the user is told
    // after a while, what is wrong and what to do, and the copy keeps trying.
    void lockHeldByANonHostIsTold()
    {
        const QString dir = freshDirectory();
        QString error;
        QVERIFY2(preparePrivateDirectory(dir, &error), qPrintable(error));
        RoomLock squatter(dir + QStringLiteral("/room-test.lock"));
        QVERIFY(squatter.tryLock(&error));

        LocalRoom::Tuning tuning;
        tuning.heartbeatMs = 50;
        tuning.tellAfterMs = 300;
        LocalRoom ann("ann", "test", dir, nullptr, tuning);
        QSignalSpy trouble(&ann, &ChatRoomControl::roomTrouble);
        QSignalSpy ready(&ann, &ChatRoomControl::roomReady);
        QVERIFY(ann.SendRoomLine("typed while waiting"));
        QVERIFY(trouble.wait(kWaitMs));
        const QString why = trouble.at(0).at(0).toString();
        QVERIFY2(why.contains(squatter.path()) && why.contains("fuser") &&
                     why.contains("SVW_ROOM=local:"),
                 qPrintable(why));
        QCOMPARE(ann.roomState(), RoomState::OutOfReach);
        QTest::qWait(200);
        QCOMPARE(trouble.size(), 1); // told once, not once a try

        Transcript atAnn(&ann);
        ann.StartRoomScan();
        squatter.unlock();
        QTRY_COMPARE_WITH_TIMEOUT(ann.state(), State::Hosting, kWaitMs);
        QCOMPARE(ann.roomState(), RoomState::Connected);
        QCOMPARE(ready.size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(atAnn.lines(), QStringList{"ann: typed while waiting"}, kWaitMs);
    }

    // Every outage that lasts is told, and shown, the second as the first:
    // being in the room in between starts the wait again.
    void everyOutageIsTold()
    {
        const QString dir = freshDirectory();
        QString error;
        QVERIFY2(preparePrivateDirectory(dir, &error), qPrintable(error));
        RoomLock squatter(dir + QStringLiteral("/room-test.lock"));
        QVERIFY(squatter.tryLock(&error));

        LocalRoom::Tuning tuning;
        tuning.heartbeatMs = 50;
        tuning.tellAfterMs = 300;
        LocalRoom ann("ann", "test", dir, nullptr, tuning);
        QSignalSpy trouble(&ann, &ChatRoomControl::roomTrouble);
        QSignalSpy states(&ann, &ChatRoomControl::roomStateChanged);
        QVERIFY(trouble.wait(kWaitMs));
        QCOMPARE(ann.roomState(), RoomState::OutOfReach);

        // The test lets the copy in, as the lock's holder hosting the room.
        QLocalServer host;
        QVERIFY(host.listen(dir + QStringLiteral("/room-test.sock")));
        QTRY_VERIFY_WITH_TIMEOUT(host.hasPendingConnections(), kWaitMs);
        QLocalSocket* link = host.nextPendingConnection();
        MessageStream fromAnn(link);
        QVERIFY(fromAnn.waitFor(1));
        link->write(frameLocalRoomMessage(sampleMessage(LocalRoomMessage::Kind::Welcome, {})));
        QTRY_COMPARE_WITH_TIMEOUT(ann.state(), State::Joined, kWaitMs);
        QCOMPARE(ann.roomState(), RoomState::Connected);

        // The host goes away and its lock stays held: out of reach again.
        host.close();
        link->abort();
        QTRY_COMPARE_WITH_TIMEOUT(trouble.size(), 2, kWaitMs);
        QVERIFY(trouble.at(1).at(0).toString().contains("fuser"));
        QCOMPARE(ann.roomState(), RoomState::OutOfReach);
        QList<RoomState> shown;
        for (const QList<QVariant>& args : states)
            shown << args.at(0).value<RoomState>();
        QCOMPARE(shown, (QList<RoomState>{RoomState::OutOfReach, RoomState::Connected,
                                          RoomState::Reaching, RoomState::OutOfReach}));
    }

    // A copy that offers a line the host relayed before (it had not seen it
    // relayed) is answered alone; nobody else hears the line twice.
    void hostAnswersTheSenderAlone()
    {
        const QString dir = freshDirectory();
        auto ann = enter("ann", dir, State::Hosting);
        Transcript atAnn(ann.get());
        const QByteArray origin(kLocalRoomOriginSize, 'k');
        auto hand = handCopy(ann->socketPath(), helloFrom(origin));
        QVERIFY(hand);
        MessageStream fromAnn(hand.get());
        QVERIFY(fromAnn.waitFor(1)); // the welcome

        hand->write(frameLocalRoomMessage(sayFrom(origin, 1, "once")));
        QVERIFY(fromAnn.waitFor(2));
        hand->write(frameLocalRoomMessage(sayFrom(origin, 1, "once")));
        QVERIFY(fromAnn.waitFor(3));
        QCOMPARE(textsOf(fromAnn.messages), QStringList({"once", "once"}));
        QCOMPARE(fromAnn.messages[2].number, 1);
        QCOMPARE(atAnn.count(), 1);
    }

    // A copy comes back after missing lines: it gets those the host still
    // holds, from the first it had not seen, and hears how many are gone.
    // Many short lines at once: the history holds them past its count for
    // the copies still reading them, and nobody falls out of it.
    void burstOfShortLinesLosesNobody()
    {
        LocalRoom::Tuning tuning;
        tuning.historyLines = 10;
        tuning.paceBytes = 1024;
        const QString dir = freshDirectory();
        auto ann = enter("ann", dir, State::Hosting, tuning);
        auto bob = enter("bob", dir, State::Joined, tuning);
        QTRY_COMPARE_WITH_TIMEOUT(ann->joinedCopies(), 1, kWaitMs);
        Transcript atBob(bob.get());
        for (int i = 0; i < 500; ++i)
            QVERIFY(ann->SendRoomLine(QString::number(i)));
        QTRY_COMPARE_WITH_TIMEOUT(atBob.count(), 500, kWaitMs);
        QCOMPARE(ann->joinedCopies(), 1);
        QCOMPARE(atBob.text(499), QStringLiteral("499"));
    }

    void returningCopyGetsWhatTheHistoryHolds_data()
    {
        QTest::addColumn<bool>("bySize");
        QTest::newRow("history bounded by lines") << false;
        QTest::newRow("history bounded by bytes") << true;
    }

    void returningCopyGetsWhatTheHistoryHolds()
    {
        QFETCH(bool, bySize);
        LocalRoom::Tuning tuning;
        if (bySize) {
            // Room for a few of these short lines, whatever each costs.
            tuning.historyBytes = 600;
        } else {
            tuning.historyLines = 5;
        }
        const QString dir = freshDirectory();
        auto ann = enter("ann", dir, State::Hosting, tuning);
        const QByteArray origin(kLocalRoomOriginSize, 'r');
        auto hand = handCopy(ann->socketPath(), helloFrom(origin));
        MessageStream first(hand.get());
        QVERIFY(first.waitFor(1));
        QVERIFY(ann->SendRoomLine("1"));
        QVERIFY(ann->SendRoomLine("2"));
        QVERIFY(first.waitFor(3));
        const QByteArray annOrigin = first.messages[1].origin;
        hand.reset();
        QTRY_COMPARE_WITH_TIMEOUT(ann->joinedCopies(), 0, kWaitMs);

        for (int i = 3; i <= 10; ++i)
            QVERIFY(ann->SendRoomLine(QString::number(i)));
        QTRY_COMPARE_WITH_TIMEOUT(ann->unconfirmedLines(), 0, kWaitMs);

        LocalRoomMessage hello = helloFrom(origin);
        hello.fresh = false;
        hello.seen.insert(annOrigin, 2);
        auto back = handCopy(ann->socketPath(), hello);
        MessageStream again(back.get());
        QVERIFY(again.waitFor(2));
        QCOMPARE(again.messages[0].kind, LocalRoomMessage::Kind::Welcome);
        const qint64 missed = again.messages[0].missed;
        QVERIFY(missed > 0);
        QVERIFY(again.waitFor(1 + 8 - missed));
        // The newest lines, from just after the missed ones; nothing else.
        QStringList expected;
        for (int i = 3 + int(missed); i <= 10; ++i)
            expected << QString::number(i);
        QCOMPARE(textsOf(again.messages), expected);
        if (!bySize)
            QCOMPARE(missed, 3);

        // A new copy is told where each origin stands and gets nothing old.
        auto fresh = handCopy(ann->socketPath(), helloFrom(QByteArray(kLocalRoomOriginSize, 'f')));
        MessageStream news(fresh.get());
        QVERIFY(news.waitFor(1));
        QCOMPARE(news.messages[0].missed, 0);
        QCOMPARE(news.messages[0].seen.value(annOrigin), 10);
        QVERIFY(ann->SendRoomLine("11"));
        QVERIFY(news.waitFor(2));
        QCOMPARE(textsOf(news.messages), QStringList{"11"});
    }

    // A copy that comes back offers the new host only the lines of the last
    // moments, which a dying host may have told it alone; older ones every
    // copy has had long since.
    void returningCopyOffersOnlyRecentLines()
    {
        const QString dir = freshDirectory();
        QString error;
        QVERIFY2(preparePrivateDirectory(dir, &error), qPrintable(error));
        RoomLock lock(dir + QStringLiteral("/room-test.lock"));
        QVERIFY(lock.tryLock(&error));
        QLocalServer server;
        QVERIFY(server.listen(dir + QStringLiteral("/room-test.sock")));

        LocalRoom::Tuning tuning;
        tuning.recentMs = 300;
        LocalRoom copy("ann", "test", dir, nullptr, tuning);
        Transcript atCopy(&copy);
        copy.StartRoomScan();
        LocalRoomMessage welcome;
        welcome.kind = LocalRoomMessage::Kind::Welcome;
        QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), kWaitMs);
        QLocalSocket* first = server.nextPendingConnection();
        first->write(frameLocalRoomMessage(welcome));
        LocalRoomMessage old = sampleMessage(LocalRoomMessage::Kind::Line, "old");
        first->write(frameLocalRoomMessage(old));
        QTRY_COMPARE_WITH_TIMEOUT(atCopy.count(), 1, kWaitMs);
        QTest::qWait(400);
        LocalRoomMessage fresh = old;
        fresh.number = old.number + 1;
        fresh.text = QStringLiteral("fresh");
        first->write(frameLocalRoomMessage(fresh));
        QTRY_COMPARE_WITH_TIMEOUT(atCopy.count(), 2, kWaitMs);
        first->abort();

        QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), kWaitMs);
        QLocalSocket* again = server.nextPendingConnection();
        MessageStream fromCopy(again);
        QVERIFY(fromCopy.waitFor(1)); // hello
        again->write(frameLocalRoomMessage(welcome));
        // A line said once the copy is back follows whatever it offers.
        QTRY_COMPARE_WITH_TIMEOUT(copy.state(), State::Joined, kWaitMs);
        QVERIFY(copy.SendRoomLine("said after"));
        QVERIFY(fromCopy.waitFor(3));

        QCOMPARE(fromCopy.messages.size(), 3);
        QCOMPARE(fromCopy.messages[1].kind, LocalRoomMessage::Kind::Say);
        QCOMPARE(fromCopy.messages[1].text, QStringLiteral("fresh"));
        QCOMPARE(fromCopy.messages[2].kind, LocalRoomMessage::Kind::Say);
        QCOMPARE(fromCopy.messages[2].text, QStringLiteral("said after"));
    }

    // A copy that stops reading holds only its place in the history; once
    // the history has moved past that place, it is dropped. Those that read
    // hear everything.
    void copyThatStopsReadingIsDropped()
    {
        LocalRoom::Tuning tuning;
        tuning.historyLines = 5; // a bound only on what nobody waits for
        tuning.historyBytes = 20 * 16 * 1024;
        tuning.paceBytes = 64 * 1024;
        const QString dir = freshDirectory();
        auto ann = enter("ann", dir, State::Hosting, tuning);
        auto bob = enter("bob", dir, State::Joined, tuning);
        Transcript atBob(bob.get());
        DeafCopy deaf(ann->socketPath(), QByteArray(kLocalRoomOriginSize, 'd'));
        QVERIFY(deaf.connected());
        QTRY_COMPARE_WITH_TIMEOUT(ann->joinedCopies(), 2, kWaitMs);

        // A few at a time, at a pace Bob keeps up with.
        const QString filler(16 * 1024, 'x');
        for (int i = 0; i < 100; ++i) {
            QVERIFY(ann->SendRoomLine(QString::number(i) + filler));
            if (i % 10 == 9)
                QTRY_COMPARE_WITH_TIMEOUT(atBob.count(), i + 1, kWaitMs);
        }
        QTRY_COMPARE_WITH_TIMEOUT(ann->joinedCopies(), 1, kWaitMs);
        QCOMPARE(bob->state(), State::Joined);
    }

    // Past what the host may hold for all its copies, the one furthest
    // behind goes first, and only as many as needed.
    void slowestReaderGoesFirst()
    {
        LocalRoom::Tuning tuning;
        tuning.paceBytes = 64 * 1024;
        tuning.holdBytes = 112 * 1024;
        const QString dir = freshDirectory();
        auto ann = enter("ann", dir, State::Hosting, tuning);
        const QString filler(8 * 1024, 'x');
        // A few at a time, so the system takes what each socket holds.
        auto say = [&](int count) {
            for (int i = 0; i < count; ++i) {
                QVERIFY(ann->SendRoomLine(filler));
                if (i % 4 == 3)
                    QTest::qWait(5);
            }
            QTRY_COMPARE_WITH_TIMEOUT(ann->unconfirmedLines(), 0, kWaitMs);
        };

        DeafCopy early(ann->socketPath(), QByteArray(kLocalRoomOriginSize, 'e'));
        QTRY_COMPARE_WITH_TIMEOUT(ann->joinedCopies(), 1, kWaitMs);
        say(20);
        DeafCopy late(ann->socketPath(), QByteArray(kLocalRoomOriginSize, 'l'));
        QTRY_COMPARE_WITH_TIMEOUT(ann->joinedCopies(), 2, kWaitMs);
        say(200);
        // Either alone stays under the bound; together they do not.
        QTRY_COMPARE_WITH_TIMEOUT(ann->joinedCopies(), 1, kWaitMs);
        QTest::qWait(100);
        QCOMPARE(ann->joinedCopies(), 1);
        QVERIFY(early.closedByHost());
        QVERIFY(!late.closedByHost());
    }

    // One connection cannot speak for an origin another introduced, nor make
    // an origin's numbering jump; the member it aims at goes on being heard.
    void nobodySilencesAnother()
    {
        const QString dir = freshDirectory();
        auto ann = enter("ann", dir, State::Hosting);
        auto bob = enter("bob", dir, State::Joined);
        Transcript atAnn(ann.get());
        const QByteArray rogueOrigin(kLocalRoomOriginSize, 'x');
        auto rogue = handCopy(ann->socketPath(), helloFrom(rogueOrigin));
        MessageStream fromAnn(rogue.get());
        QVERIFY(fromAnn.waitFor(1));
        QVERIFY(bob->SendRoomLine("bob 1"));
        QVERIFY(fromAnn.waitFor(2));
        const QByteArray bobOrigin = fromAnn.messages[1].origin;

        rogue->write(frameLocalRoomMessage(sayFrom(bobOrigin, 1000000000000LL, "huge")) +
                     frameLocalRoomMessage(sayFrom(bobOrigin, 2, "next")) +
                     frameLocalRoomMessage(sayFrom(rogueOrigin, 1, "mine")));
        rogue->flush();
        QTRY_COMPARE_WITH_TIMEOUT(atAnn.countOf("mine"), 1, kWaitMs);
        QVERIFY(bob->SendRoomLine("bob 2"));
        QTRY_COMPARE_WITH_TIMEOUT(atAnn.countOf("bob 2"), 1, kWaitMs);
        QCOMPARE(atAnn.countOf("huge"), 0);
        QCOMPARE(atAnn.countOf("next"), 0);

        // Its own numbering cannot leap either; nor can it say hello as Bob.
        rogue->write(frameLocalRoomMessage(sayFrom(rogueOrigin, 1000000000000LL, "leap")));
        QTRY_COMPARE_WITH_TIMEOUT(rogue->state(), QLocalSocket::UnconnectedState, kWaitMs);
        auto impostor = handCopy(ann->socketPath(), helloFrom(bobOrigin));
        QTRY_COMPARE_WITH_TIMEOUT(impostor->state(), QLocalSocket::UnconnectedState, kWaitMs);
        QVERIFY(bob->SendRoomLine("bob 3"));
        QTRY_COMPARE_WITH_TIMEOUT(atAnn.countOf("bob 3"), 1, kWaitMs);
        QCOMPARE(atAnn.countOf("leap"), 0);
    }

    void longNamesAreCut()
    {
        const QString dir = freshDirectory();
        auto ann = enter("ann", dir, State::Hosting);
        auto bob = enter(QString(300000, 'b'), dir, State::Joined);
        Transcript atAnn(ann.get()), atBob(bob.get());
        QVERIFY(bob->SendRoomLine("hi"));
        QTRY_COMPARE_WITH_TIMEOUT(atAnn.count(), 1, kWaitMs);
        QCOMPARE(atAnn.sender(0), QString(kLocalRoomMaxNick, 'b'));
        QTRY_COMPARE_WITH_TIMEOUT(atBob.count(), 1, kWaitMs);
        QCOMPARE(atBob.sender(0), QString(kLocalRoomMaxNick, 'b'));

        // A host's own name is held to the same bound, in its window too.
        auto cay = enter(QString(300000, 'c'), freshDirectory(), State::Hosting);
        Transcript atCay(cay.get());
        QVERIFY(cay->SendRoomLine("me"));
        QTRY_COMPARE_WITH_TIMEOUT(atCay.count(), 1, kWaitMs);
        QCOMPARE(atCay.sender(0), QString(kLocalRoomMaxNick, 'c'));

        // Never half a character.
        const QString emoji = QString::fromUtf8("😀");
        const QString odd = QString(kLocalRoomMaxNick - 1, 'a') + emoji;
        QCOMPARE(boundLocalRoomNick(odd), QString(kLocalRoomMaxNick - 1, 'a'));
        const QString even = QString(kLocalRoomMaxNick - 2, 'a') + emoji + emoji;
        QCOMPARE(boundLocalRoomNick(even), QString(kLocalRoomMaxNick - 2, 'a') + emoji);
    }

    // Connections that do not introduce themselves are closed after a while,
    // and only so many may wait at once: the oldest go first.
    void strangersAreBounded()
    {
        LocalRoom::Tuning tuning;
        tuning.heartbeatMs = 50;
        tuning.maxUnintroduced = 3;
        tuning.introductionMs = 60000;
        auto ann = enter("ann", freshDirectory(), State::Hosting, tuning);
        std::vector<std::unique_ptr<QLocalSocket>> strangers;
        for (int i = 0; i < 5; ++i) {
            strangers.push_back(std::make_unique<QLocalSocket>());
            strangers.back()->connectToServer(ann->socketPath());
            QVERIFY(strangers.back()->waitForConnected(kWaitMs));
            QTest::qWait(20); // so the host sees them in this order
        }
        for (int i = 0; i < 2; ++i)
            QTRY_COMPARE_WITH_TIMEOUT(strangers[i]->state(), QLocalSocket::UnconnectedState,
                                      kWaitMs);
        QTest::qWait(200);
        for (int i = 2; i < 5; ++i)
            QCOMPARE(strangers[i]->state(), QLocalSocket::ConnectedState);

        tuning.introductionMs = 200;
        auto bob = enter("bob", freshDirectory(), State::Hosting, tuning);
        QLocalSocket silent;
        silent.connectToServer(bob->socketPath());
        QVERIFY(silent.waitForConnected(kWaitMs));
        QTRY_COMPARE_WITH_TIMEOUT(silent.state(), QLocalSocket::UnconnectedState, kWaitMs);
    }

    // The directory is removed and made anew under a host, and a newer copy
    // hosts there before the first notices: the first joins it, and leaves
    // the newer host's socket where it is (closing a server removes a socket
    // file by its name).
    void hostWhoseLockWasReplacedJoinsTheNewHost()
    {
        const QString dir = freshDirectory();
        LocalRoom::Tuning slow;
        slow.heartbeatMs = 300;
        auto ann = enter("ann", dir, State::Hosting, slow);
        QVERIFY(ann->SendRoomLine("before"));
        QVERIFY(QDir(dir).removeRecursively());
        auto bob = enter("bob", dir, State::Hosting);
        Transcript atBob(bob.get());
        QTRY_COMPARE_WITH_TIMEOUT(ann->state(), State::Joined, kWaitMs);
        QVERIFY(QFile::exists(bob->socketPath()));
        auto cay = enter("cay", dir, State::Joined);
        QVERIFY(ann->SendRoomLine("after"));
        QTRY_COMPARE_WITH_TIMEOUT(atBob.countOf("after"), 1, kWaitMs);
        QCOMPARE(bob->state(), State::Hosting);
        QCOMPARE(cay->state(), State::Joined);

        // The socket file alone removed: newcomers get in all the same.
        QVERIFY(QFile::remove(bob->socketPath()));
        auto dan = enter("dan", dir, State::Joined);
        QVERIFY(dan->SendRoomLine("in"));
        QTRY_COMPARE_WITH_TIMEOUT(atBob.countOf("in"), 1, kWaitMs);
    }

    // Without a runtime directory, another user may take the temporary
    // fallback first; the room then lives under the user's home.
    void takenFallbackLeavesTheHome()
    {
        const QString tmp = m_base.filePath("tmp");
        const QString home = m_base.filePath("home");
        QVERIFY(QDir().mkpath(tmp) && QDir().mkpath(home));
        const QString taken = tmp + QStringLiteral("/svw-%1").arg(::geteuid());
        if (::geteuid() == 0) {
            QVERIFY(::mkdir(QFile::encodeName(taken).constData(), 0700) == 0);
            QVERIFY(::chown(QFile::encodeName(taken).constData(), 65534, 65534) == 0);
        } else {
            // As another user could: a link to a directory of theirs.
            QVERIFY(QFile::link(m_base.path(), taken));
        }
        const QByteArray oldRuntime = qgetenv("XDG_RUNTIME_DIR");
        const QByteArray oldTmp = qgetenv("TMPDIR");
        const QByteArray oldHome = qgetenv("HOME");
        // Passed over (not absolute); unset, it would send the room to the
        // machine's /run/user where that has the user's directory.
        qputenv("XDG_RUNTIME_DIR", "not/absolute");
        qputenv("TMPDIR", QFile::encodeName(tmp));
        qputenv("HOME", QFile::encodeName(home));
        auto restore = qScopeGuard([&] {
            qputenv("XDG_RUNTIME_DIR", oldRuntime);
            qputenv("TMPDIR", oldTmp);
            qputenv("HOME", oldHome);
        });

        QString problems;
        QCOMPARE(defaultLocalRoomDirectory(&problems), home + "/.cache/svw-rooms");
        QVERIFY(problems.isEmpty());
        {
            LocalRoom room("ann", "test");
            QTRY_COMPARE_WITH_TIMEOUT(room.state(), State::Hosting, kWaitMs);
            QVERIFY(room.socketPath().startsWith(home));
        }

        // With the home fallback blocked as well, the message says what to
        // remove or set.
        QVERIFY(QDir(home + "/.cache/svw-rooms").removeRecursively());
        QFile blocker(home + "/.cache/svw-rooms");
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        LocalRoom refused("ann", "test");
        QCOMPARE(refused.state(), State::Unavailable);
        QVERIFY2(refused.errorString().contains("Remove " + taken + ",") &&
                     refused.errorString().contains(home + "/.cache/svw-rooms is not a") &&
                     refused.errorString().contains("XDG_RUNTIME_DIR"),
                 qPrintable(refused.errorString()));
    }
};

QTEST_GUILESS_MAIN(TestLocalRoomHost)
#include "tst_local_room_host.moc"
