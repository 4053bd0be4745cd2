// SPDX-License-Identifier: GPL-3.0-or-later
// Sealed lines between whole copies of the program in an IRC channel on
// ngircd, watched by an outside IRC client: the channel carries only the
// prefix, the marker and the seal; a line the outsider says again is not
// shown again; one altered byte or another password gives the note; a long
// text goes out in sealed pieces and shows as one line.

#include "irc_test_server.h"
#include "svw_copy.h"

#include <QRegularExpression>
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

private:
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

QTEST_GUILESS_MAIN(TestSealedIrcProgram)
#include "tst_sealed_irc_program.moc"
