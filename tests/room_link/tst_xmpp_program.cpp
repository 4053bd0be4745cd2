// SPDX-License-Identifier: GPL-3.0-or-later
// Whole copies of the program in an XMPP group chat on prosody, watched by a
// raw XMPP member: the old cipher and sealed lines both pass, and the room
// carries only the prefix and the cipher text.

#include "svw_copy.h"
#include "xmpp_test_server.h"

#include <QRegularExpression>
#include <QTest>

using namespace svw::test;
using svw::testing::SvwCopy;
using namespace Qt::StringLiterals;

namespace {

constexpr int kWaitMs = 30000;
const QString kNote = u"[sealed with another password, or altered]"_s;
const QString kRoom = u"secret@conference.localhost"_s;
constexpr int kStanzaLimit = 10000; // advertised, and enforced by ending the connection

// The body of the newest groupchat message from `nick` the member received.
QString lastBodyFrom(const RawXmppClient& member, const QString& nick)
{
    static const QRegularExpression body(u"<body>(.*)</body>"_s);
    const QStringList stanzas = member.received();
    for (qsizetype i = stanzas.size() - 1; i >= 0; --i) {
        if (stanzas.at(i).startsWith(u"<message"_s) &&
            stanzas.at(i).contains(u"from=\"%1/%2\""_s.arg(kRoom, nick)))
            return body.match(stanzas.at(i)).captured(1);
    }
    return QString();
}

} // namespace

class TestXmppProgram : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void oldCipherAndSealedLines();
    void longTextIsCutToTheServersLimit();

private:
    std::unique_ptr<XmppTestServer> m_server;
    std::unique_ptr<RawXmppClient> m_member;
    std::unique_ptr<SvwCopy> m_alice;
    std::unique_ptr<SvwCopy> m_bob;
    std::unique_ptr<SvwCopy> m_carol;
};

void TestXmppProgram::initTestCase()
{
    QString error;
    m_server = std::make_unique<XmppTestServer>();
    m_server->limitStanzas(kStanzaLimit);
    QVERIFY2(m_server->start(&error), qPrintable(error));
    for (const QString& user : {u"alice"_s, u"bob"_s, u"carol"_s, u"raw"_s})
        QVERIFY2(m_server->addAccount(user, u"pw-"_s + user, &error), qPrintable(error));
    m_member = std::make_unique<RawXmppClient>();
    QVERIFY(m_member->connectTo(*m_server, u"raw"_s));
    QVERIFY(m_member->join(kRoom, u"outsider"_s));

    qputenv("SVW_XMPP_CAFILE", m_server->caFile().toLocal8Bit());
    qputenv("SVW_XMPP_SERVER", "127.0.0.1:" + QByteArray::number(m_server->port()));
    const QString room = u"xmpp:"_s + kRoom + u"?join"_s;
    const auto start = [&](const QString& nick) {
        qputenv("SVW_XMPP_JID", (nick + u"@localhost"_s).toUtf8());
        qputenv("SVW_XMPP_PASSWORD", (u"pw-"_s + nick).toUtf8());
        return std::make_unique<SvwCopy>(room, nick);
    };
    m_alice = start(u"alice"_s);
    m_bob = start(u"bob"_s);
    m_carol = start(u"carol"_s);
    for (const QString& nick : {u"alice"_s, u"bob"_s, u"carol"_s})
        QVERIFY(!m_member->waitFor(u"from=\"%1/%2\""_s.arg(kRoom, nick), kWaitMs).isEmpty());
    for (SvwCopy* copy : {m_alice.get(), m_bob.get(), m_carol.get()}) {
        QVERIFY(copy->started());
        copy->set("pw", copy == m_carol.get() ? "Other" : "Key");
        copy->menu("mnuDE");
        QVERIFY(copy->sync());
    }
}

