// SPDX-License-Identifier: GPL-3.0-or-later
#include "folder_lock.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace svw {

namespace {

QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

} // namespace

FolderLock::~FolderLock()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

FolderLock::Claim FolderLock::claim(QString* message, const QString& folder)
{
    m_folder = QDir(folder).absolutePath();
    const QString unguarded =
        QStringLiteral("The folder %1 cannot be locked (%2), so nothing keeps a second copy of "
                       "SVW out of it.");
    // Close-on-exec, so a program started from here never holds the folder.
    const int fd =
        ::open(QFile::encodeName(m_folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        *message = unguarded.arg(m_folder, systemError(errno));
        if (fd >= 0)
            ::close(fd);
        return Claim::Unguarded;
    }
    m_device = st.st_dev;
    m_inode = st.st_ino;
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int code = errno;
        ::close(fd);
        if (code != EWOULDBLOCK) {
            *message = unguarded.arg(m_folder, systemError(code));
            return Claim::Unguarded;
        }
        *message = QStringLiteral("Another copy of SVW is already running in the folder %1.\n\n"
                                  "Two copies in one folder would mix their lines in the scratch "
                                  "files there. Start this copy in a folder of its own.")
                       .arg(m_folder);
        return Claim::TakenByAnother;
    }
    m_fd = fd;
    return Claim::Ours;
}

} // namespace svw
