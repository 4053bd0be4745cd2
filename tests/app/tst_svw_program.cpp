// SPDX-License-Identifier: GPL-3.0-or-later
// Two real copies of the program, each in its own working directory, on one
// local room: what one says the other reads, byte for byte through the
// scratch files, and only with the right prefix and password.

#include "svw_copy.h"

#include <QCoreApplication>
#include <QTest>

#include <memory>

using svw::testing::SvwCopy;

namespace {

// The cipher lines below were worked out by hand on the Windows-1252 bytes:
// each code plus the code of the key character at the same place, the key
// starting again when it is used up ("\xA1" + "K" = 161 + 75 = 0xEC).

const QByteArray kSentHeader = "\"SVW Sent\"\r\n";
const QByteArray kGotHeader = "\"SVW Gotten\"\r\n";
const QByteArray kMessageHeader = "\"SVW Message\"\r\n";

} // namespace

class SvwProgram : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        if (QTest::currentTestFunction() == QByteArrayView("unknownRoomChoice"))
            return; // needs no room
        QVERIFY(m_runtime.isValid());
        const QString room = QStringLiteral("local:e2e-%1-%2")
                                 .arg(QCoreApplication::applicationPid())
                                 .arg(++m_rooms);
        alice =
            std::make_unique<SvwCopy>(room, QStringLiteral("alice"), QString(), m_runtime.path());
        bob = std::make_unique<SvwCopy>(room, QStringLiteral("bob"), QString(), m_runtime.path());
        QVERIFY(alice->started());
        QVERIFY(bob->started());
        linkUp();
    }

    void cleanup()
    {
        alice.reset();
        bob.reset();
    }

    void twoCopiesTalk()
    {
        useKeys("Key", "Key");
        alice->set("txtSend", QString::fromLatin1("\xA1Meet at noon, 3 o'clock!"));
        alice->key("Return");
        const QByteArray plain = "\xA1Meet at noon, 3 o'clock!";
        const QByteArray cipher = "\xEC\xB2\xDE\xB0\xD9\x99\xAC\xD9\x99\xB9\xD4\xE8\xB9"
                                  "\x91\x99\x7E\x85\xE8\x72\xC8\xE5\xBA\xC8\xE4\x6C";

        QVERIFY(bob->saidContains(QString::fromLatin1("alice  :  \xA1Meet at noon, 3 o'clock!\n")));
        QCOMPARE(bob->said(), QString::fromLatin1("alice  :  \xA1Meet at noon, 3 o'clock!\n"));
        QCOMPARE(bob->bytes("Got"), kGotHeader + cipher + "\r\n");
        QCOMPARE(bob->bytes("message"), kMessageHeader + plain);
        QVERIFY(!bob->hasFile("temp"));

        QCOMPARE(alice->bytes("temp"), kSentHeader + cipher);
        QCOMPARE(alice->text("txtSend"), QString());
        QCOMPARE(alice->ask("focused"), QByteArray("txtSend"));
        // The room gives the sender its own line too.
        QVERIFY(alice->saidContains(QString::fromLatin1("alice  :  \xA1Meet at noon")));

        // And the other way round, with Enter in the password box.
        bob->set("txtSend", QStringLiteral("Noon it is."));
        bob->command("focus", "pw");
        bob->key("Return");
        QVERIFY(alice->saidContains(QStringLiteral("bob  :  Noon it is.\n")));
        QCOMPARE(alice->bytes("Got"),
                 kGotHeader + "\x99\xD4\xE8\xB9\x85\xE2\xBF\x85\xE2\xBE\x93\r\n");
        QVERIFY(alice->boxes().isEmpty());
        QVERIFY(bob->boxes().isEmpty());
    }

    void wrongPassword()
    {
        useKeys("Key", "Kez");
        alice->set("txtSend", QStringLiteral("abcabc"));
        alice->key("Return");
        // The keys agree in two characters of three: those come out right,
        // the third one lower ("z" is one above "y").
        QVERIFY(bob->saidContains(QStringLiteral("alice  :  abbabb\n")));
        QCOMPARE(bob->bytes("Got"), kGotHeader + "\xAC\xC7\xDC\xAC\xC7\xDC\r\n");
        QCOMPARE(bob->bytes("message"), kMessageHeader + "abbabb");

        // A password that fails at the first character shows the sender and
        // nothing else, and no message box.
        bob->set("pw", QStringLiteral("~~~"));
        bob->sync();
        alice->set("txtSend", QStringLiteral("!!"));
        alice->key("Return");
        QVERIFY(bob->saidContains(QStringLiteral("alice  :  abbabb\nalice  :  \n")));
        QCOMPARE(bob->bytes("message"), kMessageHeader);
        QVERIFY(bob->boxes().isEmpty());
    }

    void anotherGroupIsIgnored()
    {
        useKeys("Key", "Key");
        bob->set("cbPre", QStringLiteral("-=+=-"));
        bob->key("Tab"); // a good prefix: no message
        QVERIFY(bob->sync());

        sayAndWaitForEcho("for the other group");
        QCOMPARE(bob->said(), QString());
        QVERIFY(!bob->hasFile("Got"));
        QVERIFY(!bob->hasFile("message"));

        // A line with bob's prefix, said after it, is shown alone.
        alice->set("cbPre", QStringLiteral("-=+=-"));
        alice->set("txtSend", QStringLiteral("for bob's group"));
        alice->key("Return");
        QVERIFY(bob->saidContains(QStringLiteral("alice  :  for bob's group\n")));
        QCOMPARE(bob->said(), QStringLiteral("alice  :  for bob's group\n"));
        QVERIFY(bob->boxes().isEmpty());
    }

    void prefixLetterCase()
    {
        useKeys("Key", "Key");
        alice->set("cbPre", QStringLiteral("AbCdE"));
        bob->set("cbPre", QStringLiteral("abcde"));
        QVERIFY(bob->sync());
        sayAndWaitForEcho("case matters");
        QCOMPARE(bob->said(), QString());
        QVERIFY(!bob->hasFile("Got"));

        bob->set("cbPre", QStringLiteral("AbCdE"));
        QVERIFY(bob->sync());
        alice->set("txtSend", QStringLiteral("now it matches"));
        alice->key("Return");
        QVERIFY(bob->saidContains(QStringLiteral("alice  :  now it matches\n")));
        QCOMPARE(bob->said(), QStringLiteral("alice  :  now it matches\n"));
    }

    void stopListening()
    {
        useKeys("Key", "Key");
        bob->menu("mnuStop");
        QVERIFY(bob->sync());
        sayAndWaitForEcho("while bob is not listening");
        QCOMPARE(bob->said(), QString());
        QVERIFY(!bob->hasFile("Got"));

        bob->menu("mnuDE");
        QVERIFY(bob->sync());
        alice->set("txtSend", QStringLiteral("bob listens again"));
        alice->key("Return");
        QVERIFY(bob->saidContains(QStringLiteral("alice  :  bob listens again\n")));
        QCOMPARE(bob->said(), QStringLiteral("alice  :  bob listens again\n"));
    }

    void passwordChangedWhileListening()
    {
        useKeys("First", "First");
        alice->set("txtSend", QStringLiteral("one"));
        alice->key("Return");
        QVERIFY(bob->saidContains(QStringLiteral("alice  :  one\n")));

        useKeys("Second", "Second");
        alice->set("txtSend", QStringLiteral("two"));
        alice->key("Return");
        QVERIFY(bob->saidContains(QStringLiteral("alice  :  one\nalice  :  two\n")));
        QCOMPARE(bob->bytes("Got"), kGotHeader + "\xC7\xDC\xD2\r\n");
    }

    void refusedSendsInARealCopy()
    {
        useKeys("", "Key");
        alice->set("txtSend", QStringLiteral("no password"));
        alice->key("Return");
        QVERIFY(alice->sync());
        QCOMPARE(alice->boxes(), QStringList{"SVW|You must have a Password"});
        QCOMPARE(alice->text("txtSend"), QStringLiteral("no password"));
        QVERIFY(!alice->hasFile("temp"));

        alice->set("cbPre", QStringLiteral("abc"));
        alice->key("Tab");
        QVERIFY(alice->sync());
        QCOMPARE(alice->boxes().last(),
                 QStringLiteral("SVW|Your Prefix must have exactly 5 Characters, please reformat"));
        QCOMPARE(alice->text("cbPre"), QStringLiteral("-|?|-"));
    }

    void endingTheProgram()
    {
        // Exit ends a copy; closing the window ends it too when it is the
        // last window. The other copy goes on.
        alice->menu("mnuExit");
        QVERIFY(alice->finished());
        QCOMPARE(alice->exitStatus(), QProcess::NormalExit);
        QCOMPARE(alice->exitCode(), 0);

        bob->command("close");
        QVERIFY(bob->finished());
        QCOMPARE(bob->exitStatus(), QProcess::NormalExit);
        QCOMPARE(bob->exitCode(), 0);
    }

    void unknownRoomChoice()
    {
        SvwCopy wrong(QStringLiteral("carrier-pigeon"), QStringLiteral("carol"));
        QVERIFY(wrong.finished());
        QCOMPARE(wrong.exitCode(), 2);
        QVERIFY(wrong.standardError().contains("carrier-pigeon"));
        QCOMPARE(wrong.boxes().size(), 1);
        QVERIFY(wrong.boxes().first().startsWith(QStringLiteral("SVW|")));
        QVERIFY(wrong.boxes().first().contains(QStringLiteral("carrier-pigeon")));
    }

