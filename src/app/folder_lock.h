// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <sys/types.h>

namespace svw {

// Keeps a second copy of the program out of a working folder that a running
// copy already uses: both would write and read back the same scratch files
// and mix their lines.
//
// The lock is an flock() on the folder itself, through a descriptor opened on
// the directory: nothing is written into the folder for it, every path to the
// folder finds the same lock, and it holds whatever the copies' environments
// say (a runtime directory set for one and not for the other, sudo, ssh,
// cron). The kernel frees it the moment its holder ends, even when killed.
class FolderLock
{
public:
    enum class Claim {
        Ours,           // held until this object goes
        TakenByAnother, // a running copy uses the folder
        Unguarded,      // the lock cannot be used; nothing stops a second copy
    };

    FolderLock() = default;
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // Claims `folder` (the current working directory when empty). Sets
    // *message for the user when another copy has it, or to the reason when
    // the folder cannot be guarded.
    Claim claim(QString* message, const QString& folder = {});

    // The folder as claimed, and its device and inode (known once claimed,
    // whoever holds it), which name it however it is reached.
    QString folder() const { return m_folder; }
    dev_t device() const { return m_device; }
    ino_t inode() const { return m_inode; }

private:
    int m_fd = -1; // open only while the lock is held
    QString m_folder;
    dev_t m_device = 0;
    ino_t m_inode = 0;
};

} // namespace svw
