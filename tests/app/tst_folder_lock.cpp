// SPDX-License-Identifier: GPL-3.0-or-later
// One copy of the program a working folder: the lock alone, then real
// copies started in one folder.

#include "folder_lock.h"
#include "svw_copy.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <grp.h>
#include <memory>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

using svw::FolderLock;
using svw::testing::SvwCopy;

namespace {

QStringList entriesOf(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::Hidden |
                                  QDir::NoDotAndDotDot);
}

} // namespace

class TestFolderLock : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_runtime;
    std::unique_ptr<QTemporaryDir> m_folder;

private slots:
    void init()
    {
        m_runtime = std::make_unique<QTemporaryDir>();
        m_folder = std::make_unique<QTemporaryDir>();
        QVERIFY(m_runtime->isValid() && m_folder->isValid());
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime->path()));
    }

    void oneHolderAFolderHoweverItIsNamed()
    {
        auto first = std::make_unique<FolderLock>();
        QString message;
        QCOMPARE(first->claim(&message, m_folder->path()), FolderLock::Claim::Ours);
        QVERIFY(message.isEmpty());
        QCOMPARE(first->folder(), m_folder->path());

        // Another path to the same folder finds the same lock.
        const QString alias = m_runtime->filePath("alias");
        QVERIFY(QFile::link(m_folder->path(), alias));
        FolderLock second;
        QCOMPARE(second.claim(&message, alias + "/."), FolderLock::Claim::TakenByAnother);
        QVERIFY(message.contains(alias));
        QVERIFY(message.contains("folder of its own"));

        // Another folder is free.
        QTemporaryDir elsewhere;
        FolderLock third;
        QCOMPARE(third.claim(&message, elsewhere.path()), FolderLock::Claim::Ours);

        first.reset();
        FolderLock fourth;
        QCOMPARE(fourth.claim(&message, m_folder->path()), FolderLock::Claim::Ours);
        QVERIFY(entriesOf(m_folder->path()).isEmpty());
    }

    void aFolderThatCannotBeGuardedIsSaid()
    {
        FolderLock lock;
        QString message;
        QCOMPARE(lock.claim(&message, m_folder->filePath("gone")), FolderLock::Claim::Unguarded);
        QVERIFY(message.contains("gone"));

        // The lock is the folder's own: a runtime directory that cannot be
        // used does not leave the folder unguarded.
        QFile blocker(m_runtime->filePath("svw"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        message.clear();
        QCOMPARE(lock.claim(&message, m_folder->path()), FolderLock::Claim::Ours);
        FolderLock second;
        QCOMPARE(second.claim(&message, m_folder->path()), FolderLock::Claim::TakenByAnother);
    }

    // A second copy started in the folder of a running one brings the running
    // copy's window forward and ends, without touching the folder, whatever
    // its environment says (another runtime directory, as sudo or cron give).
    // Once the first is killed the folder is free again at once.
    void secondCopyInOneFolder()
    {
        const QString room =
            QStringLiteral("local:folder-%1").arg(QCoreApplication::applicationPid());
        const QString folder = m_folder->path();
        auto first = std::make_unique<SvwCopy>(room, "ann", folder, m_runtime->path());
        QVERIFY(first->started());

        QTemporaryDir otherRuntime;
        for (const QString& runtime : {m_runtime->path(), otherRuntime.path()}) {
            SvwCopy second(room, "bob", folder, runtime);
            QVERIFY(second.finished());
            QCOMPARE(second.exitStatus(), QProcess::NormalExit);
            QCOMPARE(second.exitCode(), 0);
            QVERIFY(second.boxes().isEmpty());
            QVERIFY(second.standardError().contains("brought forward"));
        }
        QByteArray told;
        QTRY_COMPARE_WITH_TIMEOUT((told += first->standardError()).count("brought this window"), 2,
                                  5000);
        QVERIFY(entriesOf(folder).isEmpty());
        QVERIFY(first->sync());

        // A running copy that cannot answer (stopped) still keeps a second
        // one out, which then says why.
        ::kill(pid_t(first->processId()), SIGSTOP);
        {
            SvwCopy third(room, "cay", folder, otherRuntime.path());
            QVERIFY(third.finished(20000));
            ::kill(pid_t(first->processId()), SIGCONT);
            QCOMPARE(third.exitCode(), 2);
            const QStringList boxes = third.boxes();
            QCOMPARE(boxes.size(), 1);
            QVERIFY(boxes.first().startsWith("SVW|"));
            QVERIFY(boxes.first().contains(folder));
            QVERIFY(boxes.first().contains("folder of its own"));
        }
        QVERIFY(entriesOf(folder).isEmpty());

        first->killHard();
        SvwCopy fourth(room, "cid", folder, otherRuntime.path());
        QVERIFY(fourth.started());
        QVERIFY(fourth.boxes().isEmpty());
    }

    // A folder the program cannot lock (here: one it may write in but not
    // read, as another user) is said beside the window, not only on
    // standard error; the program still runs.
    void unguardedFolderIsToldInTheWindow()
    {
        if (::geteuid() != 0)
            QSKIP("starting the program as another user needs root");
        constexpr uid_t kNobody = 65534;
        QTemporaryDir base;
        QVERIFY(base.isValid());
        QVERIFY(::chmod(QFile::encodeName(base.path()).constData(), 0711) == 0);
        const QString work = base.filePath("work");
        const QString run = base.filePath("run");
        for (const auto& [path, mode] : {std::pair{work, 0300}, std::pair{run, 0700}}) {
            QVERIFY(QDir().mkdir(path));
            QVERIFY(::chown(QFile::encodeName(path).constData(), kNobody, kNobody) == 0);
            QVERIFY(::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0);
        }
        QProcess copy;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_RUNTIME_DIR", run);
        env.insert("HOME", run);
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("SVW_ROOM", "local:unguarded");
        env.insert("SVW_NICK", "ann");
        env.insert("SVW_TEST_DRIVER", "1");
        copy.setProcessEnvironment(env);
        copy.setWorkingDirectory(work);
        copy.setChildProcessModifier([] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
                ::_exit(99);
        });
        copy.start(QStringLiteral(SVW_EXECUTABLE), QStringList{});
        QByteArray out = "\n"; // every report then follows a line break
        const bool told = QTest::qWaitFor(
            [&] {
                out += copy.readAllStandardOutput();
                return out.contains("\nready") && out.contains("\nbox ");
            },
            15000);
        copy.terminate();
        QVERIFY(copy.waitForFinished(5000));
        QVERIFY2(told, out.constData());
        // "box CAPTION TEXT", percent-encoded.
        const QByteArray line = out.mid(out.indexOf("\nbox ") + 1).split('\n').first();
        const QByteArray box = QByteArray::fromPercentEncoding(line.split(' ').value(2));
        QVERIFY2(box.contains("cannot be locked") && box.contains(QFile::encodeName(work)),
                 box.constData());
    }
};

QTEST_GUILESS_MAIN(TestFolderLock)
#include "tst_folder_lock.moc"