private:
    // Waits until both copies are in the room: both listen, and alice says
    // probes until bob hears one (a copy still joining would miss a line).
    // Then both boxes are emptied and the scratch files removed.
    void linkUp()
    {
        for (SvwCopy* copy : {alice.get(), bob.get()}) {
            copy->set("pw", QStringLiteral("probe"));
            copy->menu("mnuDE");
            QVERIFY(copy->sync());
        }
        bool heard = false;
        for (int attempt = 0; attempt < 40 && !heard; ++attempt) {
            const QString probe = QStringLiteral("probe %1").arg(attempt);
            alice->set("txtSend", probe);
            alice->key("Return");
            heard = bob->saidContains(probe, 250);
        }
        QVERIFY(heard);
        QVERIFY(alice->saidContains(QStringLiteral("alice  :  probe")));
        for (SvwCopy* copy : {alice.get(), bob.get()}) {
            copy->command("click", "cmdClear");
            QVERIFY(copy->sync());
            QCOMPARE(copy->said(), QString());
            copy->removeScratchFiles();
        }
    }

    void useKeys(const QString& alicePassword, const QString& bobPassword)
    {
        alice->set("pw", alicePassword);
        bob->set("pw", bobPassword);
        QVERIFY(alice->sync());
        QVERIFY(bob->sync());
    }

    // Alice says `text`; once the room has given it back to her it has gone
    // out to bob as well, and a short wait lets bob deal with it.
    void sayAndWaitForEcho(const QString& text)
    {
        alice->set("txtSend", text);
        alice->key("Return");
        QVERIFY(alice->saidContains(QStringLiteral("alice  :  ") + text));
        QTest::qWait(300);
        QVERIFY(bob->sync());
    }

    // The copies' runtime directory, where their local rooms are: the test's
    // own, so that no room's lock or socket is left behind.
    QTemporaryDir m_runtime;
    std::unique_ptr<SvwCopy> alice;
    std::unique_ptr<SvwCopy> bob;
    int m_rooms = 0;
};

QTEST_GUILESS_MAIN(SvwProgram)
#include "tst_svw_program.moc"
