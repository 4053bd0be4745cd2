// SPDX-License-Identifier: GPL-3.0-or-later
// Send-to-RoomLine time over a loopback ngircd: one control says a line, the
// other reports it. The server's flood penalty and the control's pacing are
// off, so what is measured is the client, the server's relay and the
// loopback, one line at a time. Prints p50 and p99 in milliseconds.

#include "irc_test_server.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace svw;
using namespace svw::test;

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(10, atoi(argv[1])) : 2000;

    IrcTestServer server;
    server.setFloodPenaltyOff(true);
    QString error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "bench_irc_roundtrip: %s\n", qPrintable(error));
        return 1;
    }
    WatchedRoom sender(testRoomSettings(server.port(), "bsend", "#bench"));
    WatchedRoom receiver(testRoomSettings(server.port(), "brecv", "#bench"));
    if (!sender.waitForJoin() || !receiver.waitForJoin()) {
        std::fprintf(stderr, "bench_irc_roundtrip: the controls did not join\n");
        return 1;
    }
    sender->StopRoomScan();

    QEventLoop loop;
    QObject::connect(&receiver.room(), &ChatRoomControl::RoomLine, &loop, &QEventLoop::quit);
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, [&] { loop.exit(1); });

    // A typical room line: prefix and 80 cipher characters.
    const QString line = QStringLiteral("-|?|-") + QString(80, QChar(u'\u00e9'));
    std::vector<double> ms;
    ms.reserve(size_t(rounds));
    for (int i = 0; i < rounds + 50; ++i) {
        QElapsedTimer clock;
        clock.start();
        sender->SendRoomLine(line);
        guard.start(10000);
        if (loop.exec() != 0) {
            std::fprintf(stderr, "bench_irc_roundtrip: a line did not arrive\n");
            return 1;
        }
        if (i >= 50) // the first lines warm up caches and TCP
            ms.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    const QStringList heard = receiver.heard();
    if (heard.size() != rounds + 50 || heard.count("bsend: " + line) != heard.size()) {
        std::fprintf(stderr, "bench_irc_roundtrip: the lines heard are not the lines said\n");
        return 1;
    }
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double q) {
        return ms[size_t(q * double(ms.size() - 1))];
    };
    std::printf("IRC send-to-RoomLine over loopback ngircd, %d lines of %lld bytes\n", rounds,
                qlonglong(line.toUtf8().size()));
    std::printf("  p50 %.3f ms   p99 %.3f ms   max %.3f ms\n", at(0.5), at(0.99), ms.back());
    return 0;
}
