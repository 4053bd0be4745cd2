// SPDX-License-Identifier: GPL-3.0-or-later
// The local room against a hostile host or member, with copies in processes
// of their own and the other side played by the test by hand: a host that
// sends lines no copy said, or takes lines and passes none on; a process
// that claims a stopped member's name or offers its next line; more copies
// than a host takes.

#include "local_room_peers.h"
#include "local_room_protocol.h"
#include "room_lock.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>
#include <optional>

using namespace svw;
using svw::test::formed;
using svw::test::kPeerWaitMs;
using svw::test::LineCount;
using svw::test::Peer;

namespace {

const QString kTuning = QStringLiteral("heartbeat=100,silence=800,tell=500");

// An origin that names no running process (its first four bytes are read as
// a process id far beyond any the system gives).
QByteArray strayOrigin(char fill)
{
    return QByteArray(kLocalRoomOriginSize, fill);
}

// The messages that arrive on a socket driven by hand.
class Stream
{
public:
    explicit Stream(QLocalSocket* socket) : m_socket(socket) {}

    // Waits for the next message of `kind` (skipping pings); nothing when
    // none came in time.
    std::optional<LocalRoomMessage> next(LocalRoomMessage::Kind kind)
    {
        std::optional<LocalRoomMessage> found;
        const bool arrived = QTest::qWaitFor(
            [&] {
                m_reader.append(m_socket->readAll());
                QByteArray body;
                while (!found && m_reader.next(&body) == LocalRoomFrameReader::Status::Frame) {
                    const auto message = decodeLocalRoomMessage(body);
                    if (message && message->kind == kind)
                        found = message;
                }
                return found.has_value();
            },
            kPeerWaitMs);
        return arrived ? found : std::nullopt;
    }

private:
    QLocalSocket* m_socket;
    LocalRoomFrameReader m_reader;
};

std::unique_ptr<QLocalSocket> connectAs(const QString& socketPath, const QByteArray& origin,
                                        bool fresh = true)
{
    auto socket = std::make_unique<QLocalSocket>();
    socket->connectToServer(socketPath);
    if (!socket->waitForConnected(kPeerWaitMs))
        return nullptr;
    LocalRoomMessage hello;
    hello.kind = LocalRoomMessage::Kind::Hello;
    hello.origin = origin;
    hello.fresh = fresh;
    socket->write(frameLocalRoomMessage(hello));
    socket->flush();
    return socket;
}

LocalRoomMessage lineOf(LocalRoomMessage::Kind kind, const QByteArray& origin, qint64 number,
                        const QString& nick, const QString& text)
{
    LocalRoomMessage line;
    line.kind = kind;
    line.origin = origin;
    line.number = number;
    line.nick = nick;
    line.text = text;
    return line;
}

// A host played by the test: it holds the room's lock and listens on its
// socket, and does with each copy what the test says.
class HandHost
{
public:
    explicit HandHost(const QString& dir) : m_lock(dir + "/room-test.lock")
    {
        QString error;
        m_ok = QDir().mkpath(dir) &&
               QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner) &&
               m_lock.tryLock(&error) && m_server.listen(dir + "/room-test.sock");
    }
    bool ok() const { return m_ok; }

    // The next copy to connect, and its hello.
    QLocalSocket* accept(LocalRoomMessage* hello)
    {
        if (!QTest::qWaitFor([&] { return m_server.hasPendingConnections(); }, kPeerWaitMs))
            return nullptr;
        QLocalSocket* socket = m_server.nextPendingConnection();
        m_streams.push_back(std::make_unique<Stream>(socket));
        const auto said = m_streams.back()->next(LocalRoomMessage::Kind::Hello);
        if (!said)
            return nullptr;
        *hello = *said;
        return socket;
    }

    void welcome(QLocalSocket* socket, qint64 missed = 0)
    {
        LocalRoomMessage welcome;
        welcome.kind = LocalRoomMessage::Kind::Welcome;
        welcome.missed = missed;
        socket->write(frameLocalRoomMessage(welcome));
        socket->flush();
    }

