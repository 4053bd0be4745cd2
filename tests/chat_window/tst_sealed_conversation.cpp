// SPDX-License-Identifier: GPL-3.0-or-later
// The sealed half of a conversation without a window: waiting for the key
// in order, notes for lines that do not open, replays, pieces, names.

#include "sealed_conversation.h"

#include <QSignalSpy>
#include <QTest>

using namespace svw;

namespace {

const QString kPrefix = QStringLiteral("-|?|-");
constexpr qint64 kNow = 1767225600000;

// One member of a group, its key derived before the test looks.
struct Member
{
    explicit Member(const QString& password = QStringLiteral("Key")) : password(password)
    {
        talk.clock = [this] {
            return now;
        };
        talk.showLine = [this](const QString& line) {
            shown.append(line);
        };
        talk.showOldLine = [this](const SealedConversation::RoomLine& line) {
            shown.append("old " + line.sender + ": " + line.text);
        };
        talk.sealedLineOpened = [this] {
            ++opened;
        };
    }

    bool ready()
    {
        talk.prepareKey(password, kPrefix);
        return QTest::qWaitFor([&] { return talk.keyReady(password, kPrefix); }, 20000);
    }

    QStringList say(
        const QString& text, const FitsOneLine& fits = [](const QString&) { return true; })
    {
        const auto sealed = talk.seal(text, password, kPrefix, fits);
        if (!sealed || sealed->error)
            return {};
        return sealed->roomLines;
    }

    bool hear(const QString& sender, const QString& text)
    {
        return talk.takeRoomLine({sender, text, kPrefix, password});
    }

    // What hearing a line showed at once; a line not taken shows as such.
    QStringList shows(const QString& sender, const QString& text)
    {
        const qsizetype before = shown.size();
        if (!hear(sender, text))
            return {QStringLiteral("(not taken)")};
        return shown.mid(before);
    }

    QString password;
    qint64 now = kNow;
    SealedConversation talk;
    QStringList shown;
    int opened = 0;
};

} // namespace

class TestSealedConversation : public QObject
{
    Q_OBJECT

private slots:
    void linesWaitInOrderForTheKey()
    {
        Member alice;
        QVERIFY(alice.ready());
        const QStringList lines = alice.say("first");
        QCOMPARE(lines.size(), 1);

        Member bob; // no key yet: the first sealed line starts deriving it
        QVERIFY(bob.hear("alice", lines[0]));
        QVERIFY(bob.hear("carol", kPrefix + "old cipher")); // waits behind it
        QVERIFY(bob.talk.hasWaitingLines());
        QVERIFY(bob.shown.isEmpty());
        QSignalSpy arrived(&bob.talk, &SealedConversation::keyArrived);
        QVERIFY(arrived.wait(20000));
        QCOMPARE(bob.shown, (QStringList{"alice  :  first", "old carol: -|?|-old cipher"}));
        QCOMPARE(bob.opened, 1);
        QCOMPARE(bob.talk.keys().derivations(), 1);
        // With nothing waiting, a line in the old cipher is not taken.
        QVERIFY(!bob.hear("carol", kPrefix + "old cipher"));
        QVERIFY(!bob.hear("carol", "-=+=-*S1*AAAA")); // another group's prefix
    }

    void notesRepliesAndNames()
    {
        Member alice;
        Member bob;
        Member eve(QStringLiteral("guess"));
        QVERIFY(alice.ready() && bob.ready() && eve.ready());
        alice.talk.setOwnName("alice");
        const QString line = alice.say("hello").value(0);
        QVERIFY(!line.isEmpty());
        QVERIFY(line.startsWith(kPrefix + "*S1*"));
        QVERIFY(!line.contains("hello"));

        QCOMPARE(bob.shows("alice", line), QStringList{"alice  :  hello"});
        QCOMPARE(bob.shows("alice", line), QStringList()); // said again: not shown again
        QCOMPARE(bob.shows("mallory", line), QStringList());
        QCOMPARE(bob.shown, QStringList{"alice  :  hello"});

        // Someone who did not see it before sees who sealed it.
        Member carol;
        QVERIFY(carol.ready());
        QCOMPARE(carol.shows("mallory", line), QStringList{"mallory [sealed by alice]  :  hello"});
        QCOMPARE(carol.shown, QStringList{"mallory [sealed by alice]  :  hello"});

        // Another password, one character altered, a line said too long ago,
        // an empty password: a note or nothing, never text.
        QCOMPARE(eve.shows("alice", line), QStringList{"alice  :  " + kSealedNote});
        QString altered = line;
        altered[20] = altered[20] == u'x' ? u'y' : u'x';
        QCOMPARE(bob.shows("alice", altered), QStringList{"alice  :  " + kSealedNote});
        QCOMPARE(eve.shown, QStringList{"alice  :  " + kSealedNote});
        QCOMPARE(bob.shown.last(), "alice  :  " + kSealedNote);
        QCOMPARE(eve.opened, 0);

        Member late;
        QVERIFY(late.ready());
        late.now = kNow + ReplayGuard::kWindowMs + 1;
        QCOMPARE(late.shows("alice", line), QStringList());
        QVERIFY(late.shown.isEmpty());
        // Said within the window, the same line shows there.
        late.now = kNow + ReplayGuard::kWindowMs;
        QCOMPARE(late.shows("alice", line), QStringList{"alice  :  hello"});

        SealedConversation noPassword;
        QStringList shown;
        noPassword.showLine = [&](const QString& l) {
            shown.append(l);
        };
        QVERIFY(noPassword.takeRoomLine({"alice", line, kPrefix, QString()}));
        QCOMPARE(shown, QStringList{"alice  :  " + kSealedNote});
    }

