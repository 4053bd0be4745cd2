// SPDX-License-Identifier: GPL-3.0-or-later
// The IRC room control on the servers people run: TLS with a certificate the
// test makes (trusted through the extra CA list, refused without it or for
// another host name, a plain address of the TLS port), a server password
// refused, two linked ngircd servers with a control on each, and inspircd
// with echo-message.

#include "irc_test_server.h"
#include "scripted_peer.h"

#include <QSslCertificate>
#include <QTcpServer>
#include <QTest>

using namespace svw;
using namespace svw::test;
using namespace Qt::StringLiterals;

class TestIrcServers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void talksOverTls();
    void refusesUntrustedCertificates_data();
    void refusesUntrustedCertificates();
    void plainPortIsNotTakenForTls();
    void plainAddressOfTlsPortGetsHint();
    void silentCloseOfPlainAddressGetsHint();
    void accountWithoutSaslIsToldAndJoins();
    void refusedServerPasswordIsToldOnceNotRetried();
    void talksAcrossLinkedServers();
    void ownLinesComeBackOnceThroughEchoMessage();

private:
    IrcRoomSettings tlsSettings(const QString& host, const QString& nick, bool trustTestCa) const;

    QTemporaryDir m_dir;
    std::optional<TlsFiles> m_tls;
    std::unique_ptr<IrcTestServer> m_tlsServer;
};

void TestIrcServers::initTestCase()
{
    QVERIFY(QSslSocket::supportsSsl());
    QString error;
    // Valid for the address only, so that "localhost" is another host name.
    m_tls = makeSelfSignedCertificate(m_dir.path(), "svw-test", "IP:127.0.0.1", &error);
    QVERIFY2(m_tls, qPrintable(error));
    m_tlsServer = std::make_unique<IrcTestServer>();
    m_tlsServer->enableTls(*m_tls);
    QVERIFY2(m_tlsServer->start(&error), qPrintable(error));
}

IrcRoomSettings TestIrcServers::tlsSettings(const QString& host, const QString& nick,
                                            bool trustTestCa) const
{
    IrcRoomSettings settings = testRoomSettings(m_tlsServer->tlsPort(), nick, "#tls");
    settings.address.tls = true;
    settings.address.host = host;
    if (trustTestCa)
        settings.extraCaCertificates = QSslCertificate::fromPath(m_tls->certFile);
    return settings;
}

void TestIrcServers::talksOverTls()
{
    WatchedRoom secure(tlsSettings("127.0.0.1", "secure", true));
    WatchedRoom plain(testRoomSettings(m_tlsServer->port(), "plain", "#tls"));
    QVERIFY(secure.waitForJoin());
    QVERIFY(plain.waitForJoin());
    QVERIFY(secure->SendRoomLine(u"-|?|-über TLS"_s));
    QVERIFY(plain->SendRoomLine("-|?|-in the clear"));
    QVERIFY(plain.waitForHeardLine(u"secure: -|?|-über TLS"_s));
    QVERIFY(secure.waitForHeardLine("plain: -|?|-in the clear"));
    QVERIFY(secure.waitForHeardLine(u"secure: -|?|-über TLS"_s));
}

void TestIrcServers::refusesUntrustedCertificates_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("trustTestCa");
    QTest::addColumn<QString>("reason");
    QTest::newRow("self-signed, not trusted") << "127.0.0.1" << false << "self-signed";
    QTest::newRow("trusted, other host name") << "localhost" << true << "host name";
}

void TestIrcServers::refusesUntrustedCertificates()
{
    QFETCH(QString, host);
    QFETCH(bool, trustTestCa);
    QFETCH(QString, reason);
    IrcRoomSettings settings = tlsSettings(host, "wary", trustTestCa);
    // Far longer than the test: a refused certificate is told at once, not
    // after an outage has lasted.
    settings.troubleAfterMs = 600'000;
    WatchedRoom room(settings);
    QVERIFY(room->SendRoomLine("never said"));
    QVERIFY(QTest::qWaitFor([&] { return !room.troubles().isEmpty(); }, kServerWaitMs));
    // It does not try again.
    QVERIFY(retryWouldHaveCome());
    QVERIFY(!room->isJoined());
    QCOMPARE(room.joinCount(), 0);
    QCOMPARE(room->unconfirmedLines(), 1);
    QCOMPARE(room->roomState(), RoomState::OutOfReach);
    const auto connecting =
        std::count_if(room.statuses().cbegin(), room.statuses().cend(),
                      [](const QString& s) { return s.startsWith("Connecting"); });
    QCOMPARE(connecting, 1);
    const QString status = room->status();
    QVERIFY2(status.contains("certificate"), qPrintable(status));
    // The user is told once why, what the certificate is, how to trust it,
    // and that the line waits.
    QCOMPARE(room.troubles().size(), 1);
    const QString told = room.troubles().first();
    const QSslCertificate shown = QSslCertificate::fromPath(m_tls->certFile).constFirst();
    const QString fingerprint =
        QString::fromLatin1(shown.digest(QCryptographicHash::Sha256).toHex(':').toUpper());
    QVERIFY2(told.contains(reason, Qt::CaseInsensitive) && told.contains("waits") &&
                 told.contains("SVW_IRC_CAFILE") && told.contains(fingerprint) &&
                 told.contains("subject: svw-test") && told.contains("Issued by: svw-test"),
             qPrintable(told));
    QCOMPARE(room.readyCount(), 0);
}

