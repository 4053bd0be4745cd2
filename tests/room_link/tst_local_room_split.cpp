// SPDX-License-Identifier: GPL-3.0-or-later
// The local room stays one room whatever happens to its directory, with
// copies in processes of their own: a directory where nothing more can be
// written, files planted where the room keeps its epoch, the directory
// removed under running copies, a fallback another user held and freed.
// Every line said is counted in every window: none lost, doubled, reordered
// or heard in one room and not the other.

#include "local_room_peers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using svw::test::formed;
using svw::test::kPeerWaitMs;
using svw::test::LineCount;
using svw::test::Peer;

namespace {

const QString kTuning = QStringLiteral("heartbeat=100,silence=800,tell=500");

// A process that may not write a byte to any file, as on a full disk:
// writes fail (EFBIG) instead of ending the process.
void noRoomOnDisk()
{
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit none = {0, 0};
    ::setrlimit(RLIMIT_FSIZE, &none);
}

} // namespace

class TestLocalRoomSplit : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_base;
    int m_rooms = 0;

    QString freshPath(const QString& what)
    {
        return m_base.filePath(QStringLiteral("%1-%2").arg(what).arg(++m_rooms));
    }

    static QProcessEnvironment environment(const QString& runtime, const QString& tmp,
                                           const QString& home = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("SVW_TEST_ROOM_TUNING", kTuning);
        if (runtime.isEmpty())
            env.remove("XDG_RUNTIME_DIR");
        else
            env.insert("XDG_RUNTIME_DIR", runtime);
        env.insert("TMPDIR", tmp);
        if (!home.isEmpty())
            env.insert("HOME", home);
        return env;
    }

    // A host frozen while the others re-form, then back: the room has one
    // host and every copy, the returning one and one started later, in it.
    void freezeHostAndComeBack(const QString& dir, const std::function<void()>& modifier)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("SVW_TEST_ROOM_TUNING", kTuning);
        env.insert("XDG_RUNTIME_DIR", dir);
        Peer ann("ann", dir, env, modifier);
        QTRY_VERIFY_WITH_TIMEOUT(ann.hosting(), kPeerWaitMs);
        Peer bob("bob", dir, env, modifier);
        Peer cay("cay", dir, env, modifier);
        QTRY_VERIFY_WITH_TIMEOUT(formed({&ann, &bob, &cay}), kPeerWaitMs);

        LineCount count;
        count.say(ann, "before", {&ann, &bob, &cay});
        QCOMPARE(count.problems(), QString());

        ann.stop();
        count.say(bob, "while frozen", {&ann, &bob, &cay});
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         return formed({&bob, &cay});
                     },
                     kPeerWaitMs),
                 qPrintable(bob.status() + " / " + cay.status()));
        count.say(cay, "still frozen", {&ann, &bob, &cay});
        QTRY_COMPARE_WITH_TIMEOUT(bob.countOf("cay: still frozen"), 1, kPeerWaitMs);

        ann.resume();
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         return formed({&ann, &bob, &cay}) && !ann.hosting();
                     },
                     kPeerWaitMs),
                 qPrintable(ann.status()));
        Peer dan("dan", dir, env, modifier);
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         return formed({&ann, &bob, &cay, &dan});
                     },
                     kPeerWaitMs),
                 qPrintable(dan.status()));
        for (Peer* peer : {&ann, &bob, &cay, &dan})
            count.say(*peer, "all back", {&ann, &bob, &cay, &dan});
        QCOMPARE(count.problems(), QString());
    }

