// SPDX-License-Identifier: GPL-3.0-or-later
#include "private_directory.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace svw {

namespace {

QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

// Whether `st` describes a directory that only this user can enter.
// Returns an empty string when it does, else the reason it does not.
QString privacyProblem(const QString& path, const struct stat& st)
{
    if (S_ISLNK(st.st_mode))
        return QStringLiteral("%1 is a symbolic link, not a directory").arg(path);
    if (!S_ISDIR(st.st_mode))
        return QStringLiteral("%1 is not a directory").arg(path);
    if (st.st_uid != geteuid())
        return QStringLiteral("%1 belongs to another user (uid %2)").arg(path).arg(st.st_uid);
    if (st.st_mode & (S_IRWXG | S_IRWXO))
        return QStringLiteral("%1 can be entered by other users (mode %2; it must be 0700)")
            .arg(path)
            .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
    if ((st.st_mode & S_IRWXU) != S_IRWXU)
        return QStringLiteral("%1 is not fully open to its owner (mode %2; it must be 0700)")
            .arg(path)
            .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
    return {};
}

} // namespace

QString defaultLocalRoomDirectory(QString* problems)
{
    // A runtime directory that is not private (or not there) is passed over
    // rather than refused: the fallbacks below are just as good a meeting place.
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    // Started without a session's environment (cron, sudo, a service), a
    // copy still finds the runtime directory the system made for the user's
    // sessions, where the copies started from the desktop meet.
    if (runtime.isEmpty())
        runtime = QStringLiteral("/run/user/%1").arg(geteuid());
    if (runtime.startsWith(QLatin1Char('/')) && runtime.startsWith(QLatin1Char('/'))) {
        struct stat st;
        if (::lstat(QFile::encodeName(runtime).constData(), &st) == 0 &&
            privacyProblem(runtime, st).isEmpty())
            return runtime + QStringLiteral("/svw");
    }

    QString temporary = QDir::tempPath() + QStringLiteral("/svw-%1").arg(geteuid());
    QString tempProblem;
    if (preparePrivateDirectory(temporary, &tempProblem))
        return temporary;

    QString homeProblem;
    const QString home = qEnvironmentVariable("HOME");
    if (home.startsWith(QLatin1Char('/'))) {
        const QString cache = home + QStringLiteral("/.cache");
        // The user's own cache directory may be missing; it is made private.
        ::mkdir(QFile::encodeName(cache).constData(), 0700);
        QString rooms = cache + QStringLiteral("/svw-rooms");
        if (preparePrivateDirectory(rooms, &homeProblem))
            return rooms;
    } else {
        homeProblem = QStringLiteral("HOME is not set to a directory.");
    }
    if (problems) {
        // One sentence out of the two refusals.
        const QString prefix = QStringLiteral("The local room cannot be used: ");
        auto reason = [&](QString text) {
            if (text.startsWith(prefix))
                text.remove(0, prefix.size());
            if (text.endsWith(QLatin1Char('.')))
                text.chop(1);
            return text;
        };
        *problems = QStringLiteral("%1%2, and %3. Remove %4, or set XDG_RUNTIME_DIR to a "
                                   "directory that only you can enter.")
                        .arg(prefix, reason(tempProblem), reason(homeProblem), temporary);
    }
    return temporary;
}

bool preparePrivateDirectory(const QString& path, QString* error)
{
    const QByteArray native = QFile::encodeName(path);
    const QString refusal = QStringLiteral("The local room cannot be used: %1.");

    // Only the last component is created: creating missing parents here would
    // make directories whose permissions nobody checked.
    bool created = false;
    if (::mkdir(native.constData(), 0700) == 0) {
        created = true;
    } else if (errno != EEXIST) {
        *error = refusal.arg(QStringLiteral("the directory %1 cannot be created (%2)")
                                 .arg(path, systemError(errno)));
        return false;
    }

    struct stat st;
    if (::lstat(native.constData(), &st) != 0) {
        *error = refusal.arg(QStringLiteral("the directory %1 cannot be examined (%2)")
                                 .arg(path, systemError(errno)));
        return false;
    }
    // A umask may have taken bits from the directory we just made; it is ours,
    // so give them back.
    if (created && S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 07777) != 0700) {
        if (::chmod(native.constData(), 0700) == 0)
            st.st_mode = (st.st_mode & ~07777) | 0700;
    }
    const QString problem = privacyProblem(path, st);
    if (!problem.isEmpty()) {
        *error = refusal.arg(problem);
        return false;
    }
    return true;
}

} // namespace svw
