// SPDX-License-Identifier: GPL-3.0-or-later
// The IRC room control on a network with services, as large networks run
// them: inspircd linked to atheme-services, both started by the test.
// Identifying with SASL (an account and password, or a client certificate),
// channels for identified members, refusals told once and not retried,
// notices and nick changes from services and operators, channel keys and
// invitations.

#include "irc_test_server.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QTest>

using namespace svw;
using namespace svw::test;
using namespace Qt::StringLiterals;

namespace {

constexpr auto kPassword = "secretpw";

qsizetype countStarting(const QStringList& lines, const QString& start)
{
    return std::count_if(lines.cbegin(), lines.cend(),
                         [&](const QString& line) { return line.startsWith(start); });
}

} // namespace

class TestIrcServices : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void identifiesAndSpeaksWhereOnlyAccountsMay();
    void refusedAccountIsToldOnceNotRetried_data();
    void refusedAccountIsToldOnceNotRetried();
    void identifiesWithClientCertificate();
    void servicesNoticesAndForcedNickChangesAreTold();
    void channelKeys();
    void invitationIsTakenAtOnce();
    void channelNamesUpToTheServersLength();

private:
    // Registers `account` with NickServ through a raw client, and ties the
    // certificate's fingerprint to it when one is given.
    void registerAccount(const QByteArray& account, const QByteArray& fingerprint = {});
    // A raw client that created `channel`, so is its operator, and set `modes`.
    std::unique_ptr<RawIrcClient> channelOperator(const QByteArray& nick, const QByteArray& channel,
                                                  const QByteArray& modes);
    IrcRoomSettings accountSettings(const QString& nick, const QString& channel,
                                    const QString& account, const QString& password) const;

    QTemporaryDir m_dir;
    std::optional<TlsFiles> m_serverTls;
    std::optional<TlsFiles> m_clientTls;
    std::unique_ptr<IrcTestServer> m_server;
    std::unique_ptr<IrcTestServices> m_services;
};

void TestIrcServices::initTestCase()
{
    QString error;
    m_serverTls = makeSelfSignedCertificate(m_dir.path(), "irc.test", "IP:127.0.0.1", &error);
    QVERIFY2(m_serverTls, qPrintable(error));
    m_clientTls = makeSelfSignedCertificate(m_dir.path(), "cato", "DNS:cato.test", &error);
    QVERIFY2(m_clientTls, qPrintable(error));
    m_server = std::make_unique<IrcTestServer>(IrcTestServer::Kind::Inspircd);
    m_server->enableServices();
    m_server->enableTls(*m_serverTls);
    QVERIFY2(m_server->start(&error), qPrintable(error));
    m_services = std::make_unique<IrcTestServices>(*m_server);
    QVERIFY2(m_services->start(&error), qPrintable(error));

    registerAccount("ann");
    const QSslCertificate client = QSslCertificate::fromPath(m_clientTls->certFile).constFirst();
    registerAccount("cato", client.digest(QCryptographicHash::Sha256).toHex());
}

void TestIrcServices::registerAccount(const QByteArray& account, const QByteArray& fingerprint)
{
    RawIrcClient raw;
    QVERIFY(raw.connectAndJoin(m_server->port(), account, {}));
    raw.send("PRIVMSG NickServ :REGISTER " + QByteArray(kPassword) + " " + account +
             "@example.org");
    QVERIFY2(raw.waitForLine("is now registered"), qPrintable(m_services->log()));
    if (!fingerprint.isEmpty()) {
        raw.send("PRIVMSG NickServ :CERT ADD " + fingerprint);
        QVERIFY2(raw.waitForLine(fingerprint), qPrintable(m_services->log()));
    }
    raw.send("QUIT");
    QVERIFY(raw.waitForLine("ERROR"));
}

std::unique_ptr<RawIrcClient> TestIrcServices::channelOperator(const QByteArray& nick,
                                                               const QByteArray& channel,
                                                               const QByteArray& modes)
{
    auto op = std::make_unique<RawIrcClient>();
    if (!op->connectAndJoin(m_server->port(), nick, channel))
        return nullptr;
    op->send("MODE " + channel + " " + modes);
    if (!op->waitForLine(" MODE " + channel))
        return nullptr;
    return op;
}

