// SPDX-License-Identifier: GPL-3.0-or-later
// The program's arguments: what is answered without a window, what Qt gets,
// what is refused, and the folder of its own. The last case runs the real
// program with no display at all.

#include "command_line.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using svw::CommandLine;

namespace {

struct Arguments
{
    explicit Arguments(const QStringList& list)
    {
        for (const QString& argument : list)
            storage.push_back(argument.toStdString());
        for (std::string& argument : storage)
            pointers.push_back(argument.data());
        pointers.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(pointers.size()) - 1; }
    char** argv() { return pointers.data(); }

    std::vector<std::string> storage;
    std::vector<char*> pointers;
};

QStringList qtArguments(CommandLine& commandLine)
{
    QStringList out;
    for (int k = 0; k < commandLine.qtArgc(); ++k)
        out << QString::fromLocal8Bit(commandLine.qtArgv()[k]);
    return out;
}

} // namespace

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("action");
        QTest::addColumn<QStringList>("forQt");
        QTest::addColumn<bool>("ownFolder");
        using A = CommandLine::Action;
        const QString svw = QStringLiteral("svw");

        QTest::newRow("none") << QStringList{svw} << int(A::Run) << QStringList{svw} << false;
        QTest::newRow("help") << QStringList{svw, "--help"} << int(A::Help) << QStringList{svw}
                              << false;
        QTest::newRow("-h") << QStringList{svw, "-h"} << int(A::Help) << QStringList{svw} << false;
        QTest::newRow("version") << QStringList{svw, "--version"} << int(A::Version)
                                 << QStringList{svw} << false;
        QTest::newRow("help wins over version")
            << QStringList{svw, "--version", "--help"} << int(A::Help) << QStringList{svw} << false;
        QTest::newRow("help answers despite an unknown argument")
            << QStringList{svw, "--bogus", "--help"} << int(A::Help) << QStringList{svw} << false;
        QTest::newRow("own folder is ours, not Qt's")
            << QStringList{svw, "--own-folder"} << int(A::Run) << QStringList{svw} << true;
        QTest::newRow("Qt options with their values pass through")
            << QStringList{svw, "-platform", "offscreen", "--style", "fusion", "-reverse"}
            << int(A::Run)
            << QStringList{svw, "-platform", "offscreen", "--style", "fusion", "-reverse"} << false;
        QTest::newRow("a value that looks like our option stays Qt's")
            << QStringList{svw, "-name", "--help", "--own-folder"} << int(A::Run)
            << QStringList{svw, "-name", "--help"} << true;
        QTest::newRow("joined style") << QStringList{svw, "-style=fusion"} << int(A::Run)
                                      << QStringList{svw, "-style=fusion"} << false;
        QTest::newRow("unknown option")
            << QStringList{svw, "--bogus"} << int(A::Refuse) << QStringList{svw} << false;
        QTest::newRow("a word") << QStringList{svw, "room"} << int(A::Refuse) << QStringList{svw}
                                << false;
        QTest::newRow("a lone dash")
            << QStringList{svw, "-"} << int(A::Refuse) << QStringList{svw} << false;
        QTest::newRow("a Qt option without its value")
            << QStringList{svw, "-platform"} << int(A::Refuse) << QStringList{svw} << false;
        QTest::newRow("joined form of an option Qt reads only apart")
            << QStringList{svw, "-platform=xcb"} << int(A::Refuse) << QStringList{svw} << false;
        QTest::newRow("version is not -v")
            << QStringList{svw, "-v"} << int(A::Refuse) << QStringList{svw} << false;
    }

    void parse()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, action);
        QFETCH(QStringList, forQt);
        QFETCH(bool, ownFolder);
        Arguments args(arguments);
        CommandLine commandLine(args.argc(), args.argv());
        QCOMPARE(int(commandLine.action()), action);
        QCOMPARE(qtArguments(commandLine), forQt);
        QCOMPARE(commandLine.ownFolder(), ownFolder);
        QCOMPARE(commandLine.qtArgv()[commandLine.qtArgc()], nullptr);
    }

    void refusalNamesTheFirstUnknownArgument()
    {
        Arguments args({"svw", "-reverse", "--colour", "blue"});
        CommandLine commandLine(args.argc(), args.argv());
        QCOMPARE(QString::fromStdString(commandLine.refused()), QStringLiteral("--colour"));
    }

    void roomArgument_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("room");
        QTest::addColumn<bool>("refused");
        QTest::newRow("IRC over TLS") << QStringList{"svw", "ircs://irc.example.net/#chan"}
                                      << "ircs://irc.example.net/#chan" << false;
        QTest::newRow("named local room")
            << QStringList{"svw", "local:attic", "-reverse"} << "local:attic" << false;
        QTest::newRow("beside the own folder")
            << QStringList{"svw", "--own-folder", "local"} << "local" << false;
        QTest::newRow("a second room is a mistake")
            << QStringList{"svw", "local", "irc://h/#c"} << "local" << true;
        QTest::newRow("no scheme before ://") << QStringList{"svw", "://h/#c"} << "" << true;
        QTest::newRow("a plain word is no room") << QStringList{"svw", "attic"} << "" << true;
    }
    void roomArgument()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, room);
        QFETCH(bool, refused);
        Arguments args(arguments);
        CommandLine commandLine(args.argc(), args.argv());
        QCOMPARE(QString::fromStdString(commandLine.room()), room);
        QCOMPARE(commandLine.action() == CommandLine::Action::Refuse, refused);
        // A room is the program's, never Qt's.
        QVERIFY(!qtArguments(commandLine).contains(room) || room.isEmpty());
    }

    void helpSaysWhatAUserNeeds()
    {
        const QString usage = QString::fromStdString(svw::usageText());
        for (const char* needed :
             {"SVW_ROOM", "SVW_NICK", "SVW_IRC_CAFILE", "SVW_IRC_ACCOUNT",
              "SVW_IRC_ACCOUNT_PASSWORD", "SVW_IRC_CERT", "?key=", "svw(1)", "README",
              "--own-folder", "not strong encryption", "[ROOM]", "room chosen last", "room sign"})
            QVERIFY2(usage.contains(QLatin1String(needed)), needed);
        QCOMPARE(QString::fromStdString(svw::versionText()), QStringLiteral("SVW 1.00\n"));
    }

    void ownFolderFollowsXdg()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        qputenv("HOME", dir.filePath("home").toLocal8Bit());
        qputenv("XDG_STATE_HOME", dir.filePath("state").toLocal8Bit());
        QCOMPARE(svw::ownFolderPath(), dir.filePath("state/svw"));
        qputenv("XDG_STATE_HOME", "relative/state"); // to be ignored
        QCOMPARE(svw::ownFolderPath(), dir.filePath("home/.local/state/svw"));
        qunsetenv("XDG_STATE_HOME");
        QCOMPARE(svw::ownFolderPath(), dir.filePath("home/.local/state/svw"));
        qputenv("HOME", "not-absolute");
        QCOMPARE(svw::ownFolderPath(), QString());
    }

    void ownFolderIsMadePrivateAndEntered()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString before = QDir::currentPath();
        qputenv("XDG_STATE_HOME", dir.filePath("a/state").toLocal8Bit());
        QString error;
        QVERIFY2(svw::enterOwnFolder(&error), qPrintable(error));
        const QString folder = dir.filePath("a/state/svw");
        QCOMPARE(QDir::currentPath(), folder);
        for (const QString& made : {dir.filePath("a"), dir.filePath("a/state"), folder}) {
            struct stat info
            {
            };
            QCOMPARE(::stat(qPrintable(made), &info), 0);
            QCOMPARE(info.st_mode & 07777, mode_t(0700));
        }
        // Once there, entering again leaves it as it is.
        QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner |
                                                  QFile::ExeOwner | QFile::ReadGroup |
                                                  QFile::ExeGroup));
        QVERIFY(QDir::setCurrent(before));
        QVERIFY2(svw::enterOwnFolder(&error), qPrintable(error));
        QCOMPARE(QDir::currentPath(), folder);

        // A file where the folder should be is an error, not a silent stay
        // in the current directory.
        QVERIFY(QDir::setCurrent(before));
        QFile blocker(dir.filePath("file"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        qputenv("XDG_STATE_HOME", dir.filePath("file").toLocal8Bit());
        QVERIFY(!svw::enterOwnFolder(&error));
        QVERIFY(error.contains(dir.filePath("file")));
        QCOMPARE(QDir::currentPath(), before);
        qunsetenv("XDG_STATE_HOME");
    }

    // The real program, with a platform that cannot start here: the answers
    // come before Qt would open it, and a refusal comes before it too.
    void programAnswersWithoutADisplay_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::addColumn<bool>("folderBlocked");
        QTest::newRow("help") << QStringList{"--help"} << 0 << "Usage: svw"
                              << "" << false;
        QTest::newRow("version") << QStringList{"--version"} << 0 << "SVW 1.00\n"
                                 << "" << false;
        QTest::newRow("refused") << QStringList{"--bogus"} << 2 << ""
                                 << "svw: unknown argument: --bogus\n\nUsage: svw" << false;
        // Its own folder cannot be made: the program ends rather than work
        // in the current directory.
        QTest::newRow("own folder blocked") << QStringList{"--own-folder"} << 2 << ""
                                            << "svw: " << true;
    }

    void programAnswersWithoutADisplay()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, out);
        QFETCH(QString, err);
        QFETCH(bool, folderBlocked);
        QTemporaryDir runtime;
        QVERIFY(runtime.isValid());
        QTemporaryDir state;
        QVERIFY(state.isValid());
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (folderBlocked) {
            QFile blocker(state.filePath("file"));
            QVERIFY(blocker.open(QIODevice::WriteOnly));
            env.insert("XDG_STATE_HOME", blocker.fileName());
        }
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        env.insert("XDG_RUNTIME_DIR", runtime.path());
        program.setProcessEnvironment(env);
        program.setWorkingDirectory(runtime.path());
        program.start(QStringLiteral(SVW_EXECUTABLE), arguments);
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), status);
        const QString gotOut = QString::fromLocal8Bit(program.readAllStandardOutput());
        const QString gotErr = QString::fromLocal8Bit(program.readAllStandardError());
        QVERIFY2(out.isEmpty() ? gotOut.isEmpty() : gotOut.startsWith(out), qPrintable(gotOut));
        QVERIFY2(err.isEmpty() ? gotErr.isEmpty() : gotErr.startsWith(err), qPrintable(gotErr));
        if (folderBlocked)
            QVERIFY2(gotErr.contains(state.filePath("file")), qPrintable(gotErr));
        QCOMPARE(QDir(runtime.path()).entryList(QDir::Files), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_command_line.moc"
