// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// One running copy of the svw program, started for a test in a working
// directory of its own and worked through its test driver (SVW_TEST_DRIVER):
// commands go to its standard input, its reports come from its output.

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

namespace svw::testing {

// Every file under `folder` that holds `text`.
inline QStringList filesHolding(const QString& folder, const QByteArray& text)
{
    QStringList holding;
    QDirIterator files(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        if (file.open(QIODevice::ReadOnly) && file.readAll().contains(text))
            holding.append(file.fileName());
    }
    return holding;
}

class SvwCopy
{
public:
    // Starts svw on `room` (the value of SVW_ROOM) as `nick`; in `directory`
    // instead of a folder of its own, and with `runtime` as its
    // XDG_RUNTIME_DIR, when given. By default every copy of a test run shares
    // one runtime directory of the run's own, so the run leaves no rooms or
    // locks behind.
    SvwCopy(const QString& room, const QString& nick, const QString& directory = {},
            const QString& runtime = {})
        : m_path(directory.isEmpty() ? m_dir.path() : directory)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"),
                   runtime.isEmpty() ? sharedRuntime() : runtime);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("SVW_ROOM"), room);
        env.insert(QStringLiteral("SVW_NICK"), nick);
        env.insert(QStringLiteral("SVW_TEST_DRIVER"), QStringLiteral("1"));
        launch(env, {});
    }

    // A copy started as from the desktop or a terminal without SVW_ROOM:
    // the room comes from its arguments or the configuration under
    // `configHome` (its XDG_CONFIG_HOME). With `home`, that is its HOME too.
    struct WithoutRoom
    {
        QStringList arguments;
        QString configHome;
        QString home;
        QString directory;
        // A program that runs svw (its path and arguments follow these).
        QStringList launcher = {};
        std::function<void(QProcessEnvironment&)> adjust = {};
    };
    SvwCopy(const WithoutRoom& start, const QString& nick)
        : m_path(start.directory.isEmpty() ? m_dir.path() : start.directory)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), sharedRuntime());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.remove(QStringLiteral("SVW_ROOM"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), start.configHome);
        if (!start.home.isEmpty())
            env.insert(QStringLiteral("HOME"), start.home);
        env.insert(QStringLiteral("SVW_NICK"), nick);
        env.insert(QStringLiteral("SVW_TEST_DRIVER"), QStringLiteral("1"));
        if (start.adjust)
            start.adjust(env);
        if (start.launcher.isEmpty()) {
            launch(env, start.arguments);
            return;
        }
        launch(env,
               start.launcher.mid(1) + QStringList{QStringLiteral(SVW_EXECUTABLE)} +
                   start.arguments,
               start.launcher.first());
    }

    ~SvwCopy()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.closeWriteChannel();
            m_process.terminate();
            if (!m_process.waitForFinished(5000))
                m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    bool started()
    {
        return waitFor([this] { return m_reports.contains("ready"); });
    }

    // Sends one driver command; texts are percent-encoded here.
    void command(const QByteArray& verb, const QByteArray& name = {}, const QString& text = {})
    {
        QByteArray line = verb;
        if (!name.isEmpty())
            line += ' ' + name;
        if (!text.isNull())
            line += ' ' + text.toUtf8().toPercentEncoding();
        m_process.write(line + '\n');
        // Nothing runs an event loop here to pass the line on later.
        m_process.waitForBytesWritten(5000);
    }

    void set(const QByteArray& box, const QString& text) { command("set", box, text); }
    void key(const QByteArray& key) { command("key", key); }
    void menu(const QByteArray& item) { command("menu", item); }

    // Waits until the copy has carried out every command sent so far.
    bool sync()
    {
        const QByteArray token = QByteArray::number(++m_syncs);
        command("sync", token);
        return waitFor([&] { return m_reports.contains("ok " + token); });
    }

    // Asks the copy something and returns its answer line, without the
    // question word.
    QByteArray ask(const QByteArray& question, const QByteArray& name = {})
    {
        const qsizetype before = m_reports.size();
        command(question, name);
        QByteArray answer;
        waitFor([&] {
            for (qsizetype i = before; i < m_reports.size(); ++i) {
                if (m_reports[i].startsWith(question + ' ')) {
                    answer = m_reports[i].mid(question.size() + 1);
                    return true;
                }
            }
            return false;
        });
        return answer;
    }

    QString text(const QByteArray& box)
    {
        const QByteArray answer = ask("text", box);
        return QString::fromUtf8(QByteArray::fromPercentEncoding(answer.mid(box.size() + 1)));
    }

    // Everything added to the conversation box since it was last emptied.
    QString said()
    {
        pump();
        return m_said;
    }

    // The message boxes shown so far, as "caption|text".
    QStringList boxes()
    {
        pump();
        return m_boxes;
    }

    // Whether a report beginning with `start` came, and the first such.
    QByteArray reported(const QByteArray& start)
    {
        pump();
        for (const QByteArray& report : m_reports) {
            if (report.startsWith(start))
                return report;
        }
        return {};
    }
    // The reports so far, in order.
    QList<QByteArray> reports()
    {
        pump();
        return m_reports;
    }

    bool saidContains(const QString& text, int timeoutMs = 5000)
    {
        return waitFor([&] { return m_said.contains(text); }, timeoutMs);
    }

    bool waitFor(const std::function<bool()>& done, int timeoutMs = 5000)
    {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            pump();
            if (done())
                return true;
            if (clock.hasExpired(timeoutMs) || m_process.state() == QProcess::NotRunning)
                return false;
            m_process.waitForReadyRead(20);
        }
    }

    bool finished(int timeoutMs = 5000) { return m_process.waitForFinished(timeoutMs); }
    // Ends the copy as kill -9 does: no clean-up of its own.
    void killHard()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    int exitCode() const { return m_process.exitCode(); }
    qint64 processId() const { return m_process.processId(); }
    QProcess::ExitStatus exitStatus() const { return m_process.exitStatus(); }
    QByteArray standardError() { return m_process.readAllStandardError(); }

    QString directory() const { return m_path; }
    bool hasFile(const QString& name) const { return QFile::exists(QDir(m_path).filePath(name)); }
    void removeScratchFiles()
    {
        for (const char* name : {"temp", "Got", "message"})
            QFile::remove(QDir(m_path).filePath(QLatin1String(name)));
    }
    QByteArray bytes(const QString& name) const
    {
        QFile file(QDir(m_path).filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    void launch(const QProcessEnvironment& env, const QStringList& arguments,
                const QString& program = QStringLiteral(SVW_EXECUTABLE))
    {
        m_process.setProcessEnvironment(env);
        m_process.setWorkingDirectory(m_path);
        m_process.setReadChannel(QProcess::StandardOutput);
        m_process.start(program, arguments);
    }

    static QString sharedRuntime()
    {
        static const QTemporaryDir runtime(QDir::tempPath() + QStringLiteral("/svw-run-XXXXXX"));
        return runtime.path();
    }

    void pump()
    {
        while (m_process.canReadLine()) {
            const QByteArray line = m_process.readLine().chopped(1);
            m_reports.append(line);
            if (line.startsWith("said "))
                m_said += QString::fromUtf8(QByteArray::fromPercentEncoding(line.mid(5)));
            else if (line == "cleared")
                m_said.clear();
            else if (line.startsWith("box ")) {
                const QList<QByteArray> parts = line.mid(4).split(' ');
                m_boxes.append(QString::fromUtf8(QByteArray::fromPercentEncoding(parts.value(0))) +
                               '|' +
                               QString::fromUtf8(QByteArray::fromPercentEncoding(parts.value(1))));
            }
        }
    }

    QTemporaryDir m_dir;
    QString m_path;
    QProcess m_process;
    QList<QByteArray> m_reports;
    QString m_said;
    QStringList m_boxes;
    int m_syncs = 0;
};

} // namespace svw::testing
