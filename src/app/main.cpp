// SPDX-License-Identifier: GPL-3.0-or-later
// The program: the chat window on the room chosen at start-up.

#include "command_line.h"
#include "folder_lock.h"
#include "notice.h"
#include "program_room_keeper.h"
#include "room_factory.h"
#include "room_memory.h"
#include "room_secrets.h"
#include "running_copy.h"
#include "solvane.h"
#include "test_driver.h"
#include "web_page.h"
#include "web_window_loader.h"

#include <QApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QPointer>

#include <cstdio>

int main(int argc, char* argv[])
{
    svw::CommandLine commandLine(argc, argv);
    if (const std::optional<int> status = svw::answerWithoutWindow(commandLine))
        return *status;

    QApplication app(commandLine.qtArgc(), commandLine.qtArgv());
    QApplication::setApplicationName(QStringLiteral("SVW"));
    QApplication::setOrganizationName(QStringLiteral("SVWbeta"));
    QApplication::setApplicationVersion(QStringLiteral("1.00"));

    const bool driven = svw::test_driver::requested();
    if (driven)
        svw::test_driver::reportMessageBoxes(&app);

    // Before anything touches the folder's scratch files; held to the end.
    svw::FolderLock folderLock;
    QString folderMessage;
    const svw::FolderLock::Claim claim = folderLock.claim(&folderMessage);
    if (!folderMessage.isEmpty())
        std::fprintf(stderr, "svw: %s\n", qUtf8Printable(folderMessage));
    if (claim == svw::FolderLock::Claim::TakenByAnother) {
        if (svw::RunningCopy::askToComeForward(folderLock)) {
            std::fprintf(stderr, "svw: its window has been brought forward instead.\n");
            return 0;
        }
        svw::showNotice(nullptr, folderMessage);
        return 2;
    }

    // SVW_ROOM wins, then a room given as the argument, then the room chosen
    // last; nothing chosen at all is the local room, and the window says so.
    const svw::StartRoom chosen = svw::startRoom(
        qEnvironmentVariableIsSet("SVW_ROOM") ? std::optional(qEnvironmentVariable("SVW_ROOM"))
                                              : std::nullopt,
        QString::fromStdString(commandLine.room()), svw::RoomMemory());
    svw::RoomSecrets secrets;
    svw::ProgramRoomKeeper keeper(svw::RoomMemory(), &secrets, [](const QString& question) {
        // Asked only where no keyring keeps the room's secrets.
        bool given = false;
        const QString answer = QInputDialog::getText(nullptr, svw::kAppTitle, question,
                                                     QLineEdit::Password, QString(), &given);
        return given ? std::optional(answer) : std::nullopt;
    });
    QString error;
    std::unique_ptr<svw::ChatRoomControl> room = keeper.start(chosen, &error);
    if (!room && chosen.from == svw::StartRoom::From::Memory) {
        // A room remembered from an earlier run that cannot be used now
        // does not keep the program from starting: the local room can.
        std::fprintf(stderr, "svw: the room chosen last cannot be entered: %s\n",
                     qUtf8Printable(error));
        room = keeper.start(svw::StartRoom(), &error);
    }
    if (!room) {
        std::fprintf(stderr, "svw: %s\n", qUtf8Printable(error));
        svw::showNotice(nullptr, error);
        return 2;
    }

    QPointer<svw::Solvane> window = new svw::Solvane(room.release());
    window->setRoomKeeper(&keeper);
    window->setFirstStart(!chosen.chosen);
    window->setWebWindowOpener(svw::makeWebWindowOpener(QString(svw::kWebPageAddress)));
    if (driven)
        svw::test_driver::drive(window);
    svw::RunningCopy runningCopy;
    if (claim == svw::FolderLock::Claim::Ours)
        runningCopy.bringForwardOnRequest(folderLock, window);
    else // unguarded: said beside the window, which opens all the same
        svw::tellAside(window, folderMessage);

    const int status = QApplication::exec();
    delete window.data(); // still there when Exit ended the program
    return status;
}