void TestIrcServers::plainPortIsNotTakenForTls()
{
    IrcRoomSettings settings = tlsSettings("127.0.0.1", "hasty", true);
    settings.address.port = m_tlsServer->port(); // the plain port, with ircs://
    settings.troubleAfterMs = 600'000;
    settings.tlsHandshakeMs = 1000;
    WatchedRoom room(settings);
    QVERIFY(QTest::qWaitFor([&] { return !room.troubles().isEmpty(); }, kServerWaitMs));
    QVERIFY2(room.troubles().first().contains("may not speak TLS") &&
                 room.troubles().first().contains("irc://"),
             qPrintable(room.troubles().first()));
    QCOMPARE(room.joinCount(), 0);
}

void TestIrcServers::plainAddressOfTlsPortGetsHint()
{
    // ngircd's TLS port answers IRC text with a TLS alert.
    IrcRoomSettings settings = testRoomSettings(m_tlsServer->tlsPort(), "plainly", "#tls");
    settings.troubleAfterMs = 600'000;
    WatchedRoom room(settings);
    QVERIFY(QTest::qWaitFor([&] { return !room.troubles().isEmpty(); }, kServerWaitMs));
    const QString told = room.troubles().first();
    QVERIFY2(told.contains(u"this port may speak TLS: try ircs://127.0.0.1:%1/#tls"_s.arg(
                 m_tlsServer->tlsPort())),
             qPrintable(told));
    // Not tried again: a control on the right port joins meanwhile.
    WatchedRoom right(tlsSettings("127.0.0.1", "rightly", true));
    QVERIFY(right.waitForJoin());
    QCOMPARE(room.troubles().size(), 1);
    QCOMPARE(std::count_if(room.statuses().cbegin(), room.statuses().cend(),
                           [](const QString& s) { return s.startsWith("Connecting"); }),
             1);
    QCOMPARE(room->roomState(), RoomState::OutOfReach);
}

void TestIrcServers::silentCloseOfPlainAddressGetsHint()
{
    // A TLS port that closes on IRC text without an alert; the control
    // keeps trying (the server may just be busy) but says what to try.
    QTcpServer fake;
    QVERIFY(fake.listen(QHostAddress::LocalHost));
    QObject::connect(&fake, &QTcpServer::newConnection, [&] {
        QTcpSocket* socket = fake.nextPendingConnection();
        QObject::connect(socket, &QTcpSocket::readyRead, socket,
                         [socket] { socket->disconnectFromHost(); });
    });
    WatchedRoom room(testRoomSettings(fake.serverPort(), "silent", "#t"));
    QVERIFY(
        QTest::qWaitFor([&] { return room->status().contains("Reconnecting"); }, kServerWaitMs));
    QVERIFY2(room->status().contains("closed the connection before saying anything: this port "
                                     "may speak TLS: try ircs://"),
             qPrintable(room->status()));
}

void TestIrcServers::accountWithoutSaslIsToldAndJoins()
{
    // ngircd offers no SASL: the user hears once that the account was not
    // used, and the control joins without it.
    IrcRoomSettings settings = testRoomSettings(m_tlsServer->port(), "accounted", "#nosasl");
    settings.saslAccount = "ann";
    settings.saslPassword = "pw";
    WatchedRoom room(settings);
    QVERIFY(room.waitForJoin());
    QCOMPARE(room.troubles().size(), 1);
    QVERIFY2(room.troubles().first().contains("cannot identify you as ann: it does not offer SASL"),
             qPrintable(room.troubles().first()));
    QVERIFY(room->account().isEmpty());
}