void TestXmppProgram::cleanupTestCase()
{
    m_alice.reset();
    m_bob.reset();
    m_carol.reset();
    m_member.reset();
    for (const char* name :
         {"SVW_XMPP_CAFILE", "SVW_XMPP_SERVER", "SVW_XMPP_JID", "SVW_XMPP_PASSWORD"})
        qunsetenv(name);
}

void TestXmppProgram::oldCipherAndSealedLines()
{
    const QString plain = u"meet at the old mill"_s;
    m_alice->set("txtSend", plain);
    m_alice->key("Return");
    QVERIFY(m_bob->saidContains("alice  :  " + plain + "\n", kWaitMs));
    QVERIFY(m_alice->saidContains("alice  :  " + plain + "\n", kWaitMs));
    QCOMPARE(m_alice->said().count(plain), 1); // shown once, from the room's reflection
    QVERIFY(QTest::qWaitFor(
        [&] {
            m_member->runFor(5); // the member's own loop
            return !lastBodyFrom(*m_member, u"alice"_s).isEmpty();
        },
        kWaitMs));
    const QString oldWire = lastBodyFrom(*m_member, u"alice"_s);
    QVERIFY2(oldWire.startsWith(u"-|?|-"_s) && !oldWire.contains(u"mill"_s), qPrintable(oldWire));

    m_alice->menu("mnuSeal");
    QVERIFY(m_alice->sync());
    const QString text = u"Caf\u00E9 \u2713 at noon"_s;
    const qsizetype before = m_member->received().size();
    m_alice->set("txtSend", text);
    m_alice->key("Return");
    QVERIFY(m_bob->saidContains("alice  :  " + text + "\n", kWaitMs));
    QVERIFY(m_carol->saidContains("alice  :  " + kNote + "\n", kWaitMs));
    QVERIFY(QTest::qWaitFor(
        [&] {
            m_member->runFor(5); // the member's own loop
            return m_member->received().size() > before &&
                   lastBodyFrom(*m_member, u"alice"_s) != oldWire;
        },
        kWaitMs));
    static const QRegularExpression sealed(u"^-\\|\\?\\|-\\*S1\\*[A-Za-z0-9_-]+$"_s);
    const QString wire = lastBodyFrom(*m_member, u"alice"_s);
    QVERIFY2(sealed.match(wire).hasMatch(), qPrintable(wire));
}

void TestXmppProgram::longTextIsCutToTheServersLimit()
{
    // Sealed (as the copy now is) or not, one message would be larger than
    // the server takes.
    QString text;
    for (int i = 0; text.size() < 12000; ++i)
        text += u"w%1 "_s.arg(i, 5, 10, QChar(u'0'));
    text = text.trimmed();
    const qsizetype before = m_member->received().size();
    m_alice->set("txtSend", text);
    m_alice->key("Return");
    // Typed a key at a time, which takes long on a busy machine: the wait
    // for the room starts once the copy has said it.
    m_alice->command("sync", "long");
    QVERIFY(m_alice->waitFor([&] { return !m_alice->reported("ok long").isEmpty(); }, 200'000));
    QVERIFY(QTest::qWaitFor(
        [&] {
            m_member->runFor(5);
            QString joined = m_bob->said();
            joined.remove(u"alice  :  "_s).remove(u'\n');
            return joined.contains(text);
        },
        kWaitMs));
    // Said in pieces that each fit, on the connection the copy had.
    m_member->runFor(5);
    const QStringList after = m_member->received().mid(before);
    const QStringList pieces = after.filter(u"from=\"%1/alice\""_s.arg(kRoom)).filter(u"<body>"_s);
    QVERIFY2(pieces.size() >= 2, qPrintable(QString::number(pieces.size())));
    for (const QString& piece : pieces)
        QVERIFY(piece.toUtf8().size() < kStanzaLimit + 200); // the room adds its own address
    QVERIFY(after.filter(u"type=\"unavailable\""_s).isEmpty());
    QCOMPARE(m_alice->boxes(), QStringList());
}

QTEST_GUILESS_MAIN(TestXmppProgram)
#include "tst_xmpp_program.moc"
