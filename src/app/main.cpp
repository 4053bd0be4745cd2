// SPDX-License-Identifier: GPL-3.0-or-later
// The program: the chat window on the room that SVW_ROOM chooses.

#include "command_line.h"
#include "folder_lock.h"
#include "notice.h"
#include "room_factory.h"
#include "running_copy.h"
#include "solvane.h"
#include "test_driver.h"
#include "web_page.h"
#include "web_window_loader.h"

#include <QApplication>
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

    QString error;
    std::unique_ptr<svw::ChatRoomControl> room =
        svw::createChatRoomControl(qEnvironmentVariable("SVW_ROOM"), svw::defaultNick(), &error);
    if (!room) {
        std::fprintf(stderr, "svw: %s\n", qUtf8Printable(error));
        svw::showNotice(nullptr, error);
        return 2;
    }

    // The window tells only of trouble; every step of the room goes to a
    // terminal, where someone looking into a room that does not answer looks.
    QObject::connect(room.get(), &svw::ChatRoomControl::statusChanged, [](const QString& status) {
        std::fprintf(stderr, "svw: %s\n", qUtf8Printable(status));
    });

    QPointer<svw::Solvane> window = new svw::Solvane(room.release());
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
