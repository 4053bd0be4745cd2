// SPDX-License-Identifier: GPL-3.0-or-later
// XMPP rooms on a loopback prosody that the benchmark starts itself: the
// time from SendRoomLine() to the sender's own RoomLine (the room's
// reflection) and to the other member's copy, one line at a time (p50 and
// p99 in milliseconds), then a burst of 1,000 lines said at once and the
// rate at which the other member's copy receives them.

#include "xmpp_test_server.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace Qt::StringLiterals;
using namespace svw;
using namespace svw::test;

namespace {

double at(std::vector<double> ms, double q)
{
    std::sort(ms.begin(), ms.end());
    return ms[size_t(q * double(ms.size() - 1))];
}

bool waitFor(QEventLoop& loop, int ms)
{
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, [&] { loop.exit(1); });
    guard.start(ms);
    return loop.exec() == 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(10, atoi(argv[1])) : 1000;
    const int burst = 1000;
    XmppTestServer server;
    QString error;
    if (!server.start(&error) || !server.addAccount(u"bsend"_s, u"pw-bsend"_s, &error) ||
        !server.addAccount(u"brecv"_s, u"pw-brecv"_s, &error)) {
        std::fprintf(stderr, "bench_xmpp_room: %s\n", qPrintable(error));
        return 1;
    }
    XmppRoom sender(server.roomSettings(u"bsend"_s, u"bench"_s));
    XmppRoom receiver(server.roomSettings(u"brecv"_s, u"bench"_s));
    QEventLoop loop;
    int joined = 0;
    for (XmppRoom* room : {&sender, &receiver}) {
        room->StartRoomScan();
        QObject::connect(room, &XmppRoom::joined, &loop, [&] {
            if (++joined == 2)
                loop.quit();
        });
    }
    if (!waitFor(loop, 20000)) {
        std::fprintf(stderr, "bench_xmpp_room: the controls did not join\n");
        return 1;
    }

    QElapsedTimer clock;
    double ownAt = -1;
    double otherAt = -1;
    int received = 0;
    bool bursting = false;
    const auto done = [&] {
        if (bursting ? received == burst : ownAt >= 0 && otherAt >= 0)
            loop.quit();
    };
    QObject::connect(&sender, &ChatRoomControl::RoomLine, &loop, [&] {
        ownAt = double(clock.nsecsElapsed()) / 1e6;
        done();
    });
    QObject::connect(&receiver, &ChatRoomControl::RoomLine, &loop, [&] {
        otherAt = double(clock.nsecsElapsed()) / 1e6;
        ++received;
        done();
    });

    const QString line = u"-|?|-"_s + QString(80, QChar(u'\u00e9'));
    std::vector<double> own;
    std::vector<double> other;
    for (int i = 0; i < rounds + 50; ++i) {
        ownAt = otherAt = -1;
        clock.start();
        sender.SendRoomLine(line);
        if (!waitFor(loop, 10000)) {
            std::fprintf(stderr, "bench_xmpp_room: a line was not shown\n");
            return 1;
        }
        if (i >= 50) { // the first lines warm up caches and TCP
            own.push_back(ownAt);
            other.push_back(otherAt);
        }
    }
    bursting = true;
    received = 0;
    clock.start();
    for (int i = 0; i < burst; ++i)
        sender.SendRoomLine(line + QString::number(i));
    if (!waitFor(loop, 120000)) {
        std::fprintf(stderr, "bench_xmpp_room: the burst did not arrive (%d lines)\n", received);
        return 1;
    }
    const double burstMs = double(clock.nsecsElapsed()) / 1e6;
    std::printf("prosody, %d lines one at a time:\n", rounds);
    std::printf("  own line shown      p50 %.3f ms   p99 %.3f ms\n", at(own, 0.5), at(own, 0.99));
    std::printf("  other member's copy p50 %.3f ms   p99 %.3f ms\n", at(other, 0.5),
                at(other, 0.99));
    std::printf("  burst of %d lines: %.0f ms, %.0f lines/s\n", burst, burstMs,
                burst * 1000.0 / burstMs);
    return 0;
}
