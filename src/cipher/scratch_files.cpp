// SPDX-License-Identifier: GPL-3.0-or-later
#include "scratch_files.h"

#include "ansi_code.h"

#include <QDir>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace svw {

namespace {

// Hand-written on open(2) and fstat(2): QFile follows links, blocks on a
// FIFO and cannot tell who owns what it opened.

// Never follow a link, never wait for the other end of a FIFO, never make a
// terminal ours, never hand the file to a child process.
constexpr int kSafeFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
constexpr mode_t kOwnerOnly = 0600;

QString systemReason(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

QString kindOf(mode_t mode)
{
    if (S_ISLNK(mode))
        return QStringLiteral("it is a symbolic link, and scratch files are never written or "
                              "read through a link");
    if (S_ISDIR(mode))
        return QStringLiteral("it is a directory");
    if (S_ISFIFO(mode))
        return QStringLiteral("it is a FIFO (a named pipe), not a regular file");
    if (S_ISSOCK(mode))
        return QStringLiteral("it is a socket, not a regular file");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("it is a device, not a regular file");
    return QStringLiteral("it is not a regular file");
}

// Why the open file may not take or give a line; empty when it may.
QString refusalOf(const struct stat& st)
{
    if (!S_ISREG(st.st_mode))
        return kindOf(st.st_mode);
    if (st.st_uid != ::geteuid())
        return QStringLiteral("it belongs to another user (uid %1)").arg(st.st_uid);
    // Another name of the same file, elsewhere, would show every line.
    if (st.st_nlink > 1)
        return QStringLiteral("it has %1 names (hard links), so other files would get its "
                              "lines")
            .arg(st.st_nlink);
    return {};
}

// Why `path` could not be opened: what is in the way when that explains it
// better than the system's words ("Too many levels of symbolic links").
QString openFailure(const QByteArray& path, int code)
{
    struct stat st;
    if (::lstat(path.constData(), &st) == 0 && (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid()))
        return refusalOf(st);
    return systemReason(code);
}

// Opens `path` with `flags` and checks what was opened. Returns the
// descriptor, or -1 with *refusal set and errno kept from the open.
int openChecked(const QByteArray& path, int flags, QString* refusal)
{
    const int fd = ::open(path.constData(), flags | kSafeFlags, kOwnerOnly);
    if (fd < 0) {
        const int code = errno;
        *refusal = openFailure(path, code);
        errno = code;
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        *refusal = systemReason(errno);
        ::close(fd);
        return -1;
    }
    if (QString why = refusalOf(st); !why.isEmpty()) {
        *refusal = why;
        ::close(fd);
        return -1;
    }
    // A line in the file is readable by its owner alone, whatever the umask
    // took away or a file from before allowed.
    if ((flags & O_ACCMODE) != O_RDONLY && (st.st_mode & 07777) != kOwnerOnly &&
        ::fchmod(fd, kOwnerOnly) != 0) {
        *refusal =
            QStringLiteral("it cannot be made private to its owner (%1)").arg(systemReason(errno));
        ::close(fd);
        return -1;
    }
    // Only a regular file gets here, where O_NONBLOCK changes nothing; it is
    // cleared so that the file behaves as any other.
    const int status = ::fcntl(fd, F_GETFL);
    if (status != -1)
        ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
    return fd;
}

// A fresh file under `path`: the old entry is removed first, so nothing
// planted under the name is ever written through. When the old entry stays
// (a folder where this user cannot remove it), it is reused only when it is
// this user's own regular file, cut to nothing.
int createFresh(const QByteArray& path, QString* refusal)
{
    int removeError = 0;
    if (::unlink(path.constData()) != 0 && errno != ENOENT)
        removeError = errno;
    int fd = openChecked(path, O_WRONLY | O_CREAT | O_EXCL, refusal);
    if (fd < 0 && errno == EEXIST) {
        fd = openChecked(path, O_WRONLY, refusal);
        if (fd >= 0 && ::ftruncate(fd, 0) != 0) {
            *refusal = systemReason(errno);
            ::close(fd);
            fd = -1;
        }
    }
    // A directory is never removed by unlink(); saying so adds nothing.
    if (fd < 0 && removeError != 0 && removeError != EISDIR)
        *refusal += QStringLiteral(", and it cannot be removed to make way for a new file (%1)")
                        .arg(systemReason(removeError));
    return fd;
}

} // namespace

QString ScratchError::message() const
{
    if (folder.isEmpty())
        return QStringLiteral("The scratch file \"%1\" could not be used: %2.").arg(file, reason);
    return QStringLiteral("The scratch file \"%1\" in %2 could not be used: %3.")
        .arg(file, folder, reason);
}

ScratchFiles::ScratchFiles(QString directory) : m_directory(std::move(directory)) {}

ScratchFiles::~ScratchFiles()
{
    CloseAll();
}

QString ScratchFiles::pathOf(const QString& name) const
{
    return m_directory.isEmpty() ? name : QDir(m_directory).filePath(name);
}

void ScratchFiles::fail(const QString& name, const QString& reason)
{
    if (!m_error)
        m_error = ScratchError{name, reason, QDir(m_directory).absolutePath()};
}

void ScratchFiles::flushAppended()
{
    if (m_append && !m_appendBuffer.isEmpty())
        write(m_appendName, m_append, m_appendBuffer);
    m_appendBuffer.clear();
}

void ScratchFiles::close(const QString& name, QFile& file)
{
    // Buffered bytes reach the disk only here, so a full disk shows up now.
    if (file.isWritable() && !file.flush())
        fail(name, file.errorString());
    file.close();
    if (m_append == &file)
        m_append = nullptr;
}

QFile* ScratchFiles::openFile(const QString& name, Access access)
{
    if (m_error)
        return nullptr;
    // Characters waiting for the append file are its bytes: they go out before
    // any file is opened again, so a read sees them and no other file gets them.
    flushAppended();
    // A file reopened under the same name starts afresh.
    if (const auto it = m_open.find(name); it != m_open.end()) {
        close(name, *it->second);
        m_open.erase(it);
        if (m_error)
            return nullptr;
    }
    const QByteArray path = QFile::encodeName(pathOf(name));
    QString refusal;
    int fd = -1;
    QIODevice::OpenMode mode;
    switch (access) {
    case Access::Create:
        fd = createFresh(path, &refusal);
        mode = QIODevice::WriteOnly;
        break;
    case Access::Append:
        fd = openChecked(path, O_WRONLY | O_APPEND | O_CREAT, &refusal);
        mode = QIODevice::WriteOnly | QIODevice::Append;
        break;
    case Access::Read:
        fd = openChecked(path, O_RDONLY, &refusal);
        mode = QIODevice::ReadOnly;
        break;
    }
    if (fd < 0) {
        fail(name, refusal);
        return nullptr;
    }
    auto file = std::make_unique<QFile>();
    if (!file->open(fd, mode, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        fail(name, file->errorString());
        return nullptr;
    }
    QFile* raw = file.get();
    m_open[name] = std::move(file);
    return raw;
}

void ScratchFiles::write(const QString& name, QFile* file, const QByteArray& bytes)
{
    if (m_error || !file)
        return;
    if (file->write(bytes) != bytes.size())
        fail(name, file->errorString());
}

void ScratchFiles::WriteHeader(const QString& name, const QString& header)
{
    // A fresh file rather than a truncated one: ext4 flushes a
    // truncated-and-rewritten file on close, which costs about a tenth of a
    // millisecond on every line.
    QFile* file = openFile(name, Access::Create);
    write(name, file, '"' + toAnsiBytes(header) + "\"\r\n");
}

void ScratchFiles::WriteLine(const QString& name, const QString& text)
{
    if (m_error)
        return;
    const auto it = m_open.find(name);
    if (it == m_open.end() || !it->second->isWritable()) {
        fail(name, QStringLiteral("it is not open for writing"));
        return;
    }
    write(name, it->second.get(), toAnsiBytes(text) + "\r\n");
}

void ScratchFiles::OpenAppend(const QString& name)
{
    m_append = openFile(name, Access::Append);
    m_appendName = name;
}

void ScratchFiles::AppendChar(QChar ch)
{
    if (m_error)
        return;
    if (!m_append) {
        fail(m_appendName, QStringLiteral("it is not open for appending"));
        return;
    }
    // Collected and written at CloseAll(): one write for the line, not one a byte.
    m_appendBuffer.append(char(ansiCodeOf(ch).value_or('?')));
}

void ScratchFiles::CloseAll()
{
    flushAppended();
    for (auto& [name, file] : m_open)
        close(name, *file);
    m_open.clear();
    m_append = nullptr;
}

QString ScratchFiles::ReadBack(const QString& name)
{
    QFile* file = openFile(name, Access::Read);
    if (!file) {
        CloseAll();
        return {};
    }
    const QByteArray data = file->readAll();
    if (file->error() != QFileDevice::NoError)
        fail(name, file->errorString());
    CloseAll();
    if (m_error)
        return {};

    // The header record: a quoted field, then the rest of the record up to
    // and including its line end.
    if (!data.startsWith('"')) {
        fail(name, QStringLiteral("it does not begin with a header record"));
        return {};
    }
    const qsizetype closingQuote = data.indexOf('"', 1);
    if (closingQuote < 0)
        return {};
    const qsizetype recordEnd = data.indexOf("\r\n", closingQuote + 1);
    if (recordEnd < 0)
        return {};

    // The line runs to the first carriage return, or to the end of the file.
    const qsizetype start = recordEnd + 2;
    qsizetype end = data.indexOf('\r', start);
    if (end < 0)
        end = data.size();
    return fromAnsiBytes(QByteArrayView(data).sliced(start, end - start));
}

} // namespace svw