    void leave()
    {
        m_server.close();
        m_lock.unlock();
    }

private:
    RoomLock m_lock;
    QLocalServer m_server;
    bool m_ok = false;
    std::vector<std::unique_ptr<Stream>> m_streams;
};

bool toldNotHosting(const Peer& peer)
{
    return !peer.troubles().filter("does not host the room").isEmpty();
}

} // namespace

class TestLocalRoomHostile : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_base;
    int m_rooms = 0;

    QString freshDirectory() { return m_base.filePath(QStringLiteral("rooms-%1").arg(++m_rooms)); }

private slots:
    void initTestCase() { QVERIFY(m_base.isValid()); }

    // A hostile host sends a member a line in the member's own name numbered
    // far ahead, another origin's leaping ahead, and an unbelievable count of
    // missed lines. Once it has gone, the member is heard and hears as ever.
    void hostileHostLeavesNoLastingHarm()
    {
        const QString dir = freshDirectory();
        auto hostile = std::make_unique<HandHost>(dir);
        QVERIFY(hostile->ok());
        Peer bob("bob", dir, kTuning);
        LocalRoomMessage hello;
        QLocalSocket* toBob = hostile->accept(&hello);
        QVERIFY(toBob);
        hostile->welcome(toBob);
        QTRY_VERIFY_WITH_TIMEOUT(bob.joined(), kPeerWaitMs);
        const QByteArray zed = strayOrigin('z');
        toBob->write(
            frameLocalRoomMessage(lineOf(LocalRoomMessage::Kind::Line, hello.origin, 1000000000,
                                         "bob", "never said")) +
            frameLocalRoomMessage(lineOf(LocalRoomMessage::Kind::Line, zed, 1, "zed", "zed 1")) +
            frameLocalRoomMessage(
                lineOf(LocalRoomMessage::Kind::Line, zed, 1000000000, "zed", "leap")));
        toBob->flush();
        QTRY_COMPARE_WITH_TIMEOUT(bob.countOf("zed: zed 1"), 1, kPeerWaitMs);

        // It lets Bob go and welcomes him back claiming a huge loss.
        toBob->abort();
        QLocalSocket* again = hostile->accept(&hello);
        QVERIFY(again);
        QVERIFY(!hello.fresh);
        hostile->welcome(again, 1000000000000LL);
        QTRY_VERIFY_WITH_TIMEOUT(bob.joined(), kPeerWaitMs);
        hostile->leave();
        hostile.reset();

        QTRY_VERIFY_WITH_TIMEOUT(bob.hosting(), kPeerWaitMs);
        Peer cay("cay", dir, kTuning);
        QTRY_VERIFY_WITH_TIMEOUT(formed({&bob, &cay}), kPeerWaitMs);
        LineCount count;
        count.tolerate("zed: zed 1");
        for (int i = 0; i < 3; ++i) {
            count.say(bob, QStringLiteral("bob %1").arg(i), {&bob, &cay});
            count.say(cay, QStringLiteral("cay %1").arg(i), {&bob, &cay});
        }
        QCOMPARE(count.problems(), QString());
        QVERIFY(bob.troubles().filter("1000000000000").isEmpty());
    }

    // A hostile host walks one member's count of another's lines far ahead,
    // each step within what a host lets an origin leap. Once it has gone,
    // whichever of the two hosts next, each hears the other's real lines.
    void walkedUpNumberingIsPutRight()
    {
        const QString dir = freshDirectory();
        auto hostile = std::make_unique<HandHost>(dir);
        QVERIFY(hostile->ok());
        Peer bob("bob", dir, kTuning);
        LocalRoomMessage hello;
        QLocalSocket* toBob = hostile->accept(&hello);
        QVERIFY(toBob);
        hostile->welcome(toBob);
        QTRY_VERIFY_WITH_TIMEOUT(bob.joined(), kPeerWaitMs);
        Peer dan("dan", dir, kTuning);
        QLocalSocket* toDan = hostile->accept(&hello);
        QVERIFY(toDan);
        hostile->welcome(toDan);
        QTRY_VERIFY_WITH_TIMEOUT(dan.joined(), kPeerWaitMs);

        LineCount count;
        QByteArray walk;
        constexpr int kSteps = 20;
        for (int i = 0; i < kSteps; ++i) {
            const QString text = QStringLiteral("step %1").arg(i);
            walk += frameLocalRoomMessage(
                lineOf(LocalRoomMessage::Kind::Line, hello.origin, 1 + i * 65536LL, "dan", text));
            count.tolerate("dan: " + text);
        }
        toBob->write(walk);
        toBob->flush();
        QTRY_COMPARE_WITH_TIMEOUT(bob.countOf(QStringLiteral("dan: step %1").arg(kSteps - 1)), 1,
                                  kPeerWaitMs);
        hostile->leave();
        hostile.reset();

        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         return formed({&bob, &dan});
                     },
                     kPeerWaitMs),
                 qPrintable(bob.status() + " / " + dan.status()));
        for (int i = 0; i < 3; ++i) {
            count.say(dan, QStringLiteral("dan %1").arg(i), {&bob, &dan});
            count.say(bob, QStringLiteral("bob %1").arg(i), {&bob, &dan});
        }
        QCOMPARE(count.problems(), QString());
    }

    // While a member is stopped and the room re-forms, another process says
    // hello in its name and offers its next line. Neither takes: the member
    // comes back under its own name and its own line is the one heard.
    void stoppedMemberKeepsItsNameAndLines()
    {
        const QString dir = freshDirectory();
        Peer ann("ann", dir, kTuning);
        QTRY_VERIFY_WITH_TIMEOUT(ann.hosting(), kPeerWaitMs);
        Peer bob("bob", dir, kTuning);
        Peer cay("cay", dir, kTuning);
        QTRY_VERIFY_WITH_TIMEOUT(formed({&ann, &bob, &cay}), kPeerWaitMs);
        auto listener = connectAs(dir + "/room-test.sock", strayOrigin('l'));
        QVERIFY(listener);
        Stream heard(listener.get());
        QVERIFY(heard.next(LocalRoomMessage::Kind::Welcome));
        LineCount count;
        count.say(bob, "bob 1", {&bob, &cay});
        const auto bobsLine = heard.next(LocalRoomMessage::Kind::Line);
        QVERIFY(bobsLine);
        QCOMPARE(bobsLine->text, QStringLiteral("bob 1"));
        QCOMPARE(count.problems(), QString());

        bob.stop();
        ann.kill();
        QVERIFY(ann.waitForExit());
        QTRY_VERIFY_WITH_TIMEOUT(cay.hosting(), kPeerWaitMs);
        const QByteArray bobOrigin = bobsLine->origin;
        auto impostor = connectAs(dir + "/room-test.sock", bobOrigin, false);
        QVERIFY(impostor);
        impostor->write(frameLocalRoomMessage(
            lineOf(LocalRoomMessage::Kind::Say, bobOrigin, 2, "bob", "forged by name")));
        auto forger = connectAs(dir + "/room-test.sock", strayOrigin('f'), false);
        QVERIFY(forger);
        forger->write(frameLocalRoomMessage(
            lineOf(LocalRoomMessage::Kind::Say, bobOrigin, 2, "bob", "forged next line")));
        impostor->flush();
        forger->flush();
        QTRY_COMPARE_WITH_TIMEOUT(impostor->state(), QLocalSocket::UnconnectedState, kPeerWaitMs);

        bob.resume();
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         return formed({&bob, &cay});
                     },
                     kPeerWaitMs),
                 qPrintable(bob.status() + " | " + bob.troubles().join(" | ")));
        count.say(bob, "bob 2", {&bob, &cay});
        count.say(cay, "cay 2", {&bob, &cay});
        QCOMPARE(count.problems(), QString());
        QVERIFY(!toldNotHosting(bob));
    }

    // A host that welcomes and pings but passes no line on is left like a
    // frozen one, and a copy started later finds the room where it went.
    void hostThatPassesNothingOnIsLeft()
    {
        const QString dir = freshDirectory();
        HandHost hostile(dir);
        QVERIFY(hostile.ok());
        Peer bob("bob", dir, kTuning);
        LocalRoomMessage hello;
        QLocalSocket* toBob = hostile.accept(&hello);
        QVERIFY(toBob);
        hostile.welcome(toBob);
        QTRY_VERIFY_WITH_TIMEOUT(bob.joined(), kPeerWaitMs);
        QTimer pings;
        QObject::connect(&pings, &QTimer::timeout, [&] {
            LocalRoomMessage ping;
            ping.kind = LocalRoomMessage::Kind::Ping;
            if (toBob->state() == QLocalSocket::ConnectedState)
                toBob->write(frameLocalRoomMessage(ping));
        });
        pings.start(100);

        LineCount count;
        count.say(bob, "one", {&bob});
        count.say(bob, "two", {&bob});
        QCOMPARE(count.problems(), QString());
        QTRY_VERIFY_WITH_TIMEOUT(bob.hosting(), kPeerWaitMs);
        QVERIFY(!bob.statuses().filter("passes no line on").isEmpty());
        Peer cay("cay", dir, kTuning);
        QTRY_VERIFY_WITH_TIMEOUT(formed({&bob, &cay}), kPeerWaitMs);
        count.say(cay, "three", {&bob, &cay});
        QCOMPARE(count.problems(), QString());
        QVERIFY(!toldNotHosting(bob) && !toldNotHosting(cay));
    }

    // Copies that said hello are capped like those that have not: past the
    // cap a newcomer is turned away and told so, not that nobody hosts;
    // once copies leave, it gets in.
    void joinedCopiesAreCapped()
    {
        const QString dir = freshDirectory();
        Peer ann("ann", dir, kTuning + ",copies=4");
        QTRY_VERIFY_WITH_TIMEOUT(ann.hosting(), kPeerWaitMs);
        std::vector<std::unique_ptr<QLocalSocket>> crowd;
        std::vector<std::unique_ptr<Stream>> streams;
        for (int i = 0; i < 6; ++i) {
            crowd.push_back(connectAs(dir + "/room-test.sock", strayOrigin(char('a' + i))));
            QVERIFY(crowd.back());
            streams.push_back(std::make_unique<Stream>(crowd.back().get()));
            QTest::qWait(20); // so the host takes them in this order
        }
        for (int i = 0; i < 4; ++i)
            QVERIFY(streams[size_t(i)]->next(LocalRoomMessage::Kind::Welcome));
        for (int i = 4; i < 6; ++i)
            QTRY_COMPARE_WITH_TIMEOUT(crowd[size_t(i)]->state(), QLocalSocket::UnconnectedState,
                                      kPeerWaitMs);

        Peer bob("bob", dir, kTuning);
        QTRY_VERIFY_WITH_TIMEOUT(!bob.troubles().isEmpty(), kPeerWaitMs);
        QVERIFY2(bob.troubles().first().contains("closes this copy's connection"),
                 qPrintable(bob.troubles().first()));
        QVERIFY(!bob.joined());
        crowd.clear();
        QTRY_VERIFY_WITH_TIMEOUT(formed({&ann, &bob}), kPeerWaitMs);
        LineCount count;
        count.say(bob, "in at last", {&ann, &bob});
        QCOMPARE(count.problems(), QString());
    }
};

QTEST_GUILESS_MAIN(TestLocalRoomHostile)
#include "tst_local_room_hostile.moc"
