// SPDX-License-Identifier: GPL-3.0-or-later
// The scratch files in a folder where someone else planted entries under
// their names: links, FIFOs, files of another user, hard links. Nothing may
// be written through them, nothing may block, and the user is told which
// file and why. Each case runs in a child process with an alarm, so an open
// that blocks fails the case instead of hanging the run; the cases where the
// user cannot remove the entry run as an ordinary user, since root may
// remove anything.

#include "scratch_sequences.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace svw;

namespace {

constexpr int kHung = -1;
const char kTestUser[] = "svwscratch";

// Runs `step` in a child process in `folder`, as `user` when given, with
// the usual umask; returns its exit code, or kHung when the alarm stopped it.
int inChild(const QString& folder, const std::function<int()>& step, const passwd* user = nullptr)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(10);
        ::umask(022);
        if (user && (::setgroups(0, nullptr) != 0 ||
                     ::setresgid(user->pw_gid, user->pw_gid, user->pw_gid) != 0 ||
                     ::setresuid(user->pw_uid, user->pw_uid, user->pw_uid) != 0))
            ::_exit(90);
        if (::chdir(QFile::encodeName(folder).constData()) != 0)
            ::_exit(91);
        ::_exit(step());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM)
        return kHung;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

// 0 when the scratch file `name` failed and the error names it.
int failsOn(const std::optional<ScratchError>& error, const QString& name)
{
    return error && error->file == name && !error->reason.isEmpty() ? 0 : 1;
}

// Sends or receives one line, whichever goes through `name`.
int passLineThrough(const QString& name)
{
    if (name == ScratchFiles::kSentFile) {
        const SentLine sent = encipherThroughScratch("secret words", "pw");
        return failsOn(sent.fileError, name) + (sent.cipherLine.isEmpty() ? 0 : 2);
    }
    const QString cipher = encodeToString(u"secret words", u"pw").line;
    return failsOn(decipherThroughScratch(cipher, "pw").fileError, name);
}

// Writes `bytes` to a new file at `path`, with `mode` past the umask, owned
// by `uid` when given.
void writeFile(const QString& path, const QByteArray& bytes, mode_t mode = 0644,
               uid_t uid = uid_t(-1), gid_t gid = gid_t(-1))
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    f.close();
    const QByteArray native = QFile::encodeName(path);
    QCOMPARE(::chmod(native.constData(), mode), 0);
    QCOMPARE(::chown(native.constData(), uid, gid), 0);
}

// The permission bits of what `path` names, and the kind of the entry itself.
mode_t permissionsOf(const QString& path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

mode_t kindAt(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & S_IFMT) : 0;
}

QByteArray bytesOf(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

// Plants `kind` under `entry`: a link to or a hard link of `target`, a FIFO,
// or a file of another user that anyone may write.
void plant(const QByteArray& kind, const QString& entry, const QString& target)
{
    const QByteArray path = QFile::encodeName(entry);
    if (kind == "link")
        QVERIFY(QFile::link(target, entry));
    else if (kind == "hard link")
        QCOMPARE(::link(QFile::encodeName(target).constData(), path.constData()), 0);
    else if (kind == "fifo") {
        QCOMPARE(::mkfifo(path.constData(), 0666), 0);
        QCOMPARE(::chmod(path.constData(), 0666), 0); // past the umask
    } else if (kind == "foreign") {
        writeFile(entry, "theirs", 0666, 65534, 65534);
    }
}

} // namespace

class TestScratchPlantedEntries : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;

    QString makeFolder(const QString& name) const
    {
        QString path = m_root.filePath(name);
        QDir().mkpath(path);
        return path;
    }

