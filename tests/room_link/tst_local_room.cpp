// SPDX-License-Identifier: GPL-3.0-or-later
// The local room inside one process: its wire format, its private directory,
// and several room controls sharing one room.

#include "local_room.h"
#include "local_room_protocol.h"
#include "local_room_test_support.h"
#include "private_directory.h"
#include "room_lock.h"

#include <QCborArray>
#include <QCborMap>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace svw;
using namespace svw::test;

namespace {

using State = LocalRoom::State;

mode_t modeOf(const QString& path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

} // namespace

class TestLocalRoom : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_base;
    int m_rooms = 0;

    // A fresh directory for each room, so no two tests share a room.
    QString freshDirectory() { return m_base.filePath(QStringLiteral("rooms-%1").arg(++m_rooms)); }

    // A room control that has taken `expected` as its role.
    std::unique_ptr<LocalRoom> enter(const QString& nick, const QString& dir, State expected)
    {
        auto room = std::make_unique<LocalRoom>(nick, QStringLiteral("test"), dir);
        room->StartRoomScan();
        if (!QTest::qWaitFor([&] { return room->state() == expected; }, kWaitMs))
            qWarning("%s did not reach the expected role; status: %s", qPrintable(nick),
                     qPrintable(room->status()));
        return room;
    }

    // Waits until `room` has seen every line it said relayed back, which means
    // it has also received everything relayed before them.
    static bool settle(LocalRoom* room)
    {
        return QTest::qWaitFor([room] { return room->unconfirmedLines() == 0; }, kWaitMs);
    }

private slots:
    void initTestCase() { QVERIFY(m_base.isValid()); }

    // --- wire format -----------------------------------------------------

    void framesSurviveAnySplitting()
    {
        const LocalRoomMessage first = sampleMessage(LocalRoomMessage::Kind::Say, "one");
        const LocalRoomMessage second =
            sampleMessage(LocalRoomMessage::Kind::Line, QStringLiteral("two\r\n\0three"));
        const QByteArray stream = frameLocalRoomMessage(first) + frameLocalRoomMessage(second);

        // Byte by byte: nothing comes out before a frame is whole.
        LocalRoomFrameReader reader;
        QList<QByteArray> bodies;
        for (char byte : stream) {
            reader.append(QByteArray(1, byte));
            QByteArray body;
            while (reader.next(&body) == LocalRoomFrameReader::Status::Frame)
                bodies << body;
        }
        QCOMPARE(bodies.size(), 2);
        QCOMPARE(decodeLocalRoomMessage(bodies[0]), first);
        QCOMPARE(decodeLocalRoomMessage(bodies[1]), second);
        QCOMPARE(reader.buffered(), 0);

        // All at once: both frames, then a request for more.
        LocalRoomFrameReader whole;
        whole.append(stream);
        QByteArray body;
        QCOMPARE(whole.next(&body), LocalRoomFrameReader::Status::Frame);
        QCOMPARE(whole.next(&body), LocalRoomFrameReader::Status::Frame);
        QCOMPARE(decodeLocalRoomMessage(body), second);
        QCOMPARE(whole.next(&body), LocalRoomFrameReader::Status::NeedMore);
    }

    void helloAndWelcomeRoundTrip()
    {
        LocalRoomMessage hello = helloFrom(QByteArray(kLocalRoomOriginSize, '\x01'));
        hello.fresh = false;
        hello.seen.insert(QByteArray(kLocalRoomOriginSize, '\x02'), 41);
        hello.seen.insert(QByteArray(kLocalRoomOriginSize, '\x03'), 1);
        QCOMPARE(decodeLocalRoomMessage(encodeLocalRoomMessage(hello)), hello);

        const LocalRoomMessage welcome = sampleMessage(LocalRoomMessage::Kind::Welcome, {});
        const auto decoded = decodeLocalRoomMessage(encodeLocalRoomMessage(welcome));
        QVERIFY(decoded.has_value());
        QCOMPARE(decoded->kind, LocalRoomMessage::Kind::Welcome);

        // A welcome carries where each origin stands and what was missed.
        LocalRoomMessage full;
        full.kind = LocalRoomMessage::Kind::Welcome;
        full.seen.insert(QByteArray(kLocalRoomOriginSize, '\x04'), 9);
        full.missed = 142;
        QCOMPARE(decodeLocalRoomMessage(encodeLocalRoomMessage(full)), full);

        LocalRoomMessage ping;
        ping.kind = LocalRoomMessage::Kind::Ping;
        QCOMPARE(decodeLocalRoomMessage(encodeLocalRoomMessage(ping)), ping);
    }

