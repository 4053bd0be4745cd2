// SPDX-License-Identifier: GPL-3.0-or-later
// A burst of lines against ngircd's default flood limits: the control paces
// itself, the server never throws it out, and every line arrives once and in
// order. Sixty lines are twenty times the server's burst and keep the paced
// control at its steady rate for a quarter of a minute; the time is the
// pacing's, hence its own test.

#include "irc_test_server.h"

#include <QTest>

using namespace svw;
using namespace svw::test;
using namespace Qt::StringLiterals;

class TestIrcFlood : public QObject
{
    Q_OBJECT

private slots:
    void burstArrivesWholeAndInOrder();
};

void TestIrcFlood::burstArrivesWholeAndInOrder()
{
    IrcTestServer server; // default flood settings
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));

    // ngircd takes a few short lines a second from a client; the control's
    // own defaults (a line every 1.1 s) are for public networks and would
    // make this test take ten minutes.
    IrcRoomSettings settings = testRoomSettings(server.port(), "burst", "#flood");
    settings.pacing = IrcPacing{3, 250, 256, 512};
    WatchedRoom sender(settings);
    WatchedRoom listener(testRoomSettings(server.port(), "listen", "#flood"));
    QVERIFY(sender.waitForJoin());
    QVERIFY(listener.waitForJoin());

    constexpr int kLines = 60;
    QStringList expected;
    for (int i = 0; i < kLines; ++i) {
        const QString line = u"-|?|-%1"_s.arg(i, 3, 10, QChar(u'0'));
        QVERIFY(sender->SendRoomLine(line));
        expected << "burst: " + line;
    }
    QCOMPARE(sender->unconfirmedLines(), kLines);

    QVERIFY(listener.waitForHeard(kLines, 120'000));
    QVERIFY(sender.waitForConfirmed());
    // Said once every line is in: a doubled line would come before it.
    QVERIFY(listener->SendRoomLine("-|?|-end"));
    expected << "listen: -|?|-end";
    QVERIFY(sender.waitForHeardLine(expected.last()));
    QVERIFY(listener.waitForHeardLine(expected.last()));
    QCOMPARE(listener.heard(), expected);
    QCOMPARE(sender.heard(), expected);
    // One connection from start to end: never thrown out for flooding.
    QCOMPARE(sender.joinCount(), 1);
    QCOMPARE(listener.joinCount(), 1);
}

QTEST_GUILESS_MAIN(TestIrcFlood)
#include "tst_irc_flood.moc"