private slots:
    void initTestCase() { QVERIFY(m_root.isValid()); }

    // What one copy's own steps open after creating a file (appending,
    // reading back) never writes or reads through what was put there since.
    void appendAndReadBackRefusePlantedEntries_data()
    {
        QTest::addColumn<QByteArray>("kind");
        for (const char* kind : {"link", "fifo", "foreign", "hard link"})
            QTest::newRow(kind) << QByteArray(kind);
    }

    void appendAndReadBackRefusePlantedEntries()
    {
        QFETCH(QByteArray, kind);
        if (kind == "foreign" && ::geteuid() != 0)
            QSKIP("needs root, to give a file to another user");
        const QString folder = makeFolder(QString::fromLatin1(kind));
        const QString precious = folder + "/precious";
        writeFile(precious, "\"SVW Message\"\r\nprecious");
        plant(kind, folder + "/message", precious);

        const int result = inChild(folder, [] {
            ScratchFiles appending;
            appending.OpenAppend(ScratchFiles::kMessageFile);
            appending.AppendChar('x');
            appending.CloseAll();
            ScratchFiles reading;
            const QString line = reading.ReadBack(ScratchFiles::kMessageFile);
            return failsOn(appending.error(), ScratchFiles::kMessageFile) +
                   2 * failsOn(reading.error(), ScratchFiles::kMessageFile) +
                   (line.isEmpty() ? 0 : 4);
        });
        QVERIFY2(result != kHung, "opening the planted entry blocked");
        QCOMPARE(result, 0);
        QCOMPARE(bytesOf(precious), QByteArray("\"SVW Message\"\r\nprecious"));
    }

    // Made for their owner alone, also when the umask would allow more and
    // when an older file under the name allowed more.
    void filesAreForTheirOwnerAlone()
    {
        const QString folder = makeFolder("modes");
        writeFile(folder + "/message", {}, 0644);
        const int result = inChild(folder, [] {
            ::umask(0);
            ScratchFiles appending;
            appending.OpenAppend(ScratchFiles::kMessageFile);
            appending.CloseAll();
            const bool sent = encipherThroughScratch("hello", "pw").ok();
            ::umask(0277);
            const bool got = !decipherThroughScratch("abc", "pw").fileError;
            return (appending.error() ? 1 : 0) + (sent ? 0 : 2) + (got ? 0 : 4);
        });
        QCOMPARE(result, 0);
        for (const char* name : {"temp", "Got", "message"})
            QCOMPARE(permissionsOf(folder + '/' + name), mode_t(0600));
    }

    // Folders where the user cannot remove what is under the name: their own
    // folder made read-only, or a shared sticky folder where the entry is
    // another user's.
    void entriesTheUserCannotRemove_data()
    {
        QTest::addColumn<QByteArray>("folder");
        QTest::addColumn<QByteArray>("kind");
        QTest::addColumn<QString>("name");
        for (const char* name : {"temp", "Got", "message"}) {
            QTest::addRow("read-only, link as %s", name)
                << QByteArray("read-only") << QByteArray("link") << name;
            QTest::addRow("sticky, link as %s", name)
                << QByteArray("sticky") << QByteArray("link") << name;
            QTest::addRow("sticky, fifo as %s", name)
                << QByteArray("sticky") << QByteArray("fifo") << name;
        }
        QTest::newRow("sticky, another user's message")
            << QByteArray("sticky") << QByteArray("foreign") << "message";
        QTest::newRow("read-only, hard link as temp")
            << QByteArray("read-only") << QByteArray("hard link") << "temp";
        QTest::newRow("read-only, own files") << QByteArray("read-only") << QByteArray("own") << "";
    }

    void entriesTheUserCannotRemove()
    {
        QFETCH(QByteArray, folder);
        QFETCH(QByteArray, kind);
        QFETCH(QString, name);
        if (::geteuid() != 0)
            QSKIP("needs root, to run the program as a second, ordinary user");
        if (!::getpwnam(kTestUser))
            QProcess::execute("useradd", {"--system", "--no-create-home", "--shell",
                                          "/usr/sbin/nologin", kTestUser});
        const passwd* user = ::getpwnam(kTestUser);
        if (!user)
            QSKIP("the ordinary user for this test cannot be created (useradd)");
        const uid_t uid = user->pw_uid;
        const gid_t gid = user->pw_gid;
        QCOMPARE(::chmod(QFile::encodeName(m_root.path()).constData(), 0711), 0);

        // The user's own precious file, somewhere else.
        const QString own = makeFolder(QString::fromLatin1(QTest::currentDataTag()) + "/own");
        const QString precious = own + "/precious";
        writeFile(precious, "precious", 0644, uid, gid);
        QCOMPARE(::chown(QFile::encodeName(own).constData(), uid, gid), 0);

        const QString work = makeFolder(QString::fromLatin1(QTest::currentDataTag()) + "/work");
        const QByteArray workPath = QFile::encodeName(work);
        QStringList planted;
        if (kind == "own")
            planted = QStringList{"temp", "Got", "message"};
        else if (name == "message")
            planted = QStringList{"Got"}; // the user's own, so that "message" is reached
        // The user's own files from an earlier, longer line: reused, they
        // must be cut, or the old line's end is read back after the new one.
        const QByteArray older = "\"SVW Message\"\r\n" + QByteArray(300, 'o') + "OLDER-TAIL";
        for (const QString& entry : planted)
            writeFile(work + '/' + entry, kind == "own" ? older : QByteArray(), 0644, uid, gid);
        if (kind != "own")
            plant(kind, work + '/' + name, precious);
        if (folder == "read-only") {
            // Everything in it is the user's, and they cannot change the folder.
            for (const QString& entry :
                 QDir(work).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
                QCOMPARE(::lchown(QFile::encodeName(work + '/' + entry).constData(), uid, gid), 0);
            QCOMPARE(::chown(workPath.constData(), uid, gid), 0);
            QCOMPARE(::chmod(workPath.constData(), 0555), 0);
        } else {
            QCOMPARE(::chmod(workPath.constData(), 01777), 0);
        }
        const mode_t plantedKind = kindAt(work + '/' + name);

        const int result = inChild(
            work,
            [&] {
                if (kind != "own")
                    return passLineThrough(name);
                const SentLine sent = encipherThroughScratch("hello", "pw");
                const ReceivedLine got =
                    decipherThroughScratch(encodeToString(u"hi", u"pw").line, "pw");
                return (sent.ok() ? 0 : 1) +
                       (sent.cipherLine == encodeToString(u"hello", u"pw").line ? 0 : 2) +
                       (!got.fileError ? 0 : 4) + (got.plainLine == "hi" ? 0 : 8);
            },
            user);
        QVERIFY2(result != kHung, "a scratch file operation blocked");
        QCOMPARE(result, 0);
        QCOMPARE(bytesOf(precious), QByteArray("precious"));
        if (kind == "own") {
            for (const QString& entry : planted) {
                QCOMPARE(permissionsOf(work + '/' + entry), mode_t(0600));
                QVERIFY(QFileInfo(work + '/' + entry).size() > 0);
                QVERIFY2(!bytesOf(work + '/' + entry).contains("OLDER-TAIL"), qPrintable(entry));
            }
        } else {
            QCOMPARE(kindAt(work + '/' + name), plantedKind);
        }
    }
};

QTEST_GUILESS_MAIN(TestScratchPlantedEntries)
#include "tst_scratch_planted_entries.moc"
