// SPDX-License-Identifier: GPL-3.0-or-later
// Sealed lines between whole copies of the program in an IRC channel on
// ngircd, watched by an outside IRC client: the channel carries only the
// prefix, the marker and the seal; a line the outsider says again is not
// shown again; one altered byte or another password gives the note; a long
// text goes out in sealed pieces and shows as one line.

#include "irc_test_server.h"
#include "svw_copy.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace svw::test;
using svw::testing::SvwCopy;
using namespace Qt::StringLiterals;

namespace {

constexpr int kWaitMs = 30000;
const QString kNote = u"[sealed with another password, or altered]"_s;

QByteArray textOf(const QByteArray& privmsg)
{
    return privmsg.mid(privmsg.indexOf(" :") + 2);
}

} // namespace

class TestSealedIrcProgram : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void sealedOverIrc();
    void longTextInSealedPieces();
    void noReplayToACopyThatDidNotHearIt();

private:
    bool joined(const QByteArray& nick, int times = 1);
    std::unique_ptr<SvwCopy> startCopy(const QString& nick, const QString& folder = {});

    std::unique_ptr<IrcTestServer> m_server;
    std::unique_ptr<RawIrcClient> m_outsider;
    std::unique_ptr<SvwCopy> m_alice;
    std::unique_ptr<SvwCopy> m_bob;
    std::unique_ptr<SvwCopy> m_carol;
};

void TestSealedIrcProgram::initTestCase()
{
    QString error;
    m_server = std::make_unique<IrcTestServer>();
    m_server->setFloodPenaltyOff(true);
    QVERIFY2(m_server->start(&error), qPrintable(error));
    m_outsider = std::make_unique<RawIrcClient>();
    QVERIFY(m_outsider->connectAndJoin(m_server->port(), "outsider", "#sealed"));

    const QString room = u"irc://127.0.0.1:%1/#sealed"_s.arg(m_server->port());
    m_alice = std::make_unique<SvwCopy>(room, "alice");
    m_bob = std::make_unique<SvwCopy>(room, "bob");
    m_carol = std::make_unique<SvwCopy>(room, "carol");
    QVERIFY(QTest::qWaitFor(
        [&] {
            int joins = 0;
            for (const QByteArray& line : m_outsider->lines())
                joins += line.contains(" JOIN ") && !line.startsWith(":outsider!");
            return joins == 3;
        },
        kWaitMs));
    for (SvwCopy* copy : {m_alice.get(), m_bob.get(), m_carol.get()}) {
        QVERIFY(copy->started());
        copy->set("pw", copy == m_carol.get() ? "Other" : "Key");
        copy->menu("mnuDE");
        QVERIFY(copy->sync());
    }
    m_alice->menu("mnuSeal");
    QVERIFY(m_alice->sync());
}

void TestSealedIrcProgram::cleanupTestCase()
{
    m_alice.reset();
    m_bob.reset();
    m_carol.reset();
}

void TestSealedIrcProgram::sealedOverIrc()
{
    const QString text = u"Caf\u00E9 \u2713 at noon"_s;
    m_alice->set("txtSend", text);
    m_alice->key("Return");
    const auto line = m_outsider->waitForLine("PRIVMSG #sealed", kWaitMs);
    QVERIFY(line);
    const QByteArray wire = textOf(*line);
    static const QRegularExpression sealed(u"^-\\|\\?\\|-\\*S1\\*[A-Za-z0-9_-]+$"_s);
    QVERIFY2(sealed.match(QString::fromUtf8(wire)).hasMatch(), wire.constData());

    QVERIFY(m_bob->saidContains("alice  :  " + text + "\n", kWaitMs));
    QVERIFY(m_carol->saidContains("alice  :  " + kNote + "\n", kWaitMs));

    // Said again by the outsider, and once with one byte altered.
    m_outsider->send("PRIVMSG #sealed :" + wire);
    QByteArray altered = wire;
    altered[20] = altered[20] == 'Q' ? 'R' : 'Q';
    m_outsider->send("PRIVMSG #sealed :" + altered);
    QVERIFY(m_bob->saidContains("outsider  :  " + kNote + "\n", kWaitMs));
    QCOMPARE(m_bob->said().count(text), 1);
    QVERIFY(!m_bob->said().contains("[sealed by"));
    for (SvwCopy* copy : {m_alice.get(), m_bob.get(), m_carol.get()}) {
        for (const char* file : {"temp", "Got", "message"})
            QVERIFY2(!copy->hasFile(file), file);
        QVERIFY(copy->boxes().isEmpty());
    }
}

