// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

namespace svw {

// The election of a local room's host: whoever holds this lock hosts.
//
// Hand-written on flock() because the kernel drops the lock the moment its
// holder's process ends, however it ends (a crash, kill -9), so there is
// never a stale lock to judge. QLockFile instead leaves a file that others
// must declare stale by looking up a process id, which races with a dying
// host and with process ids being reused. flock() also binds to one open
// file, not to the process, so two rooms in one process compete fairly
// (fcntl() locks would not), and the descriptor is close-on-exec, so a child
// process never inherits the host's role.
class RoomLock
{
public:
    explicit RoomLock(QString path = {});
    ~RoomLock();
    RoomLock(const RoomLock&) = delete;
    RoomLock& operator=(const RoomLock&) = delete;

    void setPath(const QString& path) { m_path = path; }
    QString path() const { return m_path; }

    // Takes the lock if nobody holds it, without waiting. False when another
    // holds it; false with *error set when the lock file cannot be used.
    bool tryLock(QString* error);
    void unlock();
    bool isLocked() const { return m_fd >= 0; }

    // Whether the lock is held and the file at path() is still the one it is
    // held on: a lock on a file since removed or replaced keeps nobody out.
    bool heldAtPath() const;

private:
    QString m_path;
    int m_fd = -1; // open only while the lock is held
};

} // namespace svw
