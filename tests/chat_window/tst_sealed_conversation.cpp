// SPDX-License-Identifier: GPL-3.0-or-later
// The sealed half of a conversation without a window: waiting for the key
// in order, notes for lines that do not open, replays, pieces, names.

#include "../cipher/raw_seal.h"
#include "sealed_conversation.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <map>

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
        QCOMPARE(late.shows("alice", line),
                 QStringList{"alice  :  [sealed 10 min ago: not shown; said again, "
                             "or the clocks differ]"});

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

    void linesSaidBeforeListeningAreNotNew()
    {
        Member ann;
        Member late;
        QVERIFY(ann.ready() && late.ready());
        ann.talk.setOwnName("ann");
        const QString old = ann.say("I quit").value(0);
        ann.now = kNow - 5 * 60 * 1000;
        const QString older = ann.say("long ago").value(0);
        ann.now = kNow + 5 * 60 * 1000;
        const QString ahead = ann.say("from ahead").value(0);

        // A copy that came in 30 s after the line: its age stands beside it,
        // under any nick, and sealing is not turned on by it alone.
        late.now = kNow + 30000;
        late.talk.startedListening();
        QVERIFY(late.hear("ann", old));
        QVERIFY(late.hear("eve", older));
        QVERIFY(late.hear("eve", ahead));
        QCOMPARE(late.shown,
                 (QStringList{"ann [said 30 s ago]  :  I quit",
                              "eve  :  [sealed 5 min ago: not shown; said again, or the clocks "
                              "differ]",
                              "eve  :  [sealed 4 min ahead of this computer's clock: not shown; "
                              "compare the clocks]"}));
        QCOMPARE(late.opened, 0);

        // A copy that listened before it: the line is new there.
        Member early;
        QVERIFY(early.ready());
        early.talk.startedListening();
        early.now = kNow + 1000;
        QVERIFY(early.hear("ann", old));
        QCOMPARE(early.shown, QStringList{"ann  :  I quit"});
    }

    void aStartedCopyKnowsWhatItShowed()
    {
        QTemporaryDir folder;
        Member ann;
        QVERIFY(ann.ready());
        const QString line = ann.say("once").value(0);
        {
            Member bob;
            bob.talk.setSeenFile(folder.filePath("seen"));
            QVERIFY(bob.ready());
            QVERIFY(bob.hear("ann", line));
            QCOMPARE(bob.shown, QStringList{"ann  :  once"});
        }
        Member again;
        again.talk.setSeenFile(folder.filePath("seen"));
        again.now = kNow + 20000;
        again.talk.startedListening();
        QVERIFY(again.ready());
        QVERIFY(again.hear("eve", line));
        QVERIFY(again.shown.isEmpty());
    }

    void linesWaitForThePasswordAsItIsTyped()
    {
        Member alice;
        QVERIFY(alice.ready());
        const QStringList lines{alice.say("one").value(0), alice.say("two").value(0),
                                alice.say("three").value(0)};
        // Each line arrives as one more character of the password is typed.
        Member bob;
        QSignalSpy arrived(&bob.talk, &SealedConversation::keyArrived);
        const QStringList typed{"K", "Ke", "Key"};
        for (int i = 0; i < 3; ++i)
            QVERIFY(bob.talk.takeRoomLine({"alice", lines[i], kPrefix, typed[i]}));
        QVERIFY(QTest::qWaitFor([&] { return !bob.talk.hasWaitingLines(); }, 20000));
        QCOMPARE(bob.shown, (QStringList{"alice  :  one", "alice  :  two", "alice  :  three"}));
        QCOMPARE(bob.talk.keys().derivations(), 1);
    }

    void unfinishedTextsGiveWayByAge()
    {
        Member alice;
        Member bob;
        QVERIFY(alice.ready() && bob.ready());
        const auto fits = [](const QString& roomLine) {
            return roomLine.size() <= 140;
        };
        const QString text(60, u'x');
        std::map<QString, QStringList> texts;
        const auto start = [&](const QString& sender) {
            texts[sender] = alice.say(text, fits);
            bob.now += 10;
            return texts[sender].size() == 2 && bob.hear(sender, texts[sender][0]);
        };
        // The oldest unfinished text is also the first by name; then the
        // memory fills with texts whose names sort the other way round.
        QVERIFY(start("a"));
        for (int i = 0; i < 255; ++i)
            QVERIFY(start(QStringLiteral("b%1").arg(999 - i)));
        // The piece that completes a text never evicts it.
        QVERIFY(bob.hear("a", texts["a"][1]));
        QCOMPARE(bob.shown, QStringList{"a  :  " + text});

        // Two new texts in a full memory: the oldest go (b999 and b998), not
        // the ones that sort first (b745, b746).
        QVERIFY(start("c"));
        QVERIFY(start("d"));
        bob.shown.clear();
        QVERIFY(bob.hear("b745", texts["b745"][1]));
        QVERIFY(bob.hear("b746", texts["b746"][1]));
        QVERIFY(bob.hear("b999", texts["b999"][1]));
        QCOMPARE(bob.shown, (QStringList{"b745  :  " + text, "b746  :  " + text}));
    }

    void refusedAndUnknownTexts()
    {
        Member alice;
        Member bob;
        QVERIFY(alice.ready() && bob.ready());
        // The count of pieces travels in one byte: 256 pieces are refused at
        // send, 255 go.
        const auto fitsOne = [](const QString& roomLine) {
            return roomLine.size() <= sealedRoomLineLength(kPrefix, QString(), 1);
        };
        const auto tooMany = alice.talk.seal(QString(256, u'x'), "Key", kPrefix, fitsOne);
        QVERIFY(tooMany && tooMany->error && tooMany->roomLines.isEmpty());
        const auto most = alice.talk.seal(QString(255, u'x'), "Key", kPrefix, fitsOne);
        QVERIFY(most && !most->error);
        QCOMPARE(most->roomLines.size(), 255);

        // Authentic, from a newer version: told as such, not as altered.
        const auto key = deriveSealKey("Key", kPrefix);
        QVERIFY(bob.hear("ann", svw::testing::rawSeal(*key, kPrefix, 2, "new")));
        QCOMPARE(bob.shown, QStringList{"ann  :  " + kNewerVersionNote});
        QCOMPARE(bob.opened, 0);
    }
};

QTEST_GUILESS_MAIN(TestSealedConversation)
#include "tst_sealed_conversation.moc"