    void longTextsTravelInPiecesAndShowAsOne()
    {
        Member alice;
        Member bob;
        QVERIFY(alice.ready() && bob.ready());
        // Characters outside the basic plane are never cut in two.
        QString text;
        for (int i = 0; i < 60; ++i)
            text += QStringLiteral(u"w\u00F6rd \U0001F30D ");
        const auto fits = [](const QString& roomLine) {
            return roomLine.toUtf8().size() <= 200;
        };
        const QStringList lines = alice.say(text, fits);
        QVERIFY(lines.size() > 3);
        for (const QString& line : lines)
            QVERIFY(fits(line));

        // Out of order, with another text in between: nothing shows before
        // the last piece is in.
        const QStringList other = alice.say("between");
        QCOMPARE(bob.shows("alice", lines.last()), QStringList());
        QCOMPARE(bob.shows("alice", other[0]), QStringList{"alice  :  between"});
        for (qsizetype i = 0; i + 2 < lines.size(); ++i)
            QCOMPARE(bob.shows("alice", lines[i]), QStringList());
        QCOMPARE(bob.shows("alice", lines[lines.size() - 2]), QStringList{"alice  :  " + text});
        QCOMPARE(bob.shown, (QStringList{"alice  :  between", "alice  :  " + text}));

        const OutgoingPieces pieces = splitSealedText(text, kPrefix, "alice", fits);
        QVERIFY(!pieces.error);
        QCOMPARE(pieces.pieces.join(QString()), text);
        for (const QString& piece : pieces.pieces)
            QVERIFY(!piece.back().isHighSurrogate());

        const OutgoingPieces none =
            splitSealedText("x", kPrefix, "alice", [](const QString&) { return false; });
        QVERIFY(none.error);
        const OutgoingPieces tooMany =
            splitSealedText(QString(300, u'x'), kPrefix, "", [](const QString& roomLine) {
                return roomLine.size() <= sealedRoomLineLength(kPrefix, "", 1);
            });
        QVERIFY(tooMany.error);

        // 255 pieces is the most a text may have: one more is refused at send.
        const auto oneBytePieces = [](const QString& roomLine) {
            return roomLine.size() <= sealedRoomLineLength(kPrefix, "", 1);
        };
        const OutgoingPieces most = splitSealedText(QString(255, u'x'), kPrefix, "", oneBytePieces);
        QVERIFY(!most.error);
        QCOMPARE(most.pieces.size(), 255);
        const OutgoingPieces oneMore =
            splitSealedText(QString(256, u'x'), kPrefix, "", oneBytePieces);
        QVERIFY(oneMore.error);
        QVERIFY2(oneMore.error->contains("255"), qPrintable(*oneMore.error));
        QCOMPARE(oneMore.pieces, QStringList());
        QCOMPARE(alice.say(QString(256, u'x'), oneBytePieces), QStringList());
        // The most pieces arrive, and show, as one text.
        const QStringList all = alice.say(QString(255, u'y'), oneBytePieces);
        QCOMPARE(all.size(), 255);
        bob.shown.clear();
        for (const QString& line : all)
            QVERIFY(bob.hear("alice", line));
        QCOMPARE(bob.shown, QStringList{"alice  :  " + QString(255, u'y')});
    }

    // Each text has an id of its own: the pieces of one that lost a piece
    // on the way never complete the next.
    void nextTextArrivesWholeAfterALostPiece()
    {
        Member alice;
        Member bob;
        QVERIFY(alice.ready() && bob.ready());
        const auto fits = [](const QString& roomLine) {
            return roomLine.size() <= sealedRoomLineLength(kPrefix, "", 4);
        };
        const QStringList first = alice.say("aaaabbbbcccc", fits);
        QCOMPARE(first.size(), 3);
        QCOMPARE(bob.shows("alice", first[1]), QStringList());
        QCOMPARE(bob.shows("alice", first[2]), QStringList()); // the first piece is lost

        const QStringList second = alice.say("ddddeeeeffff", fits);
        QCOMPARE(second.size(), 3);
        QCOMPARE(bob.shows("alice", second[0]), QStringList());
        QCOMPARE(bob.shows("alice", second[1]), QStringList());
        QCOMPARE(bob.shows("alice", second[2]), QStringList{"alice  :  ddddeeeeffff"});
        // A text of another count is not mixed up with the lost one either.
        const QStringList third = alice.say("gggghhhh", fits);
        QCOMPARE(third.size(), 2);
        QCOMPARE(bob.shows("alice", third[0]), QStringList());
        QCOMPARE(bob.shows("alice", third[1]), QStringList{"alice  :  gggghhhh"});
    }
};

QTEST_GUILESS_MAIN(TestSealedConversation)
#include "tst_sealed_conversation.moc"