IrcRoomSettings TestIrcServices::accountSettings(const QString& nick, const QString& channel,
                                                 const QString& account,
                                                 const QString& password) const
{
    IrcRoomSettings settings = testRoomSettings(m_server->port(), nick, channel);
    settings.saslAccount = account;
    settings.saslPassword = password;
    // Every refusal here is told at once or not at all.
    settings.troubleAfterMs = 600'000;
    return settings;
}

void TestIrcServices::identifiesAndSpeaksWhereOnlyAccountsMay()
{
    // +R: only identified members join; +M: only they speak.
    const std::unique_ptr<RawIrcClient> op = channelOperator("regop", "#members", "+RM");
    QVERIFY(op);
    WatchedRoom ann(accountSettings("annie", "#members", "ann", kPassword));
    QVERIFY(ann.waitForJoin());
    QCOMPARE(ann->account(), u"ann"_s);
    QVERIFY(ann->capabilityEnabled("sasl"));
    QVERIFY(ann->serverEchoes()); // asked for in the same request
    QVERIFY2(ann.waitForNotice("You are now logged in as ann"),
             qPrintable(ann.notices().join('|')));
    QVERIFY(ann.troubles().isEmpty());

    QVERIFY(ann->SendRoomLine("-|?|-identified"));
    const std::optional<QByteArray> said = op->waitForLine("PRIVMSG #members :-|?|-identified");
    QVERIFY(said);
    QVERIFY2(said->startsWith(":annie!"), said->constData());
    QVERIFY(ann.waitForHeardLine("annie: -|?|-identified"));

    // Without an account: told at once what the channel wants.
    WatchedRoom anonymous(accountSettings("anon", "#members", QString(), QString()));
    QVERIFY(QTest::qWaitFor([&] { return !anonymous.troubles().isEmpty(); }, kServerWaitMs));
    QVERIFY2(anonymous.troubles().first().contains("#members takes only members identified"),
             qPrintable(anonymous.troubles().first()));
    QCOMPARE(anonymous.joinCount(), 0);
}

void TestIrcServices::refusedAccountIsToldOnceNotRetried_data()
{
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("password");
    QTest::newRow("wrong password") << "ann"
                                    << "not-the-password";
    QTest::newRow("no such account") << "nobody"
                                     << "whatever";
}

void TestIrcServices::refusedAccountIsToldOnceNotRetried()
{
    QFETCH(QString, account);
    QFETCH(QString, password);
    WatchedRoom wrong(accountSettings("wrongun", "#svw", account, password));
    QVERIFY(wrong->SendRoomLine("never said"));
    QVERIFY(QTest::qWaitFor([&] { return !wrong.troubles().isEmpty(); }, kServerWaitMs));
    const QString told = wrong.troubles().first();
    QVERIFY2(told.contains(u"the account %1"_s.arg(account)) && told.contains("does not try again"),
             qPrintable(told));
    QCOMPARE(wrong->roomState(), RoomState::OutOfReach);

    // A control that identifies rightly gets in meanwhile; the refused one
    // has not come back for another try.
    WatchedRoom right(accountSettings("rightun", "#svw", "ann", kPassword));
    QVERIFY(right.waitForJoin());
    QCOMPARE(countStarting(wrong.statuses(), "Connecting"), 1);
    QCOMPARE(wrong.troubles().size(), 1);
    QCOMPARE(wrong.joinCount(), 0);
    QCOMPARE(wrong->unconfirmedLines(), 1);
    QCOMPARE(wrong->phase(), IrcRoom::Phase::Waiting);
}

