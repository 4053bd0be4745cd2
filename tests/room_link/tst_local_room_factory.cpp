// SPDX-License-Identifier: GPL-3.0-or-later
// Choosing a room through SVW_ROOM, the user's name in it, and where the
// local rooms live.

#include "local_room.h"
#include "private_directory.h"
#include "room_factory.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace svw;

namespace {

// Sets an environment variable for one test and puts it back afterwards.
class ScopedEnv
{
public:
    ScopedEnv(const char* name, const QByteArray& value, bool set = true)
        : m_name(name), m_had(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name))
    {
        if (set)
            qputenv(name, value);
        else
            qunsetenv(name);
    }
    ~ScopedEnv()
    {
        if (m_had)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }

private:
    const char* m_name;
    bool m_had;
    QByteArray m_old;
};

QString loginName()
{
    QProcess id;
    id.start(QStringLiteral("id"), {QStringLiteral("-un")});
    id.waitForFinished();
    return QString::fromLocal8Bit(id.readAllStandardOutput()).trimmed();
}

} // namespace

class TestLocalRoomFactory : public QObject
{
    Q_OBJECT

private:
    // Stands in for $XDG_RUNTIME_DIR; short, so the longest room name's socket
    // path stays within the system's limit.
    QTemporaryDir m_runtime{QStringLiteral("/tmp/r-XXXXXX")};

private slots:
    void initTestCase() { QVERIFY(m_runtime.isValid()); }

    void localChoicesMakeLocalRooms_data()
    {
        QTest::addColumn<QString>("choice");
        QTest::addColumn<QString>("room");
        QTest::newRow("unset") << QString() << "default";
        QTest::newRow("local") << "local"
                               << "default";
        QTest::newRow("named") << "local:friends"
                               << "friends";
        QTest::newRow("every allowed sign") << "local:Az09-_.x"
                                            << "Az09-_.x";
        QTest::newRow("longest name") << "local:" + QString(64, 'n') << QString(64, 'n');
    }

    void localChoicesMakeLocalRooms()
    {
        QFETCH(QString, choice);
        QFETCH(QString, room);
        ScopedEnv runtime("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime.path()));

        QString error;
        std::unique_ptr<ChatRoomControl> control = createChatRoomControl(choice, "ann", &error);
        QVERIFY2(control, qPrintable(error));
        auto* local = qobject_cast<LocalRoom*>(control.get());
        QVERIFY(local);
        QCOMPARE(local->name(), room);
        QCOMPARE(local->nick(), QStringLiteral("ann"));
        QCOMPARE(local->directory(), m_runtime.filePath("svw"));
        QCOMPARE(local->socketPath(), m_runtime.filePath("svw/room-" + room + ".sock"));
        QTRY_COMPARE_WITH_TIMEOUT(local->state(), LocalRoom::State::Hosting, 5000);
    }

    void badChoicesAreExplained_data()
    {
        QTest::addColumn<QString>("choice");
        QTest::addColumn<QString>("hint");
        QTest::newRow("misspelt") << "lokal"
                                  << "names no room";
        QTest::newRow("capitals") << "Local"
                                  << "names no room";
        QTest::newRow("blank around") << " local"
                                      << "names no room";
        QTest::newRow("no such scheme") << "tcp://localhost:6667"
                                        << "names no room";
        QTest::newRow("empty name") << "local:"
                                    << "a local room's name";
        QTest::newRow("slash") << "local:a/b"
                               << "a local room's name";
        QTest::newRow("climbs out") << "local:../../etc"
                                    << "a local room's name";
        QTest::newRow("space") << "local:my room"
                               << "a local room's name";
        QTest::newRow("non-ASCII") << QString::fromUtf8("local:Zoë") << "a local room's name";
        QTest::newRow("too long") << "local:" + QString(65, 'n') << "a local room's name";
    }

    void badChoicesAreExplained()
    {
        QFETCH(QString, choice);
        QFETCH(QString, hint);
        ScopedEnv runtime("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime.path()));
        QString error;
        QVERIFY(!createChatRoomControl(choice, "ann", &error));
        QVERIFY2(error.contains(hint), qPrintable(error));
        QVERIFY2(error.contains('"' + choice + '"'), qPrintable(error));
        // The user is told what would work.
        QVERIFY2(error.contains("\"local:"), qPrintable(error));
    }

    void unusableDirectoryIsReportedAtStart()
    {
        QTemporaryDir runtime;
        const QString rooms = runtime.filePath("svw");
        QVERIFY(::mkdir(QFile::encodeName(rooms).constData(), 0755) == 0);
        ScopedEnv env("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        QString error;
        QVERIFY(!createChatRoomControl("local", "ann", &error));
        QVERIFY2(error.contains(rooms) && error.contains("0755"), qPrintable(error));
    }

    void roomDirectoryFollowsTheRuntimeDirectory_data()
    {
        QTest::addColumn<QString>("setting"); // "private", "open", "relative", "missing", "unset"
        QTest::addColumn<bool>("used");
        QTest::newRow("private") << "private" << true;
        QTest::newRow("open to others") << "open" << false;
        QTest::newRow("relative") << "relative" << false;
        QTest::newRow("missing") << "missing" << false;
        QTest::newRow("unset") << "unset" << false;
    }

    void roomDirectoryFollowsTheRuntimeDirectory()
    {
        QFETCH(QString, setting);
        QFETCH(bool, used);
        QTemporaryDir runtime;
        QString value = runtime.path();
        if (setting == "open")
            QVERIFY(::chmod(QFile::encodeName(value).constData(), 0755) == 0);
        else if (setting == "relative")
            value = "run/user";
        else if (setting == "missing")
            value = runtime.filePath("gone");
        ScopedEnv env("XDG_RUNTIME_DIR", QFile::encodeName(value), setting != "unset");
        // The fallback is made in the temporary directory: the test's own.
        QTemporaryDir temporary;
        ScopedEnv tmpdir("TMPDIR", QFile::encodeName(temporary.path()));

        // Unset, the sessions' runtime directory stands in where this machine
        // has one for the user.
        const QString sessions = QStringLiteral("/run/user/%1").arg(::geteuid());
        struct stat st;
        const bool sessionsUsed =
            setting == "unset" && ::lstat(QFile::encodeName(sessions).constData(), &st) == 0 &&
            S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 0777) == 0700;
        const QString expected =
            used           ? value + "/svw"
            : sessionsUsed ? sessions + "/svw"
                           : temporary.path() + QStringLiteral("/svw-%1").arg(::geteuid());
        QCOMPARE(defaultLocalRoomDirectory(), expected);
    }

    void nickComesFromSvwNickOrTheLogin()
    {
        const QString login = loginName();
        QVERIFY(!login.isEmpty());
        {
            ScopedEnv nick("SVW_NICK", QString::fromUtf8("Zoë 😀").toUtf8());
            QCOMPARE(defaultNick(), QString::fromUtf8("Zoë 😀"));
        }
        {
            ScopedEnv nick("SVW_NICK", " spaced ");
            QCOMPARE(defaultNick(), QStringLiteral(" spaced "));
        }
        for (const QByteArray& blank : {QByteArray(""), QByteArray("  \t")}) {
            ScopedEnv nick("SVW_NICK", blank);
            QCOMPARE(defaultNick(), login);
        }
        ScopedEnv unset("SVW_NICK", {}, false);
        QCOMPARE(defaultNick(), login);
    }
};

QTEST_GUILESS_MAIN(TestLocalRoomFactory)
#include "tst_local_room_factory.moc"
