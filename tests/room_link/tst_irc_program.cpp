// SPDX-License-Identifier: GPL-3.0-or-later
// Two whole copies of the program in an IRC channel over TLS, as a person
// would use them (SVW_ROOM=ircs://..., SVW_IRC_CAFILE for the test's own
// certificate), watched by an outside IRC client: the channel carries
// exactly the prefix and the cipher text, the outsider's own enciphered
// lines are read by the copies byte for byte, long texts arrive in pieces,
// and a server restart loses nothing.

#include "ansi_code.h"
#include "irc_test_server.h"
#include "svw_copy.h"

#include <QTest>

using namespace svw;
using namespace svw::test;
using svw::testing::SvwCopy;
using namespace Qt::StringLiterals;

namespace {

constexpr int kWaitMs = 30000;

// The cipher on Windows-1252 codes: each code plus the key's code at the
// same place, the key starting again when used up.
QByteArray enciphered(const QByteArray& plain, const QByteArray& key)
{
    QByteArray out;
    for (qsizetype i = 0; i < plain.size(); ++i)
        out.append(char(quint8(plain[i]) + quint8(key[i % key.size()])));
    return out;
}

// A room line as it travels on IRC: the prefix and the cipher characters,
// in UTF-8.
QByteArray roomLineOnWire(const QByteArray& plainAnsi, const QByteArray& key)
{
    return "-|?|-" + fromAnsiBytes(enciphered(plainAnsi, key)).toUtf8();
}

} // namespace

class TestIrcProgram : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void copiesTalkOverTls();
    void outsiderLinesAreDecipheredByteForByte();
    void longTextArrivesInPieces();
    void serverRestartLosesNothing();

private:
    bool sayFromAlice(const QString& text);

    QTemporaryDir m_dir;
    std::unique_ptr<IrcTestServer> m_server;
    std::unique_ptr<RawIrcClient> m_outsider;
    std::unique_ptr<SvwCopy> m_alice;
    std::unique_ptr<SvwCopy> m_bob;
};

void TestIrcProgram::initTestCase()
{
    QString error;
    const auto tls = makeSelfSignedCertificate(m_dir.path(), "e2e", "IP:127.0.0.1", &error);
    QVERIFY2(tls, qPrintable(error));
    m_server = std::make_unique<IrcTestServer>();
    m_server->enableTls(*tls);
    QVERIFY2(m_server->start(&error), qPrintable(error));

    m_outsider = std::make_unique<RawIrcClient>();
    QVERIFY(m_outsider->connectAndJoin(m_server->port(), "outsider", "#e2e"));

    // The copies inherit this environment.
    qputenv("SVW_IRC_CAFILE", QFile::encodeName(tls->certFile));
    const QString room = u"ircs://127.0.0.1:%1/#e2e"_s.arg(m_server->tlsPort());
    m_alice = std::make_unique<SvwCopy>(room, "alice");
    m_bob = std::make_unique<SvwCopy>(room, "bob");
    QVERIFY(m_alice->started());
    QVERIFY(m_bob->started());
    // Both joined, in whichever order.
    QVERIFY(QTest::qWaitFor(
        [&] {
            int joins = 0;
            for (const QByteArray& line : m_outsider->lines())
                joins += line.contains(" JOIN ") &&
                         (line.startsWith(":alice!") || line.startsWith(":bob!"));
            return joins == 2;
        },
        kWaitMs));
    for (SvwCopy* copy : {m_alice.get(), m_bob.get()}) {
        copy->set("pw", "Key");
        copy->menu("mnuDE");
        QVERIFY(copy->sync());
    }
}

void TestIrcProgram::cleanupTestCase()
{
    m_alice.reset();
    m_bob.reset();
    qunsetenv("SVW_IRC_CAFILE");
}

bool TestIrcProgram::sayFromAlice(const QString& text)
{
    m_alice->set("txtSend", text);
    m_alice->key("Return");
    return m_alice->sync();
}