void TestIrcServices::identifiesWithClientCertificate()
{
    QFile pem(m_clientTls->keyFile);
    QVERIFY(pem.open(QIODevice::ReadOnly));
    IrcRoomSettings settings = accountSettings("certo", "#certs", QString(), QString());
    settings.address.tls = true;
    settings.address.port = m_server->tlsPort();
    settings.extraCaCertificates = QSslCertificate::fromPath(m_serverTls->certFile);
    settings.clientCertificate = QSslCertificate::fromPath(m_clientTls->certFile).constFirst();
    settings.clientKey = QSslKey(pem.readAll(), QSsl::Rsa);
    QVERIFY(!settings.clientKey.isNull());
    const std::unique_ptr<RawIrcClient> op = channelOperator("certop", "#certs", "+R");
    QVERIFY(op);
    WatchedRoom cato(settings);
    QVERIFY2(cato.waitForJoin(), qPrintable(cato.troubles().join('|')));
    QCOMPARE(cato->account(), u"cato"_s);

    // The same certificate on a server that does not know it: refused,
    // told once, not tried again.
    settings.address.nick = "nocert";
    settings.saslAccount = "ann"; // the certificate is not ann's
    WatchedRoom stranger(settings);
    QVERIFY(QTest::qWaitFor([&] { return !stranger.troubles().isEmpty(); }, kServerWaitMs));
    QVERIFY2(stranger.troubles().first().contains("the account ann with your client certificate"),
             qPrintable(stranger.troubles().first()));
    QCOMPARE(stranger.joinCount(), 0);
}

void TestIrcServices::servicesNoticesAndForcedNickChangesAreTold()
{
    // The nick of a registered account, without identifying: NickServ says
    // so, in a notice to us.
    WatchedRoom ann(testRoomSettings(m_server->port(), "ann", "#notices"));
    QVERIFY(ann.waitForJoin());
    QVERIFY2(ann.waitForNotice("NickServ: "), qPrintable(ann.notices().join('|')));
    QVERIFY(ann.notices().join('|').contains("registered"));

    // An operator renames us: told, the description follows, and our lines
    // are still known as ours.
    RawIrcClient oper;
    QVERIFY(oper.connectAndJoin(m_server->port(), "watcher", "#notices"));
    oper.send("OPER oper operpw");
    QVERIFY(oper.waitForLine(" 381 "));
    const int changesBefore = ann.descriptionChanges();
    oper.send("SANICK ann Guest4711");
    QVERIFY(ann.waitForNotice("The server changed your nick from ann to Guest4711."));
    QCOMPARE(ann->nick(), u"Guest4711"_s);
    QVERIFY2(ann->roomDescription().contains("as Guest4711"), qPrintable(ann->roomDescription()));
    QCOMPARE(ann.descriptionChanges(), changesBefore + 1);
    QVERIFY(ann->SendRoomLine("-|?|-renamed"));
    QVERIFY(oper.waitForLine(":Guest4711!"));
    QVERIFY(ann.waitForHeardLine("Guest4711: -|?|-renamed"));

    // Notices to the channel are the channel's, not ours.
    oper.send("NOTICE #notices :to everyone");
    oper.send("NOTICE Guest4711 :to you alone");
    QVERIFY(ann.waitForNotice("watcher: to you alone"));
    QVERIFY(!ann.notices().join('|').contains("to everyone"));

    // A stream of notices is cut short, and the user hears so once.
    const qsizetype before = ann.notices().size();
    for (int i = 0; i < 40; ++i)
        oper.send("NOTICE Guest4711 :flood " + QByteArray::number(i));
    oper.send("NOTICE Guest4711 :last");
    // The server relays the watcher's lines in order: once this is heard,
    // every notice before it was handled.
    oper.send("PRIVMSG #notices :after the flood");
    QVERIFY(ann.waitForHeardLine("watcher: after the flood"));
    const QStringList flood = ann.notices().mid(before);
    QVERIFY2(flood.join('|').contains("watcher: flood 0"), qPrintable(flood.join('|')));
    QCOMPARE(std::count_if(flood.cbegin(), flood.cend(),
                           [](const QString& n) { return n.contains("can be shown"); }),
             1);
    QVERIFY(flood.size() < 25);
    QVERIFY2(!flood.join('|').contains(": last"), qPrintable(flood.join('|')));
}

