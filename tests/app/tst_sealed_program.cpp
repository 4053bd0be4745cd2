// SPDX-License-Identifier: GPL-3.0-or-later
// Three real copies of the program and a plain room member on one local
// room, with sealing: what one copy seals the other opens, the room carries
// only the prefix, the marker and the seal, a copy with another password
// shows a note, a line said again is not shown again, an altered line shows
// the note, and nothing of it reaches a file.

#include "local_room_peer_process.h"
#include "svw_copy.h"

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

private:
    QTemporaryDir m_runtime;
    std::unique_ptr<LocalRoomPeer> m_outsider;
    std::unique_ptr<SvwCopy> m_alice;
    std::unique_ptr<SvwCopy> m_bob;
    std::unique_ptr<SvwCopy> m_carol;
};

QTEST_GUILESS_MAIN(SealedProgram)
#include "tst_sealed_program.moc"
