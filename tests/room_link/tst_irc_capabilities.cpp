// SPDX-License-Identifier: GPL-3.0-or-later
// What the IRC room asks of a server before registering, without a socket:
// which offered capabilities it requests, and how its SASL answer is built
// and cut into AUTHENTICATE lines.

#include "irc_capabilities.h"

#include <QTest>

using namespace svw;
using namespace Qt::StringLiterals;

class TestIrcCapabilities : public QObject
{
    Q_OBJECT

private slots:
    void readsOfferedValues();
    void requestsWhatIsWantedAndOffered_data();
    void requestsWhatIsWantedAndOffered();
    void choosesTheMechanism();
    void plainCarriesAccountTwiceAndPassword();
    void cutsResponsesIntoChunks_data();
    void cutsResponsesIntoChunks();
};

void TestIrcCapabilities::readsOfferedValues()
{
    QHash<QString, QString> offered;
    // Two lines of a multi-line LS add up; a value may hold '=' itself.
    addOfferedCapabilities("sasl=PLAIN,EXTERNAL  echo-message", &offered);
    addOfferedCapabilities("draft/x=a=b server-time", &offered);
    QCOMPARE(offered.size(), 4);
    QCOMPARE(offered.value("sasl"), u"PLAIN,EXTERNAL"_s);
    QVERIFY(offered.contains("echo-message") && offered.value("echo-message").isEmpty());
    QCOMPARE(offered.value("draft/x"), u"a=b"_s);
    QVERIFY(offered.contains("server-time"));
}

void TestIrcCapabilities::requestsWhatIsWantedAndOffered_data()
{
    QTest::addColumn<QString>("offered");
    QTest::addColumn<QString>("mechanism");
    QTest::addColumn<QStringList>("request");
    QTest::newRow("nothing wanted offered") << "multi-prefix away-notify"
                                            << "PLAIN" << QStringList();
    QTest::newRow("echo only") << "echo-message multi-prefix"
                               << "" << QStringList{"echo-message"};
    QTest::newRow("sasl without an account") << "sasl=PLAIN echo-message"
                                             << "" << QStringList{"echo-message"};
    QTest::newRow("both, in the wanted order") << "sasl=PLAIN,EXTERNAL echo-message"
                                               << "PLAIN" << QStringList{"echo-message", "sasl"};
    QTest::newRow("mechanism not offered") << "sasl=PLAIN echo-message"
                                           << "EXTERNAL" << QStringList{"echo-message"};
    QTest::newRow("mechanism case") << "sasl=external"
                                    << "EXTERNAL" << QStringList{"sasl"};
    QTest::newRow("no mechanisms listed (CAP 301)") << "sasl"
                                                    << "PLAIN" << QStringList{"sasl"};
}

void TestIrcCapabilities::requestsWhatIsWantedAndOffered()
{
    QFETCH(QString, offered);
    QFETCH(QString, mechanism);
    QHash<QString, QString> caps;
    addOfferedCapabilities(offered, &caps);
    QTEST(capabilitiesToRequest(caps, mechanism), "request");
}

void TestIrcCapabilities::choosesTheMechanism()
{
    QCOMPARE(saslMechanismFor(true, "ann", "pw"), u"EXTERNAL"_s);
    QCOMPARE(saslMechanismFor(true, {}, {}), u"EXTERNAL"_s);
    QCOMPARE(saslMechanismFor(false, "ann", "pw"), u"PLAIN"_s);
    QVERIFY(saslMechanismFor(false, "ann", {}).isEmpty());
    QVERIFY(saslMechanismFor(false, {}, "pw").isEmpty());
}

void TestIrcCapabilities::plainCarriesAccountTwiceAndPassword()
{
    QCOMPARE(saslResponse("PLAIN", u"änn"_s, "p w"), QByteArray("\xc3\xa4nn\0\xc3\xa4nn\0p w", 13));
    QCOMPARE(saslResponse("EXTERNAL", "ann", "ignored"), QByteArray("ann"));
    QCOMPARE(saslResponse("EXTERNAL", {}, {}), QByteArray());
}

void TestIrcCapabilities::cutsResponsesIntoChunks_data()
{
    // 300 bytes are 400 in base64: exactly one whole chunk.
    QTest::addColumn<int>("bytes");
    QTest::addColumn<QList<int>>("chunkLengths"); // 0 stands for "+"
    QTest::newRow("empty") << 0 << QList<int>{0};
    QTest::newRow("short") << 10 << QList<int>{16};
    QTest::newRow("just under a chunk") << 297 << QList<int>{396};
    QTest::newRow("padded to a whole chunk") << 299 << QList<int>{400, 0};
    QTest::newRow("a whole chunk") << 300 << QList<int>{400, 0};
    QTest::newRow("a chunk and a bit") << 301 << QList<int>{400, 4};
    QTest::newRow("two whole chunks") << 600 << QList<int>{400, 400, 0};
}

void TestIrcCapabilities::cutsResponsesIntoChunks()
{
    QFETCH(int, bytes);
    QFETCH(QList<int>, chunkLengths);
    QByteArray response(bytes, '\0');
    for (int i = 0; i < bytes; ++i)
        response[i] = char(i * 7 + 3);
    const QStringList chunks = saslChunks(response);
    QList<int> lengths;
    for (const QString& chunk : chunks)
        lengths.append(chunk == u"+" ? 0 : int(chunk.size()));
    QCOMPARE(lengths, chunkLengths);
    // Joined again, the pieces are the response.
    QString joined = chunks.join(QString());
    if (joined.endsWith(u'+'))
        joined.chop(1);
    QCOMPARE(QByteArray::fromBase64(joined.toLatin1()), response);
}

QTEST_MAIN(TestIrcCapabilities)
#include "tst_irc_capabilities.moc"
