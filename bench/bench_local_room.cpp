// SPDX-License-Identifier: GPL-3.0-or-later
// How fast the local room carries lines, and how quickly it re-forms when its
// host ends. Prints figures; passes or fails nothing.
//
//   round trip   a joined copy says a line and hears it back (p50, p99)
//   throughput   one joined copy says many lines; both copies hear them all
//   re-forming   the host closes; a line said at once by one remaining copy
//                reaches the other (p50, worst)
//   holding      the host's memory with twenty copies that never read while
//                twenty 1 MB lines are said (resident set before, after, peak)

#include "bench_support.h"
#include "local_room.h"
#include "local_room_protocol.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using svw::LocalRoom;
using svw::bench::percentile;

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

// "VmRSS" or "VmHWM" of this process, in MB.
double memoryMb(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field) + 1).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return -1;
}

// A copy that says hello and never reads again.
int deafCopy(const QString& socketPath, char tag)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(socketPath);
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return fd;
    svw::LocalRoomMessage hello;
    hello.kind = svw::LocalRoomMessage::Kind::Hello;
    hello.origin = QByteArray(svw::kLocalRoomOriginSize, tag);
    const QByteArray frame = svw::frameLocalRoomMessage(hello);
    if (::write(fd, frame.constData(), size_t(frame.size())) != frame.size())
        std::fprintf(stderr, "a deaf copy could not say hello\n");
    return fd;
}

void holding(const QString& dir)
{
    auto host = enter("host", dir, LocalRoom::State::Hosting);
    std::vector<int> deaf;
    deaf.reserve(20);
    for (int i = 0; i < 20; ++i)
        deaf.push_back(deafCopy(host->socketPath(), char('a' + i)));
    waitFor([&] { return host->joinedCopies() == 20; });
    const double before = memoryMb("VmRSS:");

    qsizetype low = 0, high = svw::kLocalRoomMaxFrame;
    while (high - low > 1) {
        const qsizetype mid = (low + high) / 2;
        (host->fitsOneLine(QString(mid, 'z')) ? low : high) = mid;
    }
    for (int i = 0; i < 20; ++i) {
        host->SendRoomLine(QString(low, QChar(u'a' + i)));
        waitFor([&] { return host->unconfirmedLines() == 0; });
    }
    waitFor([] { return false; }, 500); // let the sockets take what they take
    std::printf("holding (20 copies that never read, 20 lines of %lld bytes): resident %.0f MB "
                "before, %.0f MB after, peak %.0f MB; %d copies still in\n",
                static_cast<long long>(low), before, memoryMb("VmRSS:"), memoryMb("VmHWM:"),
                host->joinedCopies());
    for (int fd : deaf)
        ::close(fd);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir base;
    if (!base.isValid())
        return 1;
    if (app.arguments().contains(QStringLiteral("holding"))) {
        // Alone, so nothing else has raised the peak.
        holding(base.filePath("holding"));
        return 0;
    }
    roundTrip(base.filePath("round-trip"));
    throughput(base.filePath("throughput"));
    reforming(base.path());
    return 0;
}
