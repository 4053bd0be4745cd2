// SPDX-License-Identifier: GPL-3.0-or-later
// One copy of the program a working folder: the lock alone, then real
// copies started in one folder.

#include "folder_lock.h"
#include "svw_copy.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

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

    // A second copy started in the folder of a running one is turned away
    // without touching the folder; once the first is killed the folder is
    // free again at once.
    void secondCopyInOneFolder()
    {
        const QString room =
            QStringLiteral("local:folder-%1").arg(QCoreApplication::applicationPid());
        const QString folder = m_folder->path();
        auto first = std::make_unique<SvwCopy>(room, "ann", folder, m_runtime->path());
        QVERIFY(first->started());

        SvwCopy second(room, "bob", folder, m_runtime->path());
        QVERIFY(second.finished());
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 2);
        const QStringList boxes = second.boxes();
        QCOMPARE(boxes.size(), 1);
        QVERIFY(boxes.first().startsWith("SVW|"));
        QVERIFY(boxes.first().contains(folder));
        QVERIFY(boxes.first().contains("folder of its own"));
        QVERIFY(entriesOf(folder).isEmpty());
        QVERIFY(first->sync());

        first->killHard();
        SvwCopy third(room, "cid", folder, m_runtime->path());
        QVERIFY(third.started());
        QVERIFY(third.boxes().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestFolderLock)
#include "tst_folder_lock.moc"
