// SPDX-License-Identifier: GPL-3.0-or-later
// Hand-parsed rather than with QCommandLineParser: that needs a
// QCoreApplication, and the one this program makes is a QApplication, which
// opens the display before anything could be answered.

#include "command_line.h"

#include <QDir>
#include <QFileInfo>

#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace svw {

namespace {

// The options QGuiApplication, QApplication and the xcb platform take out of
// argv themselves; each may be written with one dash or two.
constexpr std::array kQtOptionsWithValue = {
    "platform",
    "platformpluginpath",
    "platformtheme",
    "plugin",
    "qwindowgeometry",
    "geometry",
    "qwindowtitle",
    "title",
    "qwindowicon",
    "icon",
    "session",
    "style",
    "stylesheet",
    "display",
    "name",
    "visual",
};
constexpr std::array kQtFlags = {"reverse", "widgetcount", "sync",
                                 "nograb",  "dograb",      "testability"};
// Those Qt also reads as -option=value.
constexpr std::array kQtJoinedOptions = {"style", "stylesheet", "qmljsdebugger"};

template<std::size_t N> bool isOneOf(std::string_view name, const std::array<const char*, N>& names)
{
    for (const char* known : names) {
        if (name == known)
            return true;
    }
    return false;
}

// "-name" or "--name" gives "name"; anything else gives nothing.
std::string_view dashedName(std::string_view argument)
{
    if (argument.size() < 2 || argument[0] != '-')
        return {};
    argument.remove_prefix(argument[1] == '-' ? 2 : 1);
    return argument;
}

} // namespace

bool looksLikeRoom(std::string_view argument)
{
    if (argument == "local" || argument.substr(0, 6) == "local:")
        return true;
    const std::size_t scheme = argument.find("://");
    if (scheme == std::string_view::npos || scheme == 0)
        return false;
    for (const char c : argument.substr(0, scheme)) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return true;
}

CommandLine::CommandLine(int argc, char* argv[])
{
    if (argc > 0)
        m_qtArgv.push_back(argv[0]);
    for (int k = 1; k < argc; ++k) {
        const std::string_view argument = argv[k];
        if (argument == "--help" || argument == "-h") {
            m_action = Action::Help;
            continue;
        }
        if (argument == "--version") {
            // Help wins when both are asked: it says what the version is too.
            if (m_action != Action::Help)
                m_action = Action::Version;
            continue;
        }
        if (argument == "--own-folder") {
            m_ownFolder = true;
            continue;
        }
        // One room; a second is a mistake, not a choice between them.
        if (looksLikeRoom(argument) && m_room.empty()) {
            m_room = argument;
            continue;
        }
        const std::string_view name = dashedName(argument);
        const std::size_t equals = name.find('=');
        const bool known = isOneOf(name, kQtFlags) ||
                           (equals != std::string_view::npos &&
                            isOneOf(name.substr(0, equals), kQtJoinedOptions)) ||
                           (isOneOf(name, kQtOptionsWithValue) && k + 1 < argc);
        if (!known) {
            // The first refusal is the one reported; help and version still
            // answer, since that is what someone who asks for them wants.
            if (m_refused.empty())
                m_refused = argument;
            continue;
        }
        m_qtArgv.push_back(argv[k]);
        if (isOneOf(name, kQtOptionsWithValue))
            m_qtArgv.push_back(argv[++k]);
    }
    if (!m_refused.empty() && m_action == Action::Run)
        m_action = Action::Refuse;
    m_qtArgc = static_cast<int>(m_qtArgv.size());
    m_qtArgv.push_back(nullptr); // QApplication, like main, expects argv[argc] == nullptr
}

