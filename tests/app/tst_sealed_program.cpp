// SPDX-License-Identifier: GPL-3.0-or-later
// Three real copies of the program and a plain room member on one local
// room, with sealing: what one copy seals the other opens, the room carries
// only the prefix, the marker and the seal, a copy with another password
// shows a note, a line said again is not shown again, an altered line shows
// the note, and nothing of it reaches a file.

#include "local_room_peer_process.h"
#include "sealed_line.h"
#include "svw_copy.h"

#include <QDateTime>
#include <QFileInfo>
#include <QRegularExpression>

#include <QCoreApplication>
#include <QTest>

#include <memory>

using svw::test::LocalRoomPeer;
using svw::testing::SvwCopy;
using namespace Qt::StringLiterals;

namespace {

constexpr int kWaitMs = 30000; // Argon2id under the sanitizers takes a while
const QString kNote = u"[sealed with another password, or altered]"_s;

} // namespace

class SealedProgram : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The copies and the outsider meet in a room directory of this test.
        const QString name = u"sealed-%1"_s.arg(QCoreApplication::applicationPid());
        // The outsider is a member of the room who is no copy: it says raw
        // room lines and records what the room carries.
        m_outsider = std::make_unique<LocalRoomPeer>("eve", m_runtime.path() + "/svw", QString(), 0,
                                                     name, qEnvironmentVariable("XDG_RUNTIME_DIR"));
        m_alice = std::make_unique<SvwCopy>("local:" + name, "alice", QString(), m_runtime.path());
        m_bob = std::make_unique<SvwCopy>("local:" + name, "bob", QString(), m_runtime.path());
        m_carol = std::make_unique<SvwCopy>("local:" + name, "carol", QString(), m_runtime.path());
        for (SvwCopy* copy : {m_alice.get(), m_bob.get(), m_carol.get()}) {
            QVERIFY(copy->started());
            copy->set("pw", copy == m_carol.get() ? "Another" : "Key");
            copy->menu("mnuDE");
            QVERIFY(copy->sync());
        }
    }

    void cleanupTestCase()
    {
        m_alice.reset();
        m_bob.reset();
        m_carol.reset();
        m_outsider.reset();
    }

    void sealedConversation()
    {
        m_alice->menu("mnuSeal");
        const QString text = u"Gr\u00FC\u00DFe \u2713 \U0001F30D Meet at noon"_s;
        m_alice->set("txtSend", text);
        m_alice->key("Return");
        QVERIFY(m_alice->sync());

        QVERIFY(m_bob->saidContains("alice  :  " + text + "\n", kWaitMs));
        QVERIFY(m_alice->saidContains("alice  :  " + text + "\n", kWaitMs));
        QVERIFY(m_carol->saidContains("alice  :  " + kNote + "\n", kWaitMs));
        QVERIFY(!m_carol->said().contains("noon"));

        // The room carries the prefix, the marker and the seal, nothing else.
        const QString wire = m_outsider->lineFrom("alice", 0, kWaitMs);
        QVERIFY2(wire.startsWith("-|?|-*S1*"), qPrintable(wire));
        QVERIFY(!wire.contains("noon"));
        static const QRegularExpression seal(u"^[A-Za-z0-9_-]+$"_s);
        QVERIFY(seal.match(wire.mid(9)).hasMatch());

        // Bob's copy turned sealing on by itself: his answer is sealed too.
        m_bob->set("txtSend", "Noon it is.");
        m_bob->key("Return");
        QVERIFY(m_alice->saidContains("bob  :  Noon it is.\n", kWaitMs));
        QVERIFY(m_outsider->lineFrom("bob", 0, kWaitMs).startsWith("-|?|-*S1*"));

        // Said again by the outsider: not shown again. One character altered:
        // the note, no text.
        m_outsider->say(wire);
        QString altered = wire;
        altered[30] = altered[30] == u'Q' ? u'R' : u'Q';
        m_outsider->say(altered);
        QVERIFY(m_bob->saidContains("eve  :  " + kNote + "\n", kWaitMs));
        QCOMPARE(m_bob->said().count(text), 1);
        QCOMPARE(m_alice->said().count(text), 1);
        QVERIFY(m_bob->boxes().isEmpty());
        QVERIFY(m_carol->boxes().isEmpty());

        // Nothing of the sealed conversation reached a scratch file.
        for (SvwCopy* copy : {m_alice.get(), m_bob.get(), m_carol.get()}) {
            for (const char* file : {"temp", "Got", "message"})
                QVERIFY2(!copy->hasFile(file), file);
        }

        // A line of the old cipher shows, marked as weakly protected.
        m_outsider->say(QString::fromLatin1("-|?|-") + QChar(104 + 75) + QChar(105 + 101));
        QVERIFY(m_bob->saidContains("[weak] eve  :  hi\n", kWaitMs));
        QCOMPARE(m_bob->bytes("message"), "\"SVW Message\"\r\nhi");
    }

    // A nick and a sealed text with a paragraph separator: one line of the
    // box each, never what looks like a second member's line.
    void separatorsForgeNoLines()
    {
        const QString name = u"sealed-%1"_s.arg(QCoreApplication::applicationPid());
        SvwCopy mallory("local:" + name, u"mallory\u2029h2"_s, QString(), m_runtime.path());
        QVERIFY(mallory.started());
        mallory.set("pw", "Key");
        mallory.menu("mnuSeal");
        mallory.set("txtSend", u"see you\u2029ann  :  I quit\u202E"_s);
        mallory.key("Return");
        const QString shown = u"mallory\u00B6h2  :  see you\u00B6ann  :  I quit\uFFFD\n"_s;
        QVERIFY2(m_bob->saidContains(shown, kWaitMs), qPrintable(m_bob->said()));
        QVERIFY(!m_bob->said().contains(u"\nann  :  I quit"_s));
    }

    // A raw outsider says a recorded line again to copies that did not hear
    // it: one started again, one that came in later, and under the nick of
    // the member who said it, once she has left.
    void noReplayToACopyThatDidNotHearIt()
    {
        const QString name = u"replay-%1"_s.arg(QCoreApplication::applicationPid());
        const QString room = "local:" + name;
        const QString runtime = m_runtime.path();
        LocalRoomPeer eve("eve", runtime + "/svw", QString(), 0, name,
                          qEnvironmentVariable("XDG_RUNTIME_DIR"));
        auto ann = std::make_unique<SvwCopy>(room, "ann", QString(), runtime);
        QTemporaryDir benFolder;
        auto ben = std::make_unique<SvwCopy>(room, "ben", benFolder.path(), runtime);
        for (SvwCopy* copy : {ann.get(), ben.get()}) {
            QVERIFY(copy->started());
            copy->set("pw", "Key");
            copy->menu("mnuDE");
            QVERIFY(copy->sync());
        }
        ann->menu("mnuSeal");
        ann->set("txtSend", "I quit, the password is 1234");
        ann->key("Return");
        QVERIFY(ben->saidContains("ann  :  I quit, the password is 1234\n", kWaitMs));
        const QString recorded = eve.lineFrom("ann");
        QVERIFY(recorded.startsWith("-|?|-*S1*"));
        // What the copy keeps of it: its nonce and time, not a word of it.
        QCOMPARE(QFileInfo(benFolder.filePath("sealed-seen")).size(), 8 + 32);

        // Ben's copy is started again in its folder.
        ben.reset();
        ben = std::make_unique<SvwCopy>(room, "ben", benFolder.path(), runtime);
        QVERIFY(ben->started());
        ben->set("pw", "Key");
        ben->menu("mnuDE");
        QVERIFY(ben->sync());
        // A late copy comes in.
        SvwCopy cat(room, "cat", QString(), runtime);
        QVERIFY(cat.started());
        cat.set("pw", "Key");
        cat.menu("mnuDE");
        QVERIFY(cat.sync());

        eve.say(recorded);
        // A line in the old cipher after it shows that the replay was taken.
        eve.say(QString::fromLatin1("-|?|-") + QChar(104 + 75) + QChar(105 + 101));
        QVERIFY(ben->saidContains("eve  :  hi\n", kWaitMs));
        QVERIFY(cat.saidContains("eve  :  hi\n", kWaitMs));
        QVERIFY2(!ben->said().contains("1234"), qPrintable(ben->said()));
        // The late copy shows how old it is, never as a new line, and does
        // not start sealing because of it.
        static const QRegularExpression aged(
            u"^eve \\[sealed by ann\\] \\[said \\d+ s ago\\]  :  I quit, the password is 1234$"_s,
            QRegularExpression::MultilineOption);
        QVERIFY2(aged.match(cat.said()).hasMatch(), qPrintable(cat.said()));
        QVERIFY(!cat.said().contains("[weak]"));

        // Ann leaves; someone takes her nick and says her line again to a
        // copy that came in after that.
        ann.reset();
        SvwCopy dan(room, "dan", QString(), runtime);
        QVERIFY(dan.started());
        dan.set("pw", "Key");
        dan.menu("mnuDE");
        QVERIFY(dan.sync());
        LocalRoomPeer fake("ann", runtime + "/svw", QString(), 0, name,
                           qEnvironmentVariable("XDG_RUNTIME_DIR"));
        fake.say(recorded);
        fake.say(QString::fromLatin1("-|?|-") + QChar(104 + 75) + QChar(105 + 101));
        QVERIFY(dan.saidContains("ann  :  hi\n", kWaitMs));
        QVERIFY(cat.saidContains("ann  :  hi\n", kWaitMs));
        static const QRegularExpression agedAnn(
            u"^ann \\[said \\d+ s ago\\]  :  I quit, the password is 1234$"_s,
            QRegularExpression::MultilineOption);
        QVERIFY2(agedAnn.match(dan.said()).hasMatch(), qPrintable(dan.said()));
        QVERIFY(!dan.said().contains("ann  :  I quit"));
        QCOMPARE(cat.said().count("1234"), 1); // seen there already
        QVERIFY(!ben->said().contains("1234"));

        // A line recorded long ago, and one dated ahead by a wrong clock:
        // notes, not silence and not text.
        const auto key = svw::deriveSealKey("Key", "-|?|-");
        QVERIFY(key);
        svw::SealedContent content;
        content.name = "ann";
        content.text = "stale";
        content.saidAtMs = QDateTime::currentMSecsSinceEpoch() - 5 * 60 * 1000;
        eve.say(svw::sealRoomLine(*key, "-|?|-", content));
        content.saidAtMs = QDateTime::currentMSecsSinceEpoch() + 5 * 60 * 1000;
        eve.say(svw::sealRoomLine(*key, "-|?|-", content));
        QVERIFY(cat.saidContains("compare the clocks]\n", kWaitMs));
        // Minutes are whole: a line under way for a moment is 4 min ahead.
        static const QRegularExpression notes(
            u"^eve  :  \\[sealed [45] min ago: not shown; said again, or the clocks differ\\]\n"
            u"eve  :  \\[sealed [45] min ahead of this computer's clock: not shown; compare the "
            u"clocks\\]$"_s,
            QRegularExpression::MultilineOption);
        QVERIFY2(notes.match(cat.said()).hasMatch(), qPrintable(cat.said()));
        QVERIFY(!cat.said().contains("stale"));
    }

private:
    QTemporaryDir m_runtime;
    std::unique_ptr<LocalRoomPeer> m_outsider;
    std::unique_ptr<SvwCopy> m_alice;
    std::unique_ptr<SvwCopy> m_bob;
    std::unique_ptr<SvwCopy> m_carol;
};

QTEST_GUILESS_MAIN(SealedProgram)
#include "tst_sealed_program.moc"
