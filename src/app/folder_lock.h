// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "room_lock.h"

#include <QString>

namespace svw {

// Keeps a second copy of the program out of a working folder that a running
// copy already uses: both would write and read back the same scratch files
// and mix their lines.
//
// The lock lives outside the folder, in the user's private runtime
// directory, named after the folder's device and inode, so nothing is ever
// written to the folder for it and every path to the folder finds the same
// lock. It is an flock() (RoomLock), so a copy that is killed frees the
// folder at once.
class FolderLock
{
public:
    enum class Claim {
        Ours,           // held until this object goes
        TakenByAnother, // a running copy uses the folder
        Unguarded,      // the lock cannot be used; nothing stops a second copy
    };

    // Claims `folder` (the current working directory when empty). Sets
    // *message for the user when another copy has it, or to the reason when
    // the folder cannot be guarded.
    Claim claim(QString* message, const QString& folder = {});

    QString lockPath() const { return m_lock.path(); }

private:
    RoomLock m_lock;
};

} // namespace svw
