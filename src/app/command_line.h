// SPDX-License-Identifier: GPL-3.0-or-later
// The program's arguments, worked out before QApplication exists: --help and
// --version must answer without a display, and an argument nobody knows is
// refused rather than ignored. Qt's own options pass through to QApplication.
#pragma once

#include <QString>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace svw {

class CommandLine
{
public:
    enum class Action { Run, Help, Version, Refuse };

    CommandLine(int argc, char* argv[]);

    Action action() const { return m_action; }
    // The argument that was refused, for the message.
    const std::string& refused() const { return m_refused; }
    // Start in the folder of its own instead of the current directory.
    bool ownFolder() const { return m_ownFolder; }
    // The room given as an argument (a room address, as SVW_ROOM takes it);
    // empty when none was given.
    const std::string& room() const { return m_room; }

    // argv[0] and Qt's options, for QApplication(qtArgc(), qtArgv()); both
    // live as long as this object.
    int& qtArgc() { return m_qtArgc; }
    char** qtArgv() { return m_qtArgv.data(); }

private:
    Action m_action = Action::Run;
    std::string m_refused;
    bool m_ownFolder = false;
    std::string m_room;
    std::vector<char*> m_qtArgv;
    int m_qtArgc = 0;
};

std::string usageText();
std::string versionText();

// The folder that --own-folder works in: $XDG_STATE_HOME/svw, or
// $HOME/.local/state/svw when XDG_STATE_HOME is unset or not absolute.
// Empty when neither gives an absolute path.
QString ownFolderPath();

// Makes the folder (0700, parents too) when missing and changes into it.
bool enterOwnFolder(QString* error);

// Whether an argument is meant as a room: "local", "local:NAME", or an
// address with a scheme ("ircs://..."). Only these are taken as rooms, so a
// mistyped option is still refused.
bool looksLikeRoom(std::string_view argument);

// What main does before anything needs the display: prints the help, the
// version or the refusal, or enters the own folder. Returns the exit status
// when the program is to end here.
std::optional<int> answerWithoutWindow(const CommandLine& commandLine);

} // namespace svw
