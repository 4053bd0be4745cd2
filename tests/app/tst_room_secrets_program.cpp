// SPDX-License-Identifier: GPL-3.0-or-later
// A room's SASL password, typed in the room dialog of the real program,
// goes to the desktop's keyring and to no file of the user's: once with a
// real Secret Service (gnome-keyring-daemon in a private D-Bus session,
// under the test's own HOME), where it is found again and not asked for at
// the next start; once with no keyring at all, where it is kept in memory
// only and asked for at the next start.
//
// Once for an IRC account, once for an XMPP one. No server is needed: the
// room is made, remembered and retried against a port where nothing listens.

#include "irc_test_server.h"
#include "svw_copy.h"

#include <QDirIterator>
#include <QStandardPaths>
#include <QTest>

using svw::testing::SvwCopy;
using namespace Qt::StringLiterals;

namespace {

constexpr int kWaitMs = 20000;
const QString kSaslPassword = u"sasl-pw-7311"_s;

// Every file under `folder` that holds `text`, but those under `except`.
QStringList filesHolding(const QString& folder, const QString& text, const QString& except = {})
{
    QStringList holding;
    QDirIterator files(folder, QDir::Files | QDir::Hidden | QDir::System,
                       QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString path = files.next();
        if (!except.isEmpty() && path.startsWith(except))
            continue;
        QFile file(path);
        if (file.open(QIODevice::ReadOnly) && file.readAll().contains(text.toUtf8()))
            holding.append(path);
    }
    return holding;
}

// Runs the program in a D-Bus session of its own with gnome-keyring's
// Secret Service, its keyring unlocked and kept under the test's HOME; when
// the program has ended, what the keyring holds for the program is written
// to `found`, and the keyring is ended.
QString writeKeyringLauncher(const QString& folder, const QString& found)
{
    const QString path = QDir(folder).filePath(u"with-keyring.sh"_s);
    QFile script(path);
    if (!script.open(QIODevice::WriteOnly))
        return {};
    script.write(QStringLiteral(R"(#!/bin/sh
printf 'test-unlock' | gnome-keyring-daemon --foreground --unlock --components=secrets >/dev/null &
keyring=$!
until dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q true; do
    sleep 0.05
done
"$@"
status=$?
secret-tool search --all --unlock server svw > '%1' 2>&1
kill $keyring
wait $keyring
exit $status
)")
                     .arg(found)
                     .toUtf8());
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

} // namespace

class TestRoomSecretsProgram : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        for (const char* tool : {"dbus-run-session", "gnome-keyring-daemon", "secret-tool"}) {
            if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
                QFAIL(qPrintable(u"%1 is missing: scripts/install-deps test installs it"_s.arg(
                    QLatin1String(tool))));
        }
        m_port = svw::test::freeLocalPort();
    }

    void passwordGoesToTheKeyringAndNowhereElse_data()
    {
        QTest::addColumn<QString>("address");
        QTest::newRow("irc") << u"irc://kim@127.0.0.1:%1/#meet"_s.arg(m_port);
        // An XMPP account's password, kept as an IRC account's is.
        QTest::newRow("xmpp") << u"xmpp:meet@conference.localhost?join"_s;
    }

    void passwordGoesToTheKeyringAndNowhereElse()
    {
        QFETCH(QString, address);
        m_address = address;
        QTemporaryDir home;
        const QString found = QDir(home.path()).filePath(u"found-in-keyring"_s);
        QTemporaryDir scratch;
        const QString launcher = writeKeyringLauncher(scratch.path(), found);
        QVERIFY(!launcher.isEmpty());
        const SvwCopy::WithoutRoom start{
            {},
            QDir(home.path()).filePath(u".config"_s),
            home.path(),
            {},
            {u"dbus-run-session"_s, u"--"_s, u"sh"_s, launcher},
            [&home](QProcessEnvironment& env) {
                env.insert(u"XDG_DATA_HOME"_s, QDir(home.path()).filePath(u".local/share"_s));
                env.remove(u"DBUS_SESSION_BUS_ADDRESS"_s);
            }};
        {
            SvwCopy kim(start, u"kim"_s);
            QVERIFY(kim.started());
            chooseRoomWithAccount(kim);
            QVERIFY2(kim.text("secretsNote").contains(u"keyring"_s), qPrintable(kim.said()));
            kim.command("click", "enterRoom");
            QVERIFY(kim.saidContains(u"Now in "_s, kWaitMs));
            kim.menu("mnuExit");
            QVERIFY(kim.finished(kWaitMs));
        }
        QFile keyring(found);
        QVERIFY(keyring.open(QIODevice::ReadOnly));
        const QByteArray held = keyring.readAll();
        QVERIFY2(held.contains(kSaslPassword.toUtf8()), held.constData());
        QVERIFY2(held.contains(m_address.toUtf8()), held.constData());
        // The keyring's own files hold it, enciphered; no other file does.
        const QString keyrings = QDir(home.path()).filePath(u".local/share/keyrings"_s);
        QVERIFY(QFileInfo(keyrings).isDir());
        QCOMPARE(filesHolding(home.path(), kSaslPassword, found), QStringList());
        QVERIFY(!filesHolding(QDir(home.path()).filePath(u".config"_s), m_address).isEmpty());

        // The next start takes it from the keyring: nobody is asked.
        keyring.remove();
        SvwCopy again(start, u"kim"_s);
        QVERIFY(again.started());
        QCOMPARE(again.reported("ask "), QByteArray());
        again.menu("mnuExit");
        QVERIFY(again.finished(kWaitMs));
    }

    void withoutKeyringThePasswordIsAskedForAndNotWritten()
    {
        m_address = u"irc://kim@127.0.0.1:%1/#meet"_s.arg(m_port);
        QTemporaryDir home;
        const auto noKeyring = [](QProcessEnvironment& env) {
            env.remove(u"DBUS_SESSION_BUS_ADDRESS"_s);
            env.remove(u"DISPLAY"_s); // nor one started for the display
            env.insert(u"SVW_TEST_ANSWER"_s, u"typed-again-5"_s);
        };
        const SvwCopy::WithoutRoom start{
            {}, QDir(home.path()).filePath(u".config"_s), home.path(), {}, {}, noKeyring};
        {
            SvwCopy kim(start, u"kim"_s);
            QVERIFY(kim.started());
            chooseRoomWithAccount(kim);
            QVERIFY(kim.text("secretsNote").contains(u"memory only"_s));
            kim.command("click", "enterRoom");
            QVERIFY(kim.saidContains(u"Now in "_s, kWaitMs));
            QCOMPARE(kim.reported("ask "), QByteArray()); // typed in the dialog: not asked
            kim.menu("mnuExit");
            QVERIFY(kim.finished(kWaitMs));
        }
        QCOMPARE(filesHolding(home.path(), kSaslPassword), QStringList());

        SvwCopy again(start, u"kim"_s);
        QVERIFY(again.started());
        const QByteArray asked = QByteArray::fromPercentEncoding(again.reported("ask "));
        QVERIFY2(asked.contains("account kim_acct"), asked.constData());
        again.menu("mnuExit");
        QVERIFY(again.finished(kWaitMs));
        QCOMPARE(filesHolding(home.path(), u"typed-again-5"_s), QStringList());
    }

private:
    void chooseRoomWithAccount(SvwCopy& copy)
    {
        const QUrl url(m_address);
        copy.command("click", "roomIndicator");
        copy.set("roomAddress", m_address);
        if (m_address.startsWith(u"xmpp:"_s)) {
            copy.set("xmppAccount", u"kim@localhost"_s);
            copy.set("xmppPassword", kSaslPassword);
            copy.set("xmppServer", u"127.0.0.1:%1"_s.arg(m_port));
            QVERIFY(copy.sync());
            QCOMPARE(copy.text("xmppRoom"), u"meet@conference.localhost"_s);
            return;
        }
        copy.set("ircSaslAccount", u"kim_acct"_s);
        copy.set("ircSaslPassword", kSaslPassword);
        QVERIFY(copy.sync());
        QCOMPARE(copy.text("ircHost"), url.host());
    }

    QString m_address;
    quint16 m_port = 0;
};

QTEST_GUILESS_MAIN(TestRoomSecretsProgram)
#include "tst_room_secrets_program.moc"
