// SPDX-License-Identifier: GPL-3.0-or-later
// The room dialog's XMPP page in the real program, against a real prosody:
// a copy started without SVW_ROOM or any XMPP setting is taken to a group
// chat through the dialog and says a line there; started again with the
// same configuration, it joins the same room as the same account, asking
// for the password that no keyring kept.

#include "svw_copy.h"
#include "xmpp_test_server.h"

#include <QTest>

using namespace svw::test;
using svw::testing::filesHolding;
using svw::testing::SvwCopy;
using namespace Qt::StringLiterals;

namespace {

constexpr int kWaitMs = 30000;
const QString kRoom = u"meet@conference.localhost"_s;

// Waits until `member` has seen `nick` come into the room `times` times.
bool seenJoining(RawXmppClient& member, const QString& nick, int times)
{
    const QString from = u"from=\"%1/%2\""_s.arg(kRoom, nick);
    return QTest::qWaitFor(
        [&] {
            member.runFor(5);
            const QStringList presences = member.received().filter(u"<presence"_s).filter(from);
            return presences.size() - presences.filter(u"unavailable"_s).size() >= times;
        },
        kWaitMs);
}

} // namespace

class TestXmppDialogProgram : public QObject
{
    Q_OBJECT

private slots:
    void roomChosenInTheDialogIsJoinedAgainAtTheNextStart()
    {
        XmppTestServer server;
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        for (const QString& user : {u"dana"_s, u"raw"_s})
            QVERIFY2(server.addAccount(user, u"pw-"_s + user, &error), qPrintable(error));
        RawXmppClient member;
        QVERIFY(member.connectTo(server, u"raw"_s));
        QVERIFY(member.join(kRoom, u"outsider"_s));

        QTemporaryDir config;
        const QString caFile = server.caFile();
        const SvwCopy::WithoutRoom start{
            {}, config.path(), {}, {}, {}, [&caFile](QProcessEnvironment& env) {
                for (const char* name :
                     {"SVW_XMPP_JID", "SVW_XMPP_PASSWORD", "SVW_XMPP_SERVER", "SVW_NICK"})
                    env.remove(QLatin1String(name));
                env.insert(u"SVW_XMPP_CAFILE"_s, caFile); // the test's own authority
                // No keyring: what the dialog was told is asked for next time.
                env.remove(u"DBUS_SESSION_BUS_ADDRESS"_s);
                env.remove(u"DISPLAY"_s);
                env.insert(u"SVW_TEST_ANSWER"_s, u"pw-dana"_s);
            }};
        {
            SvwCopy dana(start, u"login-name"_s);
            QVERIFY(dana.started());
            dana.command("click", "roomIndicator");
            dana.command("choose", "roomKinds", u"XMPP group chat"_s);
            dana.set("xmppRoom", kRoom);
            dana.set("xmppAccount", u"dana@localhost"_s);
            dana.set("xmppPassword", u"pw-dana"_s);
            dana.set("xmppServer", u"127.0.0.1:%1"_s.arg(server.port()));
            QVERIFY(dana.sync());
            QVERIFY2(dana.text("meetingText").contains(kRoom), qPrintable(dana.said()));
            dana.command("click", "enterRoom");
            // The nick is the account's, not SVW_NICK's or the login's.
            QVERIFY2(seenJoining(member, u"dana"_s, 1),
                     qPrintable(dana.said() + dana.boxes().join(u'\n') +
                                QString::fromUtf8(dana.standardError())));
            QCOMPARE(dana.reported("ask "), QByteArray()); // typed in the dialog

            dana.set("pw", u"key"_s);
            dana.menu("mnuDE"); // listens, to see its own line come back
            dana.set("txtSend", u"hello over xmpp"_s);
            dana.key("Return");
            QVERIFY(!member.waitFor(u"<body>-|?|-"_s, kWaitMs).isEmpty());
            QVERIFY(dana.saidContains(u"dana  :  hello over xmpp\n"_s, kWaitMs));
            dana.menu("mnuExit");
            QVERIFY(dana.finished(kWaitMs));
            QCOMPARE(dana.exitCode(), 0);
        }
        // Remembered: the room and the account, never the password.
        QCOMPARE(filesHolding(config.path(), "xmpp:meet@conference.localhost?join").size(), 1);
        QCOMPARE(filesHolding(config.path(), "dana@localhost").size(), 1);
        QCOMPARE(filesHolding(config.path(), "pw-dana"), QStringList());

        SvwCopy again(start, u"login-name"_s);
        QVERIFY(again.started());
        QVERIFY2(seenJoining(member, u"dana"_s, 2),
                 qPrintable(again.said() + QString::fromUtf8(again.standardError())));
        const QByteArray asked = QByteArray::fromPercentEncoding(again.reported("ask "));
        QVERIFY2(asked.contains("dana@localhost"), asked.constData());
    }
};

QTEST_GUILESS_MAIN(TestXmppDialogProgram)
#include "tst_xmpp_dialog_program.moc"
