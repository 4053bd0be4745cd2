// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFile>
#include <QString>

#include <map>
#include <memory>
#include <optional>

namespace svw {

// A failure of a scratch file, with the file's name, the folder it is in
// and the reason.
struct ScratchError
{
    QString file;
    QString reason;
    QString folder;

    QString message() const;
};

// The three small single-byte files through which every enciphered and
// deciphered line is assembled. Names are relative to `directory` (by
// default the process's current working directory).
//
// The files hold plain text, and the folder may be shared with others who
// can plant entries under the names. So a file is only ever written or read
// when it is a regular file with one name, owned by this user, reached
// without following a link and without waiting (a FIFO would block); it is
// made readable and writable by its owner alone.
//
// Every file starts with a header record: the header text in double quotes,
// then CR LF. The first failure is kept (see error()) and every later call
// does nothing, so a sequence can run to its end and be checked once.
class ScratchFiles
{
public:
    static inline const QString kSentFile = QStringLiteral("temp");
    static inline const QString kGotFile = QStringLiteral("Got");
    static inline const QString kMessageFile = QStringLiteral("message");

    static inline const QString kSentHeader = QStringLiteral("SVW Sent");
    static inline const QString kGotHeader = QStringLiteral("SVW Gotten");
    static inline const QString kMessageHeader = QStringLiteral("SVW Message");

    explicit ScratchFiles(QString directory = {});
    ~ScratchFiles();

    ScratchFiles(const ScratchFiles&) = delete;
    ScratchFiles& operator=(const ScratchFiles&) = delete;

    // Creates the file or cuts it to nothing and writes the header record.
    // The file stays open until CloseAll().
    void WriteHeader(const QString& name, const QString& header);

    // Writes `text` and CR LF to a file opened by WriteHeader().
    void WriteLine(const QString& name, const QString& text);

    // Opens the file for appending; AppendChar() then adds one byte at a time.
    void OpenAppend(const QString& name);
    void AppendChar(QChar ch);

    // Skips the quoted header field and the rest of its record, returns the
    // next line (up to the first CR, or to the end of the file), closing
    // every file. An empty string when nothing follows the header record.
    QString ReadBack(const QString& name);

    void CloseAll();

    const std::optional<ScratchError>& error() const { return m_error; }

    // Where a scratch file of this name lives.
    QString pathOf(const QString& name) const;

private:
    enum class Access { Create, Append, Read };
    QFile* openFile(const QString& name, Access access);
    void close(const QString& name, QFile& file);
    void flushAppended();
    void fail(const QString& name, const QString& reason);
    void write(const QString& name, QFile* file, const QByteArray& bytes);

    QString m_directory;
    std::map<QString, std::unique_ptr<QFile>> m_open;
    QString m_appendName;
    QFile* m_append = nullptr;
    QByteArray m_appendBuffer;
    std::optional<ScratchError> m_error;
};

} // namespace svw