void TestIrcServices::channelKeys()
{
    const std::unique_ptr<RawIrcClient> op = channelOperator("keyop", "#locked", "+k sesame");
    QVERIFY(op);

    IrcRoomSettings settings = testRoomSettings(m_server->port(), "keyed", "#locked");
    settings.address.channelKey = "sesame";
    settings.troubleAfterMs = 600'000;
    WatchedRoom keyed(settings);
    QVERIFY(keyed.waitForJoin());
    QVERIFY(keyed->SendRoomLine("-|?|-with the key"));
    QVERIFY(op->waitForLine("PRIVMSG #locked :-|?|-with the key"));

    // No key, and a wrong one: told at once, naming the channel.
    settings.address.nick = "keyless";
    settings.address.channelKey.clear();
    WatchedRoom keyless(settings);
    settings.address.nick = "wrongkey";
    settings.address.channelKey = "sesam";
    WatchedRoom wrongKey(settings);
    QVERIFY(QTest::qWaitFor([&] { return !keyless.troubles().isEmpty(); }, kServerWaitMs));
    QVERIFY(QTest::qWaitFor([&] { return !wrongKey.troubles().isEmpty(); }, kServerWaitMs));
    QVERIFY2(keyless.troubles().first().contains("#locked has a key") &&
                 keyless.troubles().first().contains("?key="),
             qPrintable(keyless.troubles().first()));
    QVERIFY2(wrongKey.troubles().first().contains("#locked refused the key"),
             qPrintable(wrongKey.troubles().first()));
    QCOMPARE(keyless.joinCount(), 0);
    QCOMPARE(wrongKey.joinCount(), 0);

    // Told once, though the control keeps trying: the operator changes the
    // key to the one it has, and it gets in.
    op->send("MODE #locked -k sesame");
    op->send("MODE #locked +k sesam");
    QVERIFY(wrongKey.waitForJoin());
    QCOMPARE(wrongKey.troubles().size(), 1);
}

void TestIrcServices::invitationIsTakenAtOnce()
{
    const std::unique_ptr<RawIrcClient> op = channelOperator("invop", "#private", "+i");
    QVERIFY(op);
    IrcRoomSettings settings = testRoomSettings(m_server->port(), "guest", "#private");
    // After the refusal the next try would come far beyond this test.
    settings.reconnectMinMs = 600'000;
    settings.reconnectMaxMs = 600'000;
    WatchedRoom guest(settings);
    QVERIFY(
        QTest::qWaitFor([&] { return guest->status().contains("Joining again"); }, kServerWaitMs));
    op->send("INVITE guest #private");
    QVERIFY(guest.waitForJoin());
    QVERIFY(guest->SendRoomLine("-|?|-invited"));
    QVERIFY(op->waitForLine("PRIVMSG #private :-|?|-invited"));
}

void TestIrcServices::channelNamesUpToTheServersLength()
{
    // inspircd takes 64 bytes (CHANNELLEN=64), more than the 50 of RFC 2812.
    const QString sixty = u"#"_s + QString(59, u'c');
    QString error;
    const std::optional<IrcAddress> address = parseIrcAddress(
        u"irc://long@127.0.0.1:%1/%2"_s.arg(m_server->port()).arg(sixty), {}, &error);
    QVERIFY2(address, qPrintable(error));
    IrcRoomSettings settings = testRoomSettings(m_server->port(), "long", address->channel);
    WatchedRoom longName(settings);
    QVERIFY(longName.waitForJoin());

    // Past it: told at once, and not tried again.
    settings.address.nick = "longer";
    settings.address.channel = u"#"_s + QString(70, u'c');
    settings.troubleAfterMs = 600'000;
    WatchedRoom longer(settings);
    QVERIFY(QTest::qWaitFor([&] { return !longer.troubles().isEmpty(); }, kServerWaitMs));
    QVERIFY2(longer.troubles().first().contains("at most 64 bytes"),
             qPrintable(longer.troubles().first()));
    QCOMPARE(longer.joinCount(), 0);
}

QTEST_MAIN(TestIrcServices)
#include "tst_irc_services.moc"
