// SPDX-License-Identifier: GPL-3.0-or-later
// How fast the local room carries lines, and how quickly it re-forms when its
// host ends. Prints figures; passes or fails nothing.
//
//   round trip   a joined copy says a line and hears it back (p50, p99)
//   throughput   one joined copy says many lines; both copies hear them all
//   re-forming   the host closes; a line said at once by one remaining copy
//                reaches the other (p50, worst)

#include "local_room.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

using svw::LocalRoom;

namespace {

bool waitFor(const std::function<bool()>& done, int timeoutMs = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

std::unique_ptr<LocalRoom> enter(const QString& nick, const QString& dir, LocalRoom::State role)
{
    auto room = std::make_unique<LocalRoom>(nick, QStringLiteral("bench"), dir);
    room->StartRoomScan();
    if (!waitFor([&] { return room->state() == role; }))
        std::fprintf(stderr, "%s did not enter the room: %s\n", qPrintable(nick),
                     qPrintable(room->status()));
    return room;
}

double percentile(std::vector<double> samples, double p)
{
    std::sort(samples.begin(), samples.end());
    return samples[std::min(samples.size() - 1, size_t(p * double(samples.size())))];
}

void roundTrip(const QString& dir)
{
    auto host = enter("host", dir, LocalRoom::State::Hosting);
    auto guest = enter("guest", dir, LocalRoom::State::Joined);
    int heard = 0;
    QObject::connect(guest.get(), &LocalRoom::RoomLine, [&] { ++heard; });

    std::vector<double> micros;
    QElapsedTimer timer;
    for (int i = 0; i < 2000; ++i) {
        const int before = heard;
        timer.start();
        guest->SendRoomLine(QStringLiteral("PRFX1") + QString(60, 'x'));
        waitFor([&] { return heard > before; });
        micros.push_back(double(timer.nsecsElapsed()) / 1000.0);
    }
    std::printf("round trip (joined copy, 65-char line): p50 %.0f us, p99 %.0f us\n",
                percentile(micros, 0.5), percentile(micros, 0.99));
}

void throughput(const QString& dir)
{
    auto host = enter("host", dir, LocalRoom::State::Hosting);
    auto guest = enter("guest", dir, LocalRoom::State::Joined);
    int atHost = 0, atGuest = 0;
    QObject::connect(host.get(), &LocalRoom::RoomLine, [&] { ++atHost; });
    QObject::connect(guest.get(), &LocalRoom::RoomLine, [&] { ++atGuest; });

    constexpr int kLines = 20000;
    const QString line = QString(100, 'y');
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < kLines; ++i)
        guest->SendRoomLine(line);
    waitFor([&] { return atHost == kLines && atGuest == kLines; }, 60000);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    std::printf("throughput (100-char lines, 2 copies): %.0f lines/s (%d heard by both in "
                "%.2f s)\n",
                kLines / seconds, std::min(atHost, atGuest), seconds);
}

void reforming(const QString& base)
{
    std::vector<double> millis;
    for (int round = 0; round < 20; ++round) {
        const QString dir = base + QStringLiteral("/reform-%1").arg(round);
        auto host = enter("host", dir, LocalRoom::State::Hosting);
        auto bob = enter("bob", dir, LocalRoom::State::Joined);
        auto cay = enter("cay", dir, LocalRoom::State::Joined);
        waitFor([&] { return host->joinedCopies() == 2; });
        bool heard = false;
        QObject::connect(cay.get(), &LocalRoom::RoomLine,
                         [&](const QString&, const QString& text) { heard |= text == "back"; });

        QElapsedTimer timer;
        timer.start();
        host.reset();
        bob->SendRoomLine(QStringLiteral("back"));
        if (!waitFor([&] { return heard; }))
            std::fprintf(stderr, "round %d: the line did not arrive\n", round);
        millis.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::printf("re-forming after the host closes, line said at once: p50 %.1f ms, worst "
                "%.1f ms\n",
                percentile(millis, 0.5), *std::max_element(millis.begin(), millis.end()));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir base;
    if (!base.isValid())
        return 1;
    roundTrip(base.filePath("round-trip"));
    throughput(base.filePath("throughput"));
    reforming(base.path());
    return 0;
}