private slots:
    void initTestCase() { QVERIFY(m_base.isValid()); }

    // Nothing can be written in the directory (a full tmpfs): moving on from
    // a frozen host must not depend on writing down where the room went.
    void fullDirectoryAndFrozenHost()
    {
        const QString dir = freshPath("rooms");
        freezeHostAndComeBack(dir, noRoomOnDisk);
        QVERIFY(!QFile::exists(dir + "/room-test.epoch"));
    }

    // What someone put where an older version kept the room's epoch is
    // neither read, nor waited on, nor written through.
    void plantedEpochFileIsLeftAlone_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("fifo") << "fifo";
        QTest::newRow("link") << "link";
    }
    void plantedEpochFileIsLeftAlone()
    {
        QFETCH(QString, kind);
        const QString dir = freshPath("rooms");
        QVERIFY(QDir().mkdir(dir) &&
                QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        const QString epoch = dir + "/room-test.epoch";
        const QString precious = freshPath("precious-notes.txt");
        {
            QFile notes(precious);
            QVERIFY(notes.open(QIODevice::WriteOnly));
            notes.write("my notes\n");
        }
        if (kind == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(epoch).constData(), 0600), 0);
        else
            QVERIFY(QFile::link(precious, epoch));

        freezeHostAndComeBack(dir, {});
        QFile notes(precious);
        QVERIFY(notes.open(QIODevice::ReadOnly));
        QCOMPARE(notes.readAll(), QByteArray("my notes\n"));
    }

    // The runtime directory goes while copies run (the last log-out, a
    // cleaner), whole or only the room's folder in it: a copy started after
    // meets the others, and nobody loses a line.
    void directoryRemovedUnderRunningCopies_data()
    {
        QTest::addColumn<bool>("whole");
        QTest::newRow("runtime directory") << true;
        QTest::newRow("the room's folder") << false;
    }
    void directoryRemovedUnderRunningCopies()
    {
        QFETCH(bool, whole);
        const QString runtime = freshPath("run");
        const QString tmp = freshPath("tmp");
        QVERIFY(QDir().mkdir(runtime) && QDir().mkdir(tmp));
        QVERIFY(
            QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        const QProcessEnvironment env = environment(runtime, tmp);
        Peer ann("ann", "-", env, {});
        QTRY_VERIFY_WITH_TIMEOUT(ann.hosting(), kPeerWaitMs);
        Peer bob("bob", "-", env, {});
        QTRY_VERIFY_WITH_TIMEOUT(formed({&ann, &bob}), kPeerWaitMs);
        LineCount count;
        count.say(ann, "before", {&ann, &bob});
        count.say(bob, "before", {&ann, &bob});
        QCOMPARE(count.problems(), QString());

        QVERIFY(QDir(whole ? runtime : runtime + "/svw").removeRecursively());
        Peer cay("cay", "-", env, {});
        QTRY_VERIFY_WITH_TIMEOUT(cay.hosting() || cay.joined(), kPeerWaitMs);
        // Said while the copies may still be apart.
        count.say(ann, "apart", {&ann, &bob, &cay});
        count.say(bob, "apart", {&ann, &bob, &cay});
        count.say(cay, "apart", {&ann, &bob, &cay});
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         return formed({&ann, &bob, &cay});
                     },
                     kPeerWaitMs),
                 qPrintable(ann.status() + " / " + bob.status() + " / " + cay.status()));
        for (Peer* peer : {&ann, &bob, &cay})
            count.say(*peer, "together", {&ann, &bob, &cay});
        count.tolerate("ann: before"); // offered to the new host, said before cay came
        count.tolerate("bob: before");
        QCOMPARE(count.problems(), QString());
    }

    // Without a runtime directory, another user held the temporary fallback
    // (the copies met in the home) and then freed it: copies started before
    // and after meet.
    void fallbackFreedLater()
    {
        const QString tmp = freshPath("tmp");
        const QString home = freshPath("home");
        const QString elsewhere = freshPath("theirs");
        QVERIFY(QDir().mkdir(tmp) && QDir().mkdir(home) && QDir().mkdir(elsewhere));
        const QString fallback = tmp + QStringLiteral("/svw-%1").arg(::geteuid());
        // Taken as another user could: a link to a directory of theirs.
        QVERIFY(QFile::link(elsewhere, fallback));

        // A runtime directory that is passed over (not absolute), rather than
        // none, which would send the copies to the machine's /run/user.
        const QProcessEnvironment env = environment("not/absolute", tmp, home);
        Peer ann("ann", "-", env, {});
        QTRY_VERIFY_WITH_TIMEOUT(ann.hosting(), kPeerWaitMs);
        Peer bob("bob", "-", env, {});
        QTRY_VERIFY_WITH_TIMEOUT(formed({&ann, &bob}), kPeerWaitMs);
        QVERIFY(QFile::exists(home + "/.cache/svw-rooms/room-test.lock"));
        LineCount count;
        count.say(ann, "in the home", {&ann, &bob});
        QCOMPARE(count.problems(), QString());

        QVERIFY(QFile::remove(fallback));
        Peer cay("cay", "-", env, {});
        QTRY_VERIFY_WITH_TIMEOUT(cay.hosting() || cay.joined(), kPeerWaitMs);
        count.say(ann, "freed", {&ann, &bob, &cay});
        count.say(cay, "freed", {&ann, &bob, &cay});
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         return formed({&ann, &bob, &cay});
                     },
                     kPeerWaitMs),
                 qPrintable(ann.status() + " / " + bob.status() + " / " + cay.status()));
        for (Peer* peer : {&ann, &bob, &cay})
            count.say(*peer, "together", {&ann, &bob, &cay});
        count.tolerate("ann: in the home");
        QCOMPARE(count.problems(), QString());
        QVERIFY(QFile::exists(fallback + "/room-test.lock"));
    }

    // A copy started with the session's XDG_RUNTIME_DIR and one started
    // without it (cron, sudo) are in the same default room. /run/user is
    // made afresh in a mount namespace of this test's own, so nothing of
    // the machine's is touched. Last: the namespace stays to the end.
    void defaultRoomWithAndWithoutTheVariable()
    {
        if (!QFileInfo(QStringLiteral("/run/user")).isDir())
            QSKIP("there is no /run/user on this machine to stand in for");
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", "/run/user", "tmpfs", 0, "mode=0755") != 0)
            QSKIP("a mount namespace of its own needs root");
        auto unmount = qScopeGuard([] { ::umount2("/run/user", MNT_DETACH); });
        const QString runtime = QStringLiteral("/run/user/%1").arg(::geteuid());
        QCOMPARE(::mkdir(QFile::encodeName(runtime).constData(), 0700), 0);
        const QString tmp = freshPath("tmp");
        QVERIFY(QDir().mkdir(tmp));

        Peer ann("ann", "-", environment(runtime, tmp), {});
        QTRY_VERIFY_WITH_TIMEOUT(ann.hosting(), kPeerWaitMs);
        Peer bob("bob", "-", environment({}, tmp), {});
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         return formed({&ann, &bob});
                     },
                     kPeerWaitMs),
                 qPrintable(bob.status()));
        LineCount count;
        count.say(ann, "with", {&ann, &bob});
        count.say(bob, "without", {&ann, &bob});
        QCOMPARE(count.problems(), QString());
        QVERIFY(QFile::exists(runtime + "/svw/room-test.lock"));
    }
};

QTEST_GUILESS_MAIN(TestLocalRoomSplit)
#include "tst_local_room_split.moc"
