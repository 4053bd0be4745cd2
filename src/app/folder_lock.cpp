// SPDX-License-Identifier: GPL-3.0-or-later
#include "folder_lock.h"

#include "private_directory.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace svw {

FolderLock::Claim FolderLock::claim(QString* message, const QString& folder)
{
    const QString path = QDir(folder).absolutePath();
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
        *message = QStringLiteral("The folder %1 cannot be examined (%2), so nothing keeps a "
                                  "second copy of SVW out of it.")
                       .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return Claim::Unguarded;
    }
    // The same directory as the local rooms: private to the user, and shared
    // by every copy the user starts.
    const QString directory = defaultLocalRoomDirectory();
    QString error;
    if (!preparePrivateDirectory(directory, &error)) {
        *message =
            error + QStringLiteral(" Nothing keeps a second copy of SVW out of %1.").arg(path);
        return Claim::Unguarded;
    }
    m_lock.setPath(
        directory +
        QStringLiteral("/folder-%1-%2.lock").arg(quint64(st.st_dev)).arg(quint64(st.st_ino)));
    if (m_lock.tryLock(&error))
        return Claim::Ours;
    if (!error.isEmpty()) {
        *message =
            error + QStringLiteral(" Nothing keeps a second copy of SVW out of %1.").arg(path);
        return Claim::Unguarded;
    }
    *message = QStringLiteral("Another copy of SVW is already running in the folder %1.\n\n"
                              "Two copies in one folder would mix their lines in the scratch "
                              "files there. Start this copy in a folder of its own.")
                   .arg(path);
    return Claim::TakenByAnother;
}

} // namespace svw