    void frameLengthsAreBounded_data()
    {
        QTest::addColumn<quint32>("length");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("empty") << quint32(0) << false;
        QTest::newRow("one byte") << quint32(1) << true;
        QTest::newRow("the bound") << quint32(kLocalRoomMaxFrame) << true;
        QTest::newRow("one over") << quint32(kLocalRoomMaxFrame + 1) << false;
        QTest::newRow("huge") << quint32(0xffffffffu) << false;
    }

    void frameLengthsAreBounded()
    {
        QFETCH(quint32, length);
        QFETCH(bool, accepted);
        LocalRoomFrameReader reader;
        reader.append(lengthPrefix(length));
        QByteArray body;
        if (!accepted) {
            QCOMPARE(reader.next(&body), LocalRoomFrameReader::Status::Broken);
            return;
        }
        // A sound length waits for its body, however long.
        QCOMPARE(reader.next(&body), LocalRoomFrameReader::Status::NeedMore);
        reader.append(QByteArray(qsizetype(length), 'x'));
        QCOMPARE(reader.next(&body), LocalRoomFrameReader::Status::Frame);
        QCOMPARE(body.size(), qsizetype(length));
    }

    void malformedMessagesAreRejected_data()
    {
        QTest::addColumn<QByteArray>("body");
        const QByteArray good =
            encodeLocalRoomMessage(sampleMessage(LocalRoomMessage::Kind::Say, "QQQQ"));
        QVERIFY(decodeLocalRoomMessage(good).has_value());

        auto withField = [](const QString& key, const QCborValue& value) {
            QCborMap map =
                QCborValue::fromCbor(
                    encodeLocalRoomMessage(sampleMessage(LocalRoomMessage::Kind::Say, "x")))
                    .toMap();
            if (value.isUndefined())
                map.remove(key);
            else
                map.insert(key, value);
            return map.toCborValue().toCbor();
        };
        QByteArray badUtf8 = good;
        badUtf8[badUtf8.indexOf("QQQQ")] = char(0xff);

        QTest::newRow("not CBOR") << QByteArray("\xff\xfe garbage", 10);
        QTest::newRow("an array") << QCborValue(QCborArray{1, 2}).toCbor();
        QTest::newRow("trailing bytes") << good + QByteArray(1, '\0');
        QTest::newRow("cut short") << good.left(good.size() - 2);
        QTest::newRow("invalid UTF-8 text") << badUtf8;
        QTest::newRow("unknown type") << withField("type", QStringLiteral("shout"));
        QTest::newRow("no text") << withField("text", QCborValue());
        QTest::newRow("text as bytes") << withField("text", QByteArray("x"));
        QTest::newRow("number zero") << withField("number", 0);
        QTest::newRow("number negative") << withField("number", -3);
        QTest::newRow("short origin") << withField("origin", QByteArray(5, 'o'));
        QTest::newRow("nick missing") << withField("nick", QCborValue());

        QCborMap hello =
            QCborValue::fromCbor(encodeLocalRoomMessage(helloFrom(QByteArray(16, 'h')))).toMap();
        auto helloWith = [&](const QString& key, const QCborValue& value) {
            QCborMap changed = hello;
            changed.insert(key, value);
            return changed.toCborValue().toCbor();
        };
        QTest::newRow("hello without origin") << helloWith("origin", QCborValue());
        QTest::newRow("hello fresh not a bool") << helloWith("fresh", 1);
        QTest::newRow("hello seen not a map") << helloWith("seen", QCborArray{});
        QTest::newRow("hello seen bad origin")
            << helloWith("seen", QCborMap{{QByteArray(3, 'x'), 4}});
        QTest::newRow("hello seen bad number")
            << helloWith("seen", QCborMap{{QByteArray(16, 'x'), 0}});

        LocalRoomMessage welcomeMessage;
        welcomeMessage.kind = LocalRoomMessage::Kind::Welcome;
        const QCborMap welcome =
            QCborValue::fromCbor(encodeLocalRoomMessage(welcomeMessage)).toMap();
        auto welcomeWith = [&](const QString& key, const QCborValue& value) {
            QCborMap changed = welcome;
            if (value.isUndefined())
                changed.remove(key);
            else
                changed.insert(key, value);
            return changed.toCborValue().toCbor();
        };
        QTest::newRow("welcome missed negative") << welcomeWith("missed", -1);
        QTest::newRow("welcome missed not a number") << welcomeWith("missed", "3");
        QTest::newRow("welcome without seen") << welcomeWith("seen", QCborValue());
        QTest::newRow("welcome seen bad origin")
            << welcomeWith("seen", QCborMap{{QByteArray(3, 'x'), 4}});
        QTest::newRow("ping with more")
            << QCborMap{{"type", "ping"}, {"text", "x"}}.toCborValue().toCbor();
    }

