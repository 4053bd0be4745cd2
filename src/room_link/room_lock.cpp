// SPDX-License-Identifier: GPL-3.0-or-later
#include "room_lock.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace svw {

RoomLock::RoomLock(QString path) : m_path(std::move(path)) {}

RoomLock::~RoomLock()
{
    unlock();
}

bool RoomLock::tryLock(QString* error)
{
    if (m_fd >= 0)
        return true;
    // The file is opened afresh for each try and kept only by the holder; it
    // is never removed, since removing it would let two copies lock two
    // different files of the same name.
    // O_NONBLOCK: a FIFO planted under the name must not hold us up.
    const int fd = ::open(QFile::encodeName(m_path).constData(),
                          O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) {
        *error = QStringLiteral("The lock %1 cannot be opened (%2).")
                     .arg(m_path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        ::close(fd);
        *error = QStringLiteral("The lock %1 cannot be used: it is not a file of your own. "
                                "Remove it.")
                     .arg(m_path);
        return false;
    }
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int code = errno;
        ::close(fd);
        if (code != EWOULDBLOCK)
            *error = QStringLiteral("The lock %1 cannot be taken (%2).")
                         .arg(m_path, QString::fromLocal8Bit(std::strerror(code)));
        return false;
    }
    m_fd = fd;
    return true;
}

bool RoomLock::heldAtPath() const
{
    struct stat held;
    struct stat named;
    return m_fd >= 0 && ::fstat(m_fd, &held) == 0 &&
           ::lstat(QFile::encodeName(m_path).constData(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

void RoomLock::unlock()
{
    if (m_fd < 0)
        return;
    // Closing the only descriptor of this open file releases the lock.
    ::close(m_fd);
    m_fd = -1;
}

} // namespace svw