void TestSealedIrcProgram::longTextInSealedPieces()
{
    QString text;
    for (int i = 0; text.size() < 1500; ++i)
        text += u"w\u00F6rd%1 "_s.arg(i);
    text = text.trimmed();
    const qsizetype before = m_outsider->lines().size();
    m_alice->set("txtSend", text);
    m_alice->key("Return");
    const bool shown = m_bob->saidContains("alice  :  " + text + "\n", kWaitMs);
    QVERIFY(m_alice->saidContains("alice  :  " + text + "\n", kWaitMs));
    QVERIFY(shown);
    // The server relayed every piece before Bob could show the text: its
    // answer to a PING sent now comes after them.
    m_outsider->send("PING :caught-up");
    QVERIFY(m_outsider->waitForLine("caught-up"));
    int pieces = 0;
    for (const QByteArray& line : m_outsider->lines().mid(before)) {
        if (!line.startsWith(":alice!"))
            continue;
        ++pieces;
        QVERIFY2(line.size() <= 510 && textOf(line).startsWith("-|?|-*S1*"), line.constData());
    }
    QVERIFY(pieces >= 3);
}

bool TestSealedIrcProgram::joined(const QByteArray& nick, int times)
{
    return QTest::qWaitFor(
        [&] {
            int joins = 0;
            for (const QByteArray& line : m_outsider->lines())
                joins += line.startsWith(":" + nick + "!") && line.contains(" JOIN ");
            return joins >= times;
        },
        kWaitMs);
}

std::unique_ptr<SvwCopy> TestSealedIrcProgram::startCopy(const QString& nick, const QString& folder)
{
    const QString room = u"irc://127.0.0.1:%1/#sealed"_s.arg(m_server->port());
    auto copy = std::make_unique<SvwCopy>(room, nick, folder);
    if (!copy->started())
        return nullptr;
    copy->set("pw", "Key");
    copy->menu("mnuDE");
    if (!copy->sync())
        return nullptr;
    return copy;
}

// A raw outsider says a recorded line again to copies that did not hear it:
// one started again, one that came in later, and under the nick of the
// member who said it, once he has left.
void TestSealedIrcProgram::noReplayToACopyThatDidNotHearIt()
{
    QTemporaryDir daveFolder;
    auto dave = startCopy("dave", daveFolder.path());
    QVERIFY(dave && joined("dave"));
    const qsizetype before = m_outsider->lines().size();
    m_alice->set("txtSend", "Gone at six");
    m_alice->key("Return");
    QVERIFY(dave->saidContains("alice  :  Gone at six\n", kWaitMs));
    QByteArray recorded;
    QVERIFY(QTest::qWaitFor(
        [&] {
            for (const QByteArray& line : m_outsider->lines().mid(before)) {
                if (line.startsWith(":alice!") && line.contains(" PRIVMSG "))
                    recorded = textOf(line);
            }
            return !recorded.isEmpty();
        },
        kWaitMs));

    dave.reset();
    dave = startCopy("dave", daveFolder.path());
    QVERIFY(dave && joined("dave", 2));
    auto erin = startCopy("erin");
    QVERIFY(erin && joined("erin"));
    m_outsider->send("PRIVMSG #sealed :" + recorded);
    // A line that does not open, after it, shows that the replay was taken.
    m_outsider->send("PRIVMSG #sealed :-|?|-*S1*AAAA");
    const QString note = "outsider  :  " + kNote + "\n";
    QVERIFY(dave->saidContains(note, kWaitMs));
    QVERIFY(erin->saidContains(note, kWaitMs));
    QVERIFY2(!dave->said().contains("six"), qPrintable(dave->said()));
    static const QRegularExpression aged(
        u"^outsider \\[sealed by alice\\] \\[said \\d+ s ago\\]  :  Gone at six$"_s,
        QRegularExpression::MultilineOption);
    QVERIFY2(aged.match(erin->said()).hasMatch(), qPrintable(erin->said()));

    // Alice leaves; someone takes her nick and says her line again to a copy
    // that came in after that.
    m_alice.reset();
    QVERIFY(QTest::qWaitFor(
        [&] {
            for (const QByteArray& line : m_outsider->lines()) {
                if (line.startsWith(":alice!") && line.contains(" QUIT"))
                    return true;
            }
            return false;
        },
        kWaitMs));
    auto fred = startCopy("fred");
    QVERIFY(fred && joined("fred"));
    RawIrcClient fake;
    QVERIFY(fake.connectAndJoin(m_server->port(), "alice", "#sealed"));
    fake.send("PRIVMSG #sealed :" + recorded);
    fake.send("PRIVMSG #sealed :-|?|-*S1*AAAA");
    QVERIFY(fred->saidContains("alice  :  " + kNote + "\n", kWaitMs));
    static const QRegularExpression agedAlice(u"^alice \\[said \\d+ s ago\\]  :  Gone at six$"_s,
                                              QRegularExpression::MultilineOption);
    QVERIFY2(agedAlice.match(fred->said()).hasMatch(), qPrintable(fred->said()));
    QVERIFY(erin->saidContains("alice  :  " + kNote + "\n", kWaitMs));
    QCOMPARE(erin->said().count("six"), 1); // seen there already
}

QTEST_GUILESS_MAIN(TestSealedIrcProgram)
#include "tst_sealed_irc_program.moc"
