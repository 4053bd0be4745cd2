// SPDX-License-Identifier: GPL-3.0-or-later
// One copy in a local room, driven through its standard input, for the tests
// that need copies in separate processes.
//
//   local_room_peer DIRECTORY ROOM NICK
//
// DIRECTORY "-" enters the room in the default directory, as the program does.
// Reads commands, one a line: "say TEXT" says TEXT; "quit" (or the end of
// input) leaves the room in order and ends. Writes, one a line:
// "status TEXT" when the room's state changes, "line NICK<TAB>TEXT" for each
// room line, "refused REASON" when a line is refused, "trouble TEXT" (on one
// line) for what the window would tell its user.
//
// SVW_TEST_ROOM_TUNING="heartbeat=100,silence=800,..." sets the room's times
// and sizes (the names are those of LocalRoomTuning's fields, shortened as
// below), so tests need not wait the real seconds.

#include "local_room.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

svw::LocalRoomTuning tuningFromEnvironment()
{
    svw::LocalRoomTuning tuning;
    const QString text = qEnvironmentVariable("SVW_TEST_ROOM_TUNING");
    for (const QString& item : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString key = item.section(QLatin1Char('='), 0, 0);
        const qint64 value = item.section(QLatin1Char('='), 1).toLongLong();
        if (key == QLatin1String("heartbeat"))
            tuning.heartbeatMs = int(value);
        else if (key == QLatin1String("silence"))
            tuning.silenceMs = int(value);
        else if (key == QLatin1String("introduction"))
            tuning.introductionMs = int(value);
        else if (key == QLatin1String("unintroduced"))
            tuning.maxUnintroduced = int(value);
        else if (key == QLatin1String("copies"))
            tuning.maxCopies = int(value);
        else if (key == QLatin1String("tell"))
            tuning.tellAfterMs = int(value);
        else if (key == QLatin1String("historyLines"))
            tuning.historyLines = value;
        else if (key == QLatin1String("historyBytes"))
            tuning.historyBytes = value;
        else if (key == QLatin1String("hold"))
            tuning.holdBytes = value;
        else if (key == QLatin1String("pace"))
            tuning.paceBytes = value;
        else
            std::fprintf(stderr, "local_room_peer: unknown tuning %s\n", qPrintable(key));
    }
    return tuning;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4) {
        std::fprintf(stderr, "usage: local_room_peer DIRECTORY ROOM NICK\n");
        return 2;
    }

    const QString directory = args[1] == QLatin1String("-") ? QString() : args[1];
    auto room = std::make_unique<svw::LocalRoom>(args[3], args[2], directory, nullptr,
                                                 tuningFromEnvironment());
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
    QObject::connect(room.get(), &svw::ChatRoomControl::roomTrouble, [&](QString why) {
        print(QStringLiteral("trouble ") + why.replace(QLatin1Char('\n'), QLatin1Char(' ')));
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