void TestIrcProgram::copiesTalkOverTls()
{
    const QByteArray plain = "\xA1Meet at noon, 3 o'clock!";
    QVERIFY(sayFromAlice(QString::fromLatin1(plain)));
    const auto line = m_outsider->waitForLine("PRIVMSG #e2e", kWaitMs);
    QVERIFY(line);
    QVERIFY2(line->startsWith(":alice!"), line->constData());
    QCOMPARE(line->mid(line->indexOf(" :") + 2), roomLineOnWire(plain, "Key"));

    QVERIFY(m_bob->saidContains(u"alice  :  "_s + QString::fromLatin1(plain) + "\n", kWaitMs));
    // Alice's own line comes back to her once.
    QVERIFY(m_alice->saidContains(u"alice  :  "_s + QString::fromLatin1(plain), kWaitMs));
    m_bob->set("txtSend", "Noon it is.");
    m_bob->key("Return");
    QVERIFY(m_alice->saidContains("bob  :  Noon it is.\n", kWaitMs));
    // Bob's line came after everything of Alice's on both connections: a
    // doubled line of hers would show before it.
    QVERIFY(m_bob->saidContains("bob  :  Noon it is.\n", kWaitMs));
    QCOMPARE(m_alice->said().count("alice  :  "), 1);
    QCOMPARE(m_bob->said().count("alice  :  "), 1);
}

void TestIrcProgram::outsiderLinesAreDecipheredByteForByte()
{
    // UTF-8, as today's clients send it, and raw Windows-1252 bytes, as
    // older ones do: both are read the same.
    // Every code plus the key's stays within 255, so all of it deciphers.
    const QByteArray plain = "\x80 caf\x85";
    m_outsider->send("PRIVMSG #e2e :" + roomLineOnWire(plain, "Key"));
    QVERIFY(m_bob->saidContains(u"outsider  :  "_s + fromAnsiBytes(plain) + "\n", kWaitMs));
    QCOMPARE(m_bob->bytes("message"), "\"SVW Message\"\r\n" + plain);

    const QByteArray second = "old client";
    m_outsider->send("PRIVMSG #e2e :-|?|-" + enciphered(second, "Key"));
    QVERIFY(m_alice->saidContains("outsider  :  old client\n", kWaitMs));
    QCOMPARE(m_alice->bytes("message"), "\"SVW Message\"\r\n" + second);
}

void TestIrcProgram::longTextArrivesInPieces()
{
    // Far more than one IRC line holds: the window sends it in pieces, each
    // enciphered from the key's start, each shown as its own line.
    QString text;
    for (int i = 0; text.size() < 900; ++i)
        text += u"word%1 "_s.arg(i);
    text = text.trimmed();
    m_bob->command("click", "cmdClear");
    QVERIFY(m_bob->sync());
    QVERIFY(sayFromAlice(text));
    QVERIFY(m_bob->waitFor(
        [&] {
            QString joined;
            for (const QString& shown : m_bob->said().split(u'\n')) {
                if (shown.startsWith("alice  :  "))
                    joined += shown.mid(10);
            }
            return joined == text;
        },
        kWaitMs));
    QVERIFY(m_bob->said().count("alice  :  ") >= 2);
    for (const QByteArray& line : m_outsider->lines()) {
        if (line.startsWith(":alice!"))
            QVERIFY2(line.size() <= 510 && !line.endsWith("[CUT]"), line.constData());
    }
}

void TestIrcProgram::serverRestartLosesNothing()
{
    m_server->kill();
    QTest::qWait(300);
    QVERIFY(sayFromAlice("said while the server was down"));
    QVERIFY(sayFromAlice("and a second line"));
    QString error;
    QVERIFY2(m_server->start(&error), qPrintable(error));
    QVERIFY(m_bob->saidContains("alice  :  said while the server was down\n", 90000));
    QVERIFY(m_bob->saidContains("alice  :  and a second line\n", kWaitMs));
    const QString said = m_bob->said();
    QVERIFY(said.indexOf("said while the server was down") < said.indexOf("and a second line"));
    QVERIFY(m_alice->saidContains("alice  :  and a second line\n", kWaitMs));
    // A restart the copies got over in time does not interrupt their users.
    QVERIFY(m_alice->boxes().isEmpty());
    QVERIFY(m_bob->boxes().isEmpty());
}

QTEST_GUILESS_MAIN(TestIrcProgram)
#include "tst_irc_program.moc"
