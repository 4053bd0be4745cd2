// SPDX-License-Identifier: GPL-3.0-or-later
// Where the room lives: its directory, the epoch it has reached there, and
// moving the room when its directory goes away or changes.
#include "local_room.h"

#include "private_directory.h"

#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace svw {

namespace {

// The longest ending pathOf() adds to the room's base path, ".<epoch>.sock",
// for the epochs a room can reach (a few more each time a host freezes).
constexpr qsizetype kLongestEnding = 13;

bool entryExists(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

} // namespace

// Epoch 0 keeps the plain names, so a room that never lost a host to a
// freeze looks as it always did.
QString LocalRoom::pathOf(qint64 epoch, const QString& suffix) const
{
    if (m_basePath.isEmpty())
        return {};
    return epoch == 0 ? m_basePath + suffix
                      : m_basePath + QLatin1Char('.') + QString::number(epoch) + suffix;
}

// The highest epoch whose lock file is in the directory. Counted on from
// this copy's own epoch while that one's file is there (a copy that moves on
// makes the file first, see markEpoch()); from the start when it is not, as
// the directory was then emptied or made anew and the room begins again.
qint64 LocalRoom::recordedEpoch() const
{
    qint64 epoch = m_epoch;
    if (epoch > 0 && !entryExists(pathOf(epoch, QStringLiteral(".lock"))))
        epoch = 0;
    while (entryExists(pathOf(epoch + 1, QStringLiteral(".lock"))))
        ++epoch;
    return epoch;
}

// Makes the lock file of this copy's epoch, so every copy, and a host that
// comes back, sees that the room has moved there. An empty file needs no
// room on the disk; nothing is written through a link or into a FIFO
// (O_NOFOLLOW, O_NONBLOCK), and whatever is in the way still marks the epoch.
void LocalRoom::markEpoch() const
{
    const int fd = ::open(QFile::encodeName(lockPath()).constData(),
                          O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd >= 0)
        ::close(fd);
}

// Chooses the room's directory (the caller's, or the default one as it is
// now), makes it when missing and checks it. False with *problem for the
// user when it cannot be used.
bool LocalRoom::placeRoom(QString* problem)
{
    QString defaultProblems;
    const QString directory = m_chosenDirectory.isEmpty()
                                  ? defaultLocalRoomDirectory(&defaultProblems)
                                  : m_chosenDirectory;
    if (!preparePrivateDirectory(directory, problem)) {
        if (!defaultProblems.isEmpty())
            *problem = defaultProblems;
        return false;
    }
    const QString basePath = directory + QStringLiteral("/room-") + m_name;
    if (QFile::encodeName(basePath).size() + kLongestEnding >=
        qsizetype(sizeof(sockaddr_un::sun_path))) {
        *problem = QStringLiteral("The local room cannot be used: its socket path %1.sock is "
                                  "longer than the system allows.")
                       .arg(basePath);
        return false;
    }
    if (directory != m_directory) {
        m_directory = directory;
        m_basePath = basePath;
        m_epoch = 0; // counted again in the new directory
    }
    return true;
}

// While hosting: whether the room must move, and why. The lock file we hold
// may have been removed or replaced (the directory emptied, or removed and
// made again, by a cleaner or a log-out), or the default directory may now be
// another one (a fallback freed, the runtime directory gone): copies started
// now would meet there, not here.
bool LocalRoom::roomMoved(QString* why)
{
    if (m_chosenDirectory.isEmpty()) {
        const QString directory = defaultLocalRoomDirectory();
        if (directory != m_directory) {
            *why = QStringLiteral("its directory is now %1").arg(directory);
            return true;
        }
    }
    if (!m_lock.heldAtPath()) {
        *why = QStringLiteral("its lock file %1 was removed").arg(lockPath());
        return true;
    }
    return false;
}

// Gives up hosting here and enters the room where it is now; the copies that
// were joined here are let go and follow, and every line goes on as after any
// change of host.
void LocalRoom::relocate(const QString& why, bool socketIsOurs)
{
    qWarning("The local room \"%s\" moves: %s.", qPrintable(m_name), qPrintable(why));
    closeHosting(socketIsOurs);
    setState(State::Reforming, why);
    m_retry.start();
    QTimer::singleShot(0, this, &LocalRoom::tryEnter);
}

// Lets every copy go and stops listening. The socket file is removed only
// when it is still ours: where the lock file was replaced, the name may be
// another host's by now.
void LocalRoom::closeHosting(bool socketIsOurs)
{
    for (auto& [socket, copy] : m_copies) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    m_copies.clear();
    m_speakers.clear();
    m_heldOffers.clear();
    if (!socketIsOurs) {
        // QLocalServer removes its file by name when it closes, unless it is
        // taken for one in the abstract namespace.
        m_server->setSocketOptions(QLocalServer::AbstractNamespaceOption);
    }
    m_server->close();
    delete m_server;
    m_server = nullptr;
    m_lock.unlock();
}

// A later epoch has been reached: this copy was frozen or too slow and the
// room went on without it. It joins the room as an ordinary copy.
void LocalRoom::stepDown()
{
    closeHosting(true);
    m_epoch = recordedEpoch();
    setState(State::Reforming, QStringLiteral("another copy hosts it now"));
    m_retry.start();
    QTimer::singleShot(0, this, &LocalRoom::tryEnter);
}

} // namespace svw
