// SPDX-License-Identifier: GPL-3.0-or-later
// One copy in a local room, driven through its standard input, for the tests
// that need copies in separate processes.
//
//   local_room_peer DIRECTORY ROOM NICK
//
// Reads commands, one a line: "say TEXT" says TEXT; "quit" (or the end of
// input) leaves the room in order and ends. Writes, one a line:
// "status TEXT" when the room's state changes, "line NICK<TAB>TEXT" for each
// room line, "refused REASON" when a line is refused.

#include "local_room.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <memory>
#include <unistd.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4) {
        std::fprintf(stderr, "usage: local_room_peer DIRECTORY ROOM NICK\n");
        return 2;
    }

    auto room = std::make_unique<svw::LocalRoom>(args[3], args[2], args[1]);
    auto print = [](const QString& text) {
        std::fputs(qPrintable(text + QLatin1Char('\n')), stdout);
        std::fflush(stdout);
    };
    QObject::connect(room.get(), &svw::ChatRoomControl::statusChanged,
                     [&](const QString& status) { print(QStringLiteral("status ") + status); });
    QObject::connect(room.get(), &svw::ChatRoomControl::RoomLine,
                     [&](const QString& nick, const QString& text) {
                         print(QStringLiteral("line %1\t%2").arg(nick, text));
                     });
    room->StartRoomScan();

    QByteArray input;
    auto quit = [&] {
        room.reset(); // the orderly exit under test
        app.quit();
    };
    QSocketNotifier stdinReady(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&stdinReady, &QSocketNotifier::activated, [&] {
        char chunk[4096];
        const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (got <= 0) {
            stdinReady.setEnabled(false);
            quit();
            return;
        }
        input.append(chunk, got);
        qsizetype end;
        while (room && (end = input.indexOf('\n')) >= 0) {
            const QString command = QString::fromUtf8(input.left(end));
            input.remove(0, end + 1);
            if (command.startsWith(QLatin1String("say "))) {
                if (!room->SendRoomLine(command.mid(4)))
                    print(QStringLiteral("refused ") + room->errorString());
            } else if (command == QLatin1String("quit")) {
                stdinReady.setEnabled(false);
                quit();
            }
        }
    });
    return app.exec();
}
