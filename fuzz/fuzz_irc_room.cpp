// SPDX-License-Identifier: GPL-3.0-or-later
// What an IRC server may send to the room control once it is in its channel:
// the input, cut into lines, goes over a loopback socket to a joined control,
// with the control's own line in flight, so that refusals, confirmations,
// kicks, modes, capability lists, PING floods and server errors all meet it.
// A closing line that the control must report as said ends each run, unless
// the control has left the server on its own.

#include "fuzz_check.h"
#include "irc_room.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdint>
#include <memory>

using namespace svw;

namespace {

QCoreApplication& application()
{
    static int argc = 1;
    static char name[] = "fuzz_irc_room";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

// Runs the event loop until `done` or about two seconds have passed.
template<typename Done> bool spin(Done done)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.hasExpired(2000))
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    application();
    static QTcpServer server;
    if (!server.isListening() && !server.listen(QHostAddress::LocalHost))
        return 0;

    IrcRoomSettings settings;
    settings.address.host = QStringLiteral("127.0.0.1");
    settings.address.port = server.serverPort();
    settings.address.nick = QStringLiteral("fuzz");
    settings.address.channel = QStringLiteral("#f");
    settings.pacing = IrcPacing::unlimited();
    settings.reconnectMinMs = 60'000; // one connection a run
    settings.kickRejoinMs = 60'000;
    auto room = std::make_unique<IrcRoom>(settings);
    QStringList heard;
    QObject::connect(room.get(), &ChatRoomControl::RoomLine,
                     [&](const QString& sender, const QString& text) {
                         heard << sender + QLatin1Char(':') + text;
                     });
    room->StartRoomScan();

    if (!spin([&] { return server.hasPendingConnections(); }))
        return 0;
    std::unique_ptr<QTcpSocket> peer(server.nextPendingConnection());
    peer->write(":s 001 fuzz :Welcome fuzz!u@h\r\n:fuzz!u@h JOIN #f\r\n");
    check(spin([&] { return room->isJoined(); }));
    room->SendRoomLine(QStringLiteral("in flight"));

    peer->write(reinterpret_cast<const char*>(data), qint64(size));
    peer->write("\r\n:end!e@h PRIVMSG #f :the end\r\n");
    spin([&] {
        return heard.contains(QStringLiteral("end:the end")) ||
               peer->state() != QAbstractSocket::ConnectedState ||
               room->phase() != IrcRoom::Phase::Joined;
    });
    // Every line reported is one the server sent, or our own line once.
    const qsizetype serverLines =
        QByteArrayView(reinterpret_cast<const char*>(data), qsizetype(size)).count('\n') + 2;
    check(heard.size() <= serverLines + 1);
    room.reset();
    peer->abort();
    return 0;
}