    void malformedMessagesAreRejected()
    {
        QFETCH(QByteArray, body);
        QVERIFY(!decodeLocalRoomMessage(body).has_value());
    }

    // --- the private directory ------------------------------------------

    void missingDirectoryIsCreatedPrivate()
    {
        // Even a umask that would take the owner's bits leaves it 0700.
        const mode_t oldMask = ::umask(0277);
        const QString dir = freshDirectory();
        QString error;
        const bool made = preparePrivateDirectory(dir, &error);
        ::umask(oldMask);
        QVERIFY2(made, qPrintable(error));
        QCOMPARE(modeOf(dir), mode_t(0700));
        // A second look accepts what the first made.
        QVERIFY2(preparePrivateDirectory(dir, &error), qPrintable(error));
    }

    void unsafeDirectoriesAreRefused_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("open to everyone") << "0755";
        QTest::newRow("open to the group") << "0770";
        QTest::newRow("writable by others") << "0703";
        QTest::newRow("symbolic link") << "link";
        QTest::newRow("plain file") << "file";
        QTest::newRow("another user's") << "foreign";
        QTest::newRow("parent missing") << "orphan";
    }

    void unsafeDirectoriesAreRefused()
    {
        QFETCH(QString, kind);
        QString dir = freshDirectory();
        const QByteArray native = QFile::encodeName(dir);
        if (kind.startsWith('0')) {
            QVERIFY(::mkdir(native.constData(), 0700) == 0);
            QVERIFY(::chmod(native.constData(), kind.toUInt(nullptr, 8)) == 0);
        } else if (kind == "link") {
            const QString target = freshDirectory();
            QVERIFY(::mkdir(QFile::encodeName(target).constData(), 0700) == 0);
            QVERIFY(QFile::link(target, dir));
        } else if (kind == "file") {
            QFile file(dir);
            QVERIFY(file.open(QIODevice::WriteOnly));
        } else if (kind == "foreign") {
            if (::geteuid() != 0)
                QSKIP("giving a directory to another user needs root");
            QVERIFY(::mkdir(native.constData(), 0700) == 0);
            QVERIFY(::chown(native.constData(), 65534, 65534) == 0);
        } else if (kind == "orphan") {
            dir += QStringLiteral("/missing/rooms");
        }

        QString error;
        QVERIFY(!preparePrivateDirectory(dir, &error));
        QVERIFY2(error.contains(m_base.path()), qPrintable(error));

        // A room in such a directory refuses to work and says why.
        LocalRoom room(QStringLiteral("eve"), QStringLiteral("test"), dir);
        QSignalSpy status(&room, &ChatRoomControl::statusChanged);
        QSignalSpy trouble(&room, &ChatRoomControl::roomTrouble);
        QCOMPARE(room.state(), State::Unavailable);
        QVERIFY(!room.SendRoomLine(QStringLiteral("hello")));
        QCOMPARE(room.errorString(), error);
        QVERIFY(status.wait(kWaitMs));
        QCOMPARE(status.at(0).at(0).toString(), error);
        QCOMPARE(trouble.size(), 1);
        QVERIFY(trouble.at(0).at(0).toString().startsWith(error));
        if (kind == "foreign" || kind.startsWith('0'))
            QVERIFY(!QFile::exists(dir + QStringLiteral("/room-test.lock")));
    }

    // --- rooms in one process --------------------------------------------

    void firstHostsLaterJoin()
    {
        const QString dir = freshDirectory();
        auto host = enter("ann", dir, State::Hosting);
        auto guest = enter("bob", dir, State::Joined);
        QCOMPARE(host->state(), State::Hosting);
        QCOMPARE(guest->status(), QStringLiteral("joined the local room \"test\""));
        QCOMPARE(host->status(), QStringLiteral("hosting the local room \"test\""));
        QTRY_COMPARE_WITH_TIMEOUT(host->joinedCopies(), 1, kWaitMs);
        QCOMPARE(modeOf(dir), mode_t(0700));
        QVERIFY(QFileInfo(host->socketPath()).exists());
    }

    void twoControlsSeeEveryLineOnce()
    {
        const QString dir = freshDirectory();
        auto ann = enter("ann", dir, State::Hosting);
        auto bob = enter("bob", dir, State::Joined);
        Transcript atAnn(ann.get()), atBob(bob.get());

        QVERIFY(ann->SendRoomLine("from ann"));
        // Nothing is reported while the line is being said.
        QCOMPARE(atAnn.count(), 0);
        QVERIFY(bob->SendRoomLine("from bob"));
        QVERIFY(settle(ann.get()) && settle(bob.get()));
        QVERIFY(ann->SendRoomLine("marker"));
        QTRY_COMPARE_WITH_TIMEOUT(atBob.countOf("marker"), 1, kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(atAnn.countOf("marker"), 1, kWaitMs);

        QCOMPARE(atAnn.lines(), atBob.lines());
        QCOMPARE(atAnn.count(), 3);
        QVERIFY(atAnn.lines().contains("ann: from ann"));
        QVERIFY(atAnn.lines().contains("bob: from bob"));
    }

    void threeControlsShareOneOrder()
    {
        const QString dir = freshDirectory();
        auto ann = enter("ann", dir, State::Hosting);
        auto bob = enter("bob", dir, State::Joined);
        auto cay = enter("cay", dir, State::Joined);
        Transcript atAnn(ann.get()), atBob(bob.get()), atCay(cay.get());

        constexpr int kEach = 40;
        for (int i = 0; i < kEach; ++i) {
            QVERIFY(ann->SendRoomLine(QString::number(i)));
            QVERIFY(bob->SendRoomLine(QString::number(i)));
            QVERIFY(cay->SendRoomLine(QString::number(i)));
            if (i % 7 == 0)
                QTest::qWait(1); // let some lines cross others in flight
        }
        for (Transcript* t : {&atAnn, &atBob, &atCay})
            QTRY_COMPARE_WITH_TIMEOUT(t->count(), 3 * kEach, kWaitMs);
        // Said once everyone has every line: a duplicate would come before it.
        QVERIFY(bob->SendRoomLine("last"));
        for (Transcript* t : {&atAnn, &atBob, &atCay})
            QTRY_COMPARE_WITH_TIMEOUT(t->countOf("last"), 1, kWaitMs);

        QCOMPARE(atBob.lines(), atAnn.lines());
        QCOMPARE(atCay.lines(), atAnn.lines());
        QCOMPARE(atAnn.count(), 3 * kEach + 1);
        // Each sender's lines keep the order in which it said them.
        for (const QString nick : {"ann", "bob", "cay"}) {
            QStringList own;
            for (const QString& line : atAnn.lines().mid(0, 3 * kEach))
                if (line.startsWith(nick + ": "))
                    own << line.mid(nick.size() + 2);
            QCOMPARE(own.size(), kEach);
            for (int i = 0; i < kEach; ++i)
                QCOMPARE(own[i], QString::number(i));
        }
    }

    void scanDecidesWhatIsReported()
    {
        const QString dir = freshDirectory();
        auto ann = enter("ann", dir, State::Hosting);
        auto bob = enter("bob", dir, State::Joined);
        bob->StopRoomScan();
        Transcript atBob(bob.get());

        // Bob's own line comes back after Ann's, so once it has, Ann's has
        // reached him too.
        QVERIFY(ann->SendRoomLine("unheard"));
        QVERIFY(bob->SendRoomLine("unheard too"));
        QVERIFY(settle(bob.get()));
        QCOMPARE(atBob.count(), 0);

        bob->StartRoomScan();
        QVERIFY(ann->SendRoomLine("heard"));
        QTRY_COMPARE_WITH_TIMEOUT(atBob.count(), 1, kWaitMs);
        QCOMPARE(atBob.text(0), QStringLiteral("heard"));

        bob->StopRoomScan();
        QVERIFY(ann->SendRoomLine("unheard again"));
        QVERIFY(bob->SendRoomLine("marker"));
        QVERIFY(settle(bob.get()));
        QCOMPARE(atBob.count(), 1);
    }

    void textsArriveExactlyAsSaid_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << QString();
        QTest::newRow("controls") << QStringLiteral("a\0b\r\nc\td\x1b[0m\x7f").append(QChar(0));
        QTest::newRow("C1 and Latin-1") << QString::fromUtf8("\xc2\x80\xc2\x9f ºªÑªº ÿ");
        QTest::newRow("Windows-1252 specials") << QString::fromUtf8("€‚ƒ„…†‡ˆ‰Š‹ŒŽ‘’“”•–—˜™š›œžŸ");
        QTest::newRow("beyond the BMP") << QString::fromUtf8("𝄞 😀 𠜎");
        QTest::newRow("spaces kept") << QStringLiteral("  leading and trailing  \t ");
        QTest::newRow("long") << QString(200000, QChar(u'é'));
    }

    void textsArriveExactlyAsSaid()
    {
        QFETCH(QString, text);
        const QString dir = freshDirectory();
        auto host = enter(QString::fromUtf8("Zoë 😀"), dir, State::Hosting);
        auto guest = enter(QStringLiteral("b\x01ob"), dir, State::Joined);
        Transcript atHost(host.get()), atGuest(guest.get());

        QVERIFY(guest->SendRoomLine(text));
        QVERIFY(host->SendRoomLine(text));
        QTRY_COMPARE_WITH_TIMEOUT(atHost.count(), 2, kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(atGuest.count(), 2, kWaitMs);
        for (Transcript* t : {&atHost, &atGuest}) {
            QStringList senders{t->sender(0), t->sender(1)};
            senders.sort();
            QCOMPARE(senders, QStringList({QString::fromUtf8("Zoë 😀"), QStringLiteral("b\x01ob")}));
            QCOMPARE(t->text(0), text);
            QCOMPARE(t->text(1), text);
        }
    }

    void lineLengthIsBounded()
    {
        const QString dir = freshDirectory();
        auto host = enter("host", dir, State::Hosting);
        auto guest = enter("guest", dir, State::Joined);
        Transcript atHost(host.get());

        // The longest line of one-byte characters the guest can say.
        qsizetype low = 0, high = kLocalRoomMaxFrame + 1;
        while (high - low > 1) {
            const qsizetype mid = (low + high) / 2;
            (guest->fitsOneLine(QString(mid, 'a')) ? low : high) = mid;
        }
        QVERIFY(low > kLocalRoomMaxFrame - 200);

        // It really goes through the host and comes out whole.
        QVERIFY(guest->SendRoomLine(QString(low, 'a')));
        QTRY_COMPARE_WITH_TIMEOUT(atHost.count(), 1, kWaitMs);
        QCOMPARE(atHost.text(0).size(), low);
        QVERIFY(settle(guest.get()));
        QCOMPARE(guest->state(), State::Joined);

        // One byte more is refused outright, as is a shorter line of wider
        // characters that takes more bytes.
        for (const QString& tooLong : {QString(low + 1, 'a'), QString(low / 2 + 1, QChar(u'ß'))}) {
            QVERIFY(!guest->fitsOneLine(tooLong));
            QVERIFY(!guest->SendRoomLine(tooLong));
            QVERIFY(guest->errorString().contains("too long"));
            QCOMPARE(guest->unconfirmedLines(), 0);
        }

        // Half of a surrogate pair cannot be carried as text.
        const QString broken = QStringLiteral("ok ") + QChar(0xd800) + QStringLiteral(" not");
        QVERIFY(!guest->SendRoomLine(broken));
        QVERIFY(guest->errorString().contains("broken character"));
    }

    void orderlyHostExitLosesNothing()
    {
        const QString dir = freshDirectory();
        auto ann = enter("ann", dir, State::Hosting);
        auto bob = enter("bob", dir, State::Joined);
        auto cay = enter("cay", dir, State::Joined);
        QTRY_COMPARE_WITH_TIMEOUT(ann->joinedCopies(), 2, kWaitMs);
        Transcript atBob(bob.get()), atCay(cay.get());

        // Bob's line is on its way to Ann when Ann closes, and Ann's last
        // line has not left her yet.
        QVERIFY(bob->SendRoomLine("bob before"));
        QVERIFY(ann->SendRoomLine("last words"));
        ann.reset();

        QVERIFY(QTest::qWaitFor(
            [&] {
                return (bob->state() == State::Hosting && cay->state() == State::Joined) ||
                       (bob->state() == State::Joined && cay->state() == State::Hosting);
            },
            kWaitMs));
        QVERIFY(cay->SendRoomLine("cay after"));
        for (Transcript* t : {&atBob, &atCay}) {
            QTRY_COMPARE_WITH_TIMEOUT(t->countOf("cay after"), 1, kWaitMs);
            QCOMPARE(t->countOf("last words"), 1);
            QCOMPARE(t->countOf("bob before"), 1);
            QCOMPARE(t->count(), 3);
        }
        QCOMPARE(atBob.lines(), atCay.lines());
    }

    // A copy that joins late starts with the lines said from then on, also
    // once the host has changed and the room is told what each copy has seen.
    void lateCopyDoesNotHearEarlierLinesAfterTheHostChanges()
    {
        const QString dir = freshDirectory();
        auto ann = enter("ann", dir, State::Hosting);
        auto bob = enter("bob", dir, State::Joined);
        QVERIFY(ann->SendRoomLine("ann before cay"));
        QVERIFY(bob->SendRoomLine("bob before cay"));
        QVERIFY(settle(ann.get()) && settle(bob.get()));

        auto cay = enter("cay", dir, State::Joined);
        Transcript atCay(cay.get());
        QTRY_COMPARE_WITH_TIMEOUT(ann->joinedCopies(), 2, kWaitMs);
        ann.reset();
        QVERIFY(QTest::qWaitFor(
            [&] {
                return (bob->state() == State::Hosting && cay->state() == State::Joined) ||
                       (bob->state() == State::Joined && cay->state() == State::Hosting);
            },
            kWaitMs));
        // Said after the room has re-formed: earlier lines would be in first.
        QVERIFY(bob->SendRoomLine("bob after"));
        QTRY_COMPARE_WITH_TIMEOUT(atCay.countOf("bob after"), 1, kWaitMs);
        QCOMPARE(atCay.lines(), QStringList{"bob: bob after"});
    }

    void lineSaidWhileReformingArrivesOnce()
    {
        const QString dir = freshDirectory();
        auto ann = enter("ann", dir, State::Hosting);
        auto bob = enter("bob", dir, State::Joined);
        auto cay = enter("cay", dir, State::Joined);
        QTRY_COMPARE_WITH_TIMEOUT(ann->joinedCopies(), 2, kWaitMs);
        Transcript atBob(bob.get()), atCay(cay.get());
        QSignalSpy bobStatus(bob.get(), &ChatRoomControl::statusChanged);
        QSignalSpy bobReady(bob.get(), &ChatRoomControl::roomReady);
        QSignalSpy bobTrouble(bob.get(), &ChatRoomControl::roomTrouble);

        ann.reset();
        // Said before Bob has noticed, and again while the room re-forms.
        QVERIFY(bob->SendRoomLine("gap 1"));
        QVERIFY(QTest::qWaitFor([&] { return bob->state() != State::Joined; }, kWaitMs));
        QVERIFY(bob->SendRoomLine("gap 2"));
        QVERIFY(cay->SendRoomLine("cay in the gap"));

        for (Transcript* t : {&atBob, &atCay}) {
            QTRY_COMPARE_WITH_TIMEOUT(t->count(), 3, kWaitMs);
            QCOMPARE(t->countOf("gap 1"), 1);
            QCOMPARE(t->countOf("gap 2"), 1);
            QCOMPARE(t->countOf("cay in the gap"), 1);
            QVERIFY(t->lines().indexOf("bob: gap 1") < t->lines().indexOf("bob: gap 2"));
        }
        QVERIFY(settle(bob.get()) && settle(cay.get()));
        QCOMPARE(atBob.lines(), atCay.lines());
        bool toldReforming = false;
        for (const QList<QVariant>& args : bobStatus)
            toldReforming |= args.at(0).toString().startsWith("re-forming the local room");
        QVERIFY(toldReforming);
        // A room that re-forms on its own is no trouble to the user; it is
        // ready again once Bob hosts or has joined the new host.
        QCOMPARE(bobTrouble.size(), 0);
        QCOMPARE(bobReady.size(), 1);
    }

    void roguesAreDroppedAndOthersGoOn()
    {
        const QString dir = freshDirectory();
        auto ann = enter("ann", dir, State::Hosting);
        auto bob = enter("bob", dir, State::Joined);
        QTRY_COMPARE_WITH_TIMEOUT(ann->joinedCopies(), 1, kWaitMs);
        Transcript atAnn(ann.get()), atBob(bob.get());

        const QByteArray cbor = QCborValue(QCborArray{1, 2}).toCbor();
        const QByteArray hello = frameLocalRoomMessage(helloFrom(QByteArray(16, 'r')));
        const QList<QByteArray> garbage = {
            lengthPrefix(0xffffffffu),                                   // oversized
            lengthPrefix(kLocalRoomMaxFrame + 1) + QByteArray(64, 'x'),  // oversized
            lengthPrefix(0),                                             // empty
            lengthPrefix(6) + QByteArray("\xff\x00\x13\x37\x00\x01", 6), // not CBOR
            lengthPrefix(quint32(cbor.size())) + cbor,                   // not a message
            // A copy says hello first, and once; only the host relays and welcomes.
            frameLocalRoomMessage(sampleMessage(LocalRoomMessage::Kind::Say, "too early")),
            hello + hello,
            hello + frameLocalRoomMessage(sampleMessage(LocalRoomMessage::Kind::Line, "forged")),
            hello + frameLocalRoomMessage(sampleMessage(LocalRoomMessage::Kind::Welcome, {})),
        };
        std::vector<std::unique_ptr<QLocalSocket>> rogues;
        for (const QByteArray& bytes : garbage) {
            rogues.push_back(std::make_unique<QLocalSocket>());
            rogues.back()->connectToServer(ann->socketPath());
            QVERIFY(rogues.back()->waitForConnected(kWaitMs));
            rogues.back()->write(bytes);
            rogues.back()->flush();
        }
        // One that stops in the middle of a frame harms nobody either.
        QLocalSocket stalled;
        stalled.connectToServer(ann->socketPath());
        QVERIFY(stalled.waitForConnected(kWaitMs));
        stalled.write(hello + lengthPrefix(100) + QByteArray(10, 'x'));
        stalled.flush();
        // A plain program speaking the protocol is a copy like any other.
        QLocalSocket plain;
        plain.connectToServer(ann->socketPath());
        QVERIFY(plain.waitForConnected(kWaitMs));
        LocalRoomMessage plainSay = sampleMessage(LocalRoomMessage::Kind::Say, "hand made");
        plain.write(frameLocalRoomMessage(helloFrom(plainSay.origin)) +
                    frameLocalRoomMessage(plainSay));
        plain.flush();
        QTRY_COMPARE_WITH_TIMEOUT(atAnn.countOf("hand made"), 1, kWaitMs);

        for (auto& rogue : rogues)
            QTRY_COMPARE_WITH_TIMEOUT(rogue->state(), QLocalSocket::UnconnectedState, kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(ann->joinedCopies(), 3, kWaitMs); // bob, stalled, plain
        QCOMPARE(stalled.state(), QLocalSocket::ConnectedState);
        QCOMPARE(atAnn.countOf("forged"), 0);
        QCOMPARE(atAnn.countOf("too early"), 0);

        QVERIFY(bob->SendRoomLine("still here"));
        QVERIFY(ann->SendRoomLine("me too"));
        QTRY_COMPARE_WITH_TIMEOUT(atBob.count(), 3, kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(atAnn.count(), 3, kWaitMs);
        QCOMPARE(atAnn.lines(), atBob.lines());
        QVERIFY(atAnn.lines().contains(QString::fromUtf8("Zoë: hand made")));

        // The plain client was welcomed and got the room's lines.
        MessageStream fromAnn(&plain);
        QVERIFY(fromAnn.waitFor(4));
        QCOMPARE(fromAnn.messages[0].kind, LocalRoomMessage::Kind::Welcome);
        QStringList texts;
        for (qsizetype i = 1; i < 4; ++i) {
            QCOMPARE(fromAnn.messages[i].kind, LocalRoomMessage::Kind::Line);
            texts << fromAnn.messages[i].text;
        }
        QStringList inRoomOrder;
        for (qsizetype i = 0; i < atAnn.count(); ++i)
            inRoomOrder << atAnn.text(i);
        QCOMPARE(texts, inRoomOrder);
    }

    void copyLeavesAHostThatMisbehaves()
    {
        // The test takes the host's place: it holds the lock and listens.
        const QString dir = freshDirectory();
        QString error;
        QVERIFY2(preparePrivateDirectory(dir, &error), qPrintable(error));
        RoomLock lock(dir + QStringLiteral("/room-test.lock"));
        QVERIFY(lock.tryLock(&error));
        QLocalServer server;
        QVERIFY(server.listen(dir + QStringLiteral("/room-test.sock")));

        auto copy = std::make_unique<LocalRoom>("ann", "test", dir);
        copy->StartRoomScan();
        Transcript atCopy(copy.get());
        QSignalSpy status(copy.get(), &ChatRoomControl::statusChanged);
        QSignalSpy trouble(copy.get(), &ChatRoomControl::roomTrouble);
        QVERIFY(copy->SendRoomLine("queued before joining"));
        QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), kWaitMs);
        QLocalSocket* link = server.nextPendingConnection();
        const QByteArray welcome =
            frameLocalRoomMessage(sampleMessage(LocalRoomMessage::Kind::Welcome, {}));

        // Connected is not yet in: the copy introduces itself as new and
        // waits for the host's welcome.
        MessageStream fromCopy(link);
        QVERIFY(fromCopy.waitFor(1));
        QCOMPARE(fromCopy.messages[0].kind, LocalRoomMessage::Kind::Hello);
        QVERIFY(fromCopy.messages[0].fresh);
        const QByteArray origin = fromCopy.messages[0].origin;
        QTest::qWait(50);
        QCOMPARE(copy->state(), State::Looking);
        QCOMPARE(fromCopy.messages.size(), 1);
        link->write(welcome);
        QTRY_COMPARE_WITH_TIMEOUT(copy->state(), State::Joined, kWaitMs);

        // The queued line arrives as a "say" with the copy's numbering.
        QVERIFY(fromCopy.waitFor(2));
        const LocalRoomMessage said = fromCopy.messages[1];
        QCOMPARE(said.kind, LocalRoomMessage::Kind::Say);
        QCOMPARE(said.origin, origin);
        QCOMPARE(said.number, 1);
        QCOMPARE(said.nick, QStringLiteral("ann"));
        QCOMPARE(said.text, QStringLiteral("queued before joining"));

        // Relayed back (twice): reported once, and no longer kept for resending.
        LocalRoomMessage relayed = said;
        relayed.kind = LocalRoomMessage::Kind::Line;
        LocalRoomMessage other = sampleMessage(LocalRoomMessage::Kind::Line, "from zoë");
        link->write(frameLocalRoomMessage(relayed) + frameLocalRoomMessage(relayed) +
                    frameLocalRoomMessage(other));
        QTRY_COMPARE_WITH_TIMEOUT(atCopy.count(), 2, kWaitMs);
        QCOMPARE(copy->unconfirmedLines(), 0);
        // A later line marks that the doubled one would have shown by now.
        LocalRoomMessage later = other;
        later.number = other.number + 1;
        later.text = QStringLiteral("later");
        link->write(frameLocalRoomMessage(later));
        QTRY_COMPARE_WITH_TIMEOUT(atCopy.count(), 3, kWaitMs);
        QCOMPARE(atCopy.lines(),
                 QStringList({"ann: queued before joining", QString::fromUtf8("Zoë: from zoë"),
                              QString::fromUtf8("Zoë: later")}));

        // A host that talks nonsense is left, and the copy comes back,
        // saying what it has seen, and offering the lines it remembers.
        link->write(lengthPrefix(3) + QByteArray("\xff\xff\xff", 3));
        QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), kWaitMs);
        QLocalSocket* again = server.nextPendingConnection();
        MessageStream fromReturning(again);
        QVERIFY(fromReturning.waitFor(1));
        const LocalRoomMessage hello = fromReturning.messages[0];
        QCOMPARE(hello.kind, LocalRoomMessage::Kind::Hello);
        QCOMPARE(hello.origin, origin);
        QVERIFY(!hello.fresh);
        QCOMPARE(hello.seen.value(origin), 1);
        QCOMPARE(hello.seen.value(other.origin), later.number);
        // This host no longer holds three lines the copy missed: its user
        // hears so, once. (Its own count of Zoë's lines shows three unseen.)
        LocalRoomMessage missing;
        missing.kind = LocalRoomMessage::Kind::Welcome;
        missing.missed = 3;
        missing.seen.insert(other.origin, later.number + 3);
        again->write(frameLocalRoomMessage(missing));
        QTRY_COMPARE_WITH_TIMEOUT(copy->state(), State::Joined, kWaitMs);
        QCOMPARE(trouble.size(), 1);
        QVERIFY2(trouble.at(0).at(0).toString().startsWith("3 line(s) of the local room"),
                 qPrintable(trouble.at(0).at(0).toString()));
        // It offers every line it remembers, its own too, in room order: the
        // new host may have missed any of them.
        QVERIFY(fromReturning.waitFor(3));
        LocalRoomMessage ownOffer = said;
        LocalRoomMessage offered = other;
        offered.kind = LocalRoomMessage::Kind::Say;
        QCOMPARE(fromReturning.messages[1], ownOffer);
        QCOMPARE(fromReturning.messages[2], offered);
        QVERIFY(fromReturning.waitFor(4));
        LocalRoomMessage laterOffered = later;
        laterOffered.kind = LocalRoomMessage::Kind::Say;
        QCOMPARE(fromReturning.messages[3], laterOffered);

        QTRY_COMPARE_WITH_TIMEOUT(link->state(), QLocalSocket::UnconnectedState, kWaitMs);
        QStringList told;
        for (const QList<QVariant>& args : status)
            told << args.at(0).toString();
        QVERIFY2(told.contains("re-forming the local room \"test\": its host sent a malformed "
                               "message"),
                 qPrintable(told.join(" | ")));
    }
};

QTEST_GUILESS_MAIN(TestLocalRoom)
#include "tst_local_room.moc"
