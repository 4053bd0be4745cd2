// SPDX-License-Identifier: GPL-3.0-or-later
// The room dialog in the real program, worked by the names of its controls:
// a newcomer started without SVW_ROOM finds the local room, presses the room
// sign, chooses a server and a channel on a real ngircd, and is seen joining
// there; started again with the same configuration folder and no argument,
// it joins the same channel again.

#include "irc_test_server.h"
#include "svw_copy.h"

#include <QTest>

using namespace svw::test;
using svw::testing::filesHolding;
using svw::testing::SvwCopy;
using namespace Qt::StringLiterals;

namespace {

constexpr int kWaitMs = 30000;

// Waits until `nick` is seen joining (its parts and quits pass by).
bool seenJoining(RawIrcClient& outsider, const QByteArray& nick)
{
    while (const std::optional<QByteArray> line = outsider.waitForLine(":" + nick + "!", kWaitMs)) {
        if (line->contains(" JOIN "))
            return true;
    }
    return false;
}

} // namespace

class TestRoomDialogProgram : public QObject
{
    Q_OBJECT

private slots:
    void chosenChannelIsJoinedAndJoinedAgainAtTheNextStart()
    {
        IrcTestServer server;
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        RawIrcClient outsider;
        QVERIFY(outsider.connectAndJoin(server.port(), "outsider", "#meet"));

        QTemporaryDir config;
        const SvwCopy::WithoutRoom start{{}, config.path(), {}, {}};
        {
            SvwCopy dana(start, "dana");
            QVERIFY(dana.started());
            // Nothing chosen yet: the local room, and nothing remembered.
            QVERIFY(filesHolding(config.path(), "irc://").isEmpty());

            dana.command("click", "roomIndicator");
            dana.command("choose", "roomKinds", u"IRC network"_s);
            dana.command("choose", "ircNetwork", u"Another server"_s);
            dana.set("ircHost", u"127.0.0.1"_s);
            dana.set("ircPort", QString::number(server.port()));
            dana.command("click", "ircTls");   // the test's server speaks plain IRC
            dana.set("ircChannel", u"meet"_s); // the # is put in front
            dana.set("ircNick", u"dana"_s);
            dana.command("click", "enterRoom");
            QVERIFY2(seenJoining(outsider, "dana"),
                     qPrintable(dana.said() + dana.boxes().join(u'\n') +
                                QString::fromUtf8(dana.standardError())));
            QVERIFY(dana.saidContains(u"Now in "_s));

            // Remembered by its address alone.
            const QString address = u"irc://dana@127.0.0.1:%1/#meet"_s.arg(server.port());
            QCOMPARE(filesHolding(config.path(), address.toUtf8()).size(), 1);

            // The window works in the room it went to.
            dana.set("pw", u"key"_s);
            dana.set("txtSend", u"hello"_s);
            dana.key("Return");
            QVERIFY(outsider.waitForLine("PRIVMSG #meet :-|?|-", kWaitMs));
            dana.menu("mnuExit");
            QVERIFY(dana.finished(kWaitMs));
            QCOMPARE(dana.exitCode(), 0);
        }

        // Started again from the menu, as it were: no SVW_ROOM, no argument.
        SvwCopy again(start, "dana");
        QVERIFY(again.started());
        QVERIFY(seenJoining(outsider, "dana"));
    }

    void roomGivenAsArgumentIsEnteredAndRemembered()
    {
        IrcTestServer server;
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        RawIrcClient outsider;
        QVERIFY(outsider.connectAndJoin(server.port(), "outsider", "#arg"));

        QTemporaryDir config;
        const QString address = u"irc://erin@127.0.0.1:%1/#arg"_s.arg(server.port());
        SvwCopy erin(SvwCopy::WithoutRoom{{address}, config.path(), {}, {}}, "erin");
        QVERIFY(erin.started());
        QVERIFY(seenJoining(outsider, "erin"));
        QCOMPARE(filesHolding(config.path(), address.toUtf8()).size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestRoomDialogProgram)
#include "tst_room_dialog_program.moc"
