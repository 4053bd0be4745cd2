// SPDX-License-Identifier: GPL-3.0-or-later
#include "scratch_files.h"

#include "ansi_code.h"

#include <QDir>
#include <QFileInfo>

namespace svw {

QString ScratchError::message() const
{
    return QStringLiteral("The scratch file \"%1\" could not be used: %2").arg(file, reason);
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
        m_error = ScratchError{name, reason};
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

QFile* ScratchFiles::openFile(const QString& name, QIODevice::OpenMode mode)
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
    auto file = std::make_unique<QFile>(pathOf(name));
    // QFile opens a directory for reading without complaint; say what it is.
    if (QFileInfo(file->fileName()).isDir()) {
        fail(name, QStringLiteral("it is a directory"));
        return nullptr;
    }
    if (!file->open(mode)) {
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
    // A fresh file rather than a truncated one: it never writes through a link
    // planted under the name, and ext4 flushes a truncated-and-rewritten file
    // on close, which costs about a tenth of a millisecond on every line.
    if (!m_error && !QFileInfo(pathOf(name)).isDir())
        QFile::remove(pathOf(name));
    QFile* file = openFile(name, QIODevice::WriteOnly | QIODevice::Truncate);
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
    m_append = openFile(name, QIODevice::WriteOnly | QIODevice::Append);
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
    QFile* file = openFile(name, QIODevice::ReadOnly);
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