void TestIrcServers::refusedServerPasswordIsToldOnceNotRetried()
{
    IrcTestServer server;
    server.setServerPassword("letmein");
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    IrcRoomSettings settings = testRoomSettings(server.port(), "guesser", "#pw");
    settings.troubleAfterMs = 600'000;
    settings.address.password = "guessed";
    WatchedRoom wrong(settings);
    QVERIFY(wrong->SendRoomLine("never said"));
    settings.address.nick = "knower";
    settings.address.password = "letmein";
    WatchedRoom right(settings);
    QVERIFY(QTest::qWaitFor([&] { return !wrong.troubles().isEmpty(); }, kServerWaitMs));
    QVERIFY2(wrong.troubles().first().contains("refused the server password"),
             qPrintable(wrong.troubles().first()));
    QVERIFY(right.waitForJoin());
    // The right one joined after the wrong one's refusal, which has not
    // come back for another try.
    QVERIFY(right->SendRoomLine("-|?|-known"));
    QVERIFY(right.waitForConfirmed());
    QCOMPARE(wrong.troubles().size(), 1);
    QCOMPARE(std::count_if(wrong.statuses().cbegin(), wrong.statuses().cend(),
                           [](const QString& s) { return s.startsWith("Connecting"); }),
             1);
    QCOMPARE(wrong->unconfirmedLines(), 1);
    QCOMPARE(wrong->phase(), IrcRoom::Phase::Waiting);
}

void TestIrcServers::talksAcrossLinkedServers()
{
    IrcTestServer hub(IrcTestServer::Kind::Ngircd, "hub.test");
    IrcTestServer leaf(IrcTestServer::Kind::Ngircd, "leaf.test");
    QString error;
    QVERIFY2(startLinked(hub, leaf, &error), qPrintable(error));

    WatchedRoom ann(testRoomSettings(hub.port(), "annhub", "#linked"));
    WatchedRoom bob(testRoomSettings(leaf.port(), "bobleaf", "#linked"));
    QVERIFY(ann.waitForJoin());
    QVERIFY(bob.waitForJoin());
    // Joins travel between the servers too; say lines until both see each
    // other's (a line said before the other side's join reached this server
    // is not relayed there).
    int round = 0;
    QVERIFY(QTest::qWaitFor(
        [&] {
            ++round;
            ann->SendRoomLine(u"hub %1"_s.arg(round));
            bob->SendRoomLine(u"leaf %1"_s.arg(round));
            QTest::qWait(100);
            return std::any_of(ann.heard().cbegin(), ann.heard().cend(),
                               [](const QString& l) { return l.startsWith("bobleaf: leaf"); }) &&
                   std::any_of(bob.heard().cbegin(), bob.heard().cend(),
                               [](const QString& l) { return l.startsWith("annhub: hub"); });
        },
        kServerWaitMs));

    // From then on every line crosses, in order.
    QStringList said;
    for (int i = 0; i < 10; ++i) {
        said << u"-|?|-across %1"_s.arg(i);
        QVERIFY(ann->SendRoomLine(said.last()));
    }
    QVERIFY(bob.waitForHeardLine("annhub: " + said.last()));
    QStringList heard;
    for (const QString& line : bob.heard()) {
        if (line.contains("across"))
            heard << line.mid(qsizetype(qstrlen("annhub: ")));
    }
    QCOMPARE(heard, said);
}

void TestIrcServers::ownLinesComeBackOnceThroughEchoMessage()
{
    IrcTestServer server(IrcTestServer::Kind::Inspircd);
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    WatchedRoom ann(testRoomSettings(server.port(), "ann", "#echo"));
    WatchedRoom bob(testRoomSettings(server.port(), "bob", "#echo"));
    QVERIFY(ann.waitForJoin());
    QVERIFY(bob.waitForJoin());
    QVERIFY(ann->serverEchoes());

    const QStringList said{"-|?|-one", u"-|?|-twö"_s, "-|?|-three"};
    for (const QString& line : said)
        QVERIFY(ann->SendRoomLine(line));
    QVERIFY(bob.waitForHeardLine("ann: " + said.last()));
    QVERIFY(ann.waitForHeardLine("ann: " + said.last()));
    QVERIFY(ann.waitForConfirmed());
    // Said once every line is in: a doubled line would come before it.
    QVERIFY(bob->SendRoomLine("-|?|-marker"));
    QVERIFY(ann.waitForHeardLine("bob: -|?|-marker"));
    QVERIFY(bob.waitForHeardLine("bob: -|?|-marker"));
    QStringList expected;
    for (const QString& line : said)
        expected << "ann: " + line;
    expected << "bob: -|?|-marker";
    QCOMPARE(ann.heard(), expected);
    QCOMPARE(bob.heard(), expected);

    // Not scanning: the echo is not shown either.
    ann->StopRoomScan();
    QVERIFY(ann->SendRoomLine("-|?|-unseen"));
    QVERIFY(bob.waitForHeardLine("ann: -|?|-unseen"));
    QVERIFY(ann.waitForConfirmed());
    // Listening again, a later line shows alone.
    ann->StartRoomScan();
    QVERIFY(bob->SendRoomLine("-|?|-seen"));
    QVERIFY(ann.waitForHeardLine("bob: -|?|-seen"));
    QCOMPARE(ann.heard(), expected + QStringList{"bob: -|?|-seen"});
}

QTEST_GUILESS_MAIN(TestIrcServers)
#include "tst_irc_servers.moc"