std::string usageText()
{
    return "Usage: svw [--own-folder] [ROOM] [Qt options, such as -platform NAME]\n"
           "       svw --help | --version\n"
           "\n"
           "SVW (Solvane Veilwire) holds a private conversation inside a public chat room:\n"
           "lines are enciphered with a password the group shares and marked with a\n"
           "five-character prefix. It is not strong encryption. Every line passes through\n"
           "the files \"temp\", \"Got\" and \"message\" in the current directory.\n"
           "\n"
           "ROOM is the room to talk in, as SVW_ROOM names it (below); quote it in the\n"
           "shell: svw 'ircs://irc.libera.chat/#channel'. Without SVW_ROOM or ROOM the\n"
           "room chosen last in the room dialog is entered again, else the local room.\n"
           "The room sign at the right end of the menu bar opens that dialog, with a page\n"
           "for each kind of room: this computer, an IRC network, an XMPP group chat.\n"
           "\n"
           "Options:\n"
           "  --own-folder    work in $XDG_STATE_HOME/svw (~/.local/state/svw when unset),\n"
           "                  made when missing; the desktop entry starts SVW this way\n"
           "  -h, --help      print this help and exit\n"
           "  --version       print the version and exit\n"
           "\n"
           "Environment:\n"
           "  SVW_ROOM        the room, before ROOM and the remembered room: \"local\"\n"
           "                  (this machine), \"local:NAME\", \"irc://[nick[:password]@]host\n"
           "                  [:port]/#channel[?key=KEY]\" or \"ircs://...\" (TLS),\n"
           "                  \"xmpp:room@conference.example.org?join\"\n"
           "  SVW_NICK        the name your lines carry (default: your login name)\n"
           "  SVW_IRC_CAFILE  a CA certificate (PEM) to trust for ircs:// rooms\n"
           "  SVW_IRC_ACCOUNT, SVW_IRC_ACCOUNT_PASSWORD\n"
           "                  the IRC account to identify as (SASL PLAIN), unless the\n"
           "                  room dialog gives one\n"
           "  SVW_IRC_CERT    a PEM file with a client certificate and its key, for\n"
           "                  ircs:// rooms: identifies with it (SASL EXTERNAL)\n"
           "  SVW_XMPP_JID, SVW_XMPP_PASSWORD\n"
           "                  the XMPP account (ann@example.org) and its password for\n"
           "                  xmpp: rooms, unless the room dialog's XMPP page gives\n"
           "                  them; a password given nowhere is asked for at start\n"
           "  SVW_XMPP_CAFILE a CA certificate (PEM) to trust for xmpp: rooms\n"
           "  SVW_XMPP_SERVER host[:port] of the XMPP server, where the account's\n"
           "                  domain does not lead to it (unless the page names one)\n"
           "\n"
           "Exit status: 0 normally, 2 for a bad argument, environment or folder.\n"
           "More in the manual page svw(1) and in the README (README.md in the sources,\n"
           "/usr/share/doc/svw/README.md when installed from the package).\n";
}

std::string versionText()
{
    return "SVW 1.00\n";
}

QString ownFolderPath()
{
    // Relative values of the XDG variables are to be ignored, as if unset.
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (!QDir::isAbsolutePath(base)) {
        const QString home = qEnvironmentVariable("HOME");
        if (!QDir::isAbsolutePath(home))
            return {};
        base = QDir(home).filePath(QStringLiteral(".local/state"));
    }
    return QDir::cleanPath(QDir(base).filePath(QStringLiteral("svw")));
}

bool enterOwnFolder(QString* error)
{
    const QString path = ownFolderPath();
    if (path.isEmpty()) {
        *error = QStringLiteral("no folder of its own: neither XDG_STATE_HOME nor HOME is an "
                                "absolute path");
        return false;
    }
    // Each missing folder on the way is made private, as base folders of the
    // XDG layout are to be; existing ones are left as they are.
    const QFileDevice::Permissions privateFolder =
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
    QString made = QStringLiteral("/");
    const QStringList parts = path.split(u'/', Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        made = QDir(made).filePath(part);
        if (QFileInfo(made).isDir())
            continue;
        if (!QDir().mkdir(made, privateFolder) && !QFileInfo(made).isDir()) {
            *error = QStringLiteral("cannot make the folder %1").arg(made);
            return false;
        }
    }
    if (!QDir::setCurrent(path)) {
        *error = QStringLiteral("cannot work in the folder %1").arg(path);
        return false;
    }
    return true;
}

std::optional<int> answerWithoutWindow(const CommandLine& commandLine)
{
    switch (commandLine.action()) {
    case CommandLine::Action::Help:
        std::fputs(usageText().c_str(), stdout);
        return 0;
    case CommandLine::Action::Version:
        std::fputs(versionText().c_str(), stdout);
        return 0;
    case CommandLine::Action::Refuse:
        std::fprintf(stderr, "svw: unknown argument: %s\n\n%s", commandLine.refused().c_str(),
                     usageText().c_str());
        return 2;
    case CommandLine::Action::Run:
        break;
    }
    if (commandLine.ownFolder()) {
        QString error;
        if (!enterOwnFolder(&error)) {
            std::fprintf(stderr, "svw: %s\n", qUtf8Printable(error));
            return 2;
        }
    }
    return std::nullopt;
}

} // namespace svw
