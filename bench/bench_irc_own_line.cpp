// SPDX-License-Identifier: GPL-3.0-or-later
// Own-line-shown time: from SendRoomLine() to the sender's own RoomLine for
// that line, on a loopback ngircd (no echo-message: the control shows the
// line when the PONG that follows it confirms it) and on a loopback inspircd
// (echo-message: the server's echo shows it). For scale, the same run times
// the other member's copy of each line and a bare PING round trip. One line
// at a time; the servers' flood limits and the controls' pacing are off, so
// what is measured is the client, the server and the loopback. Prints p50 and
// p99 in milliseconds for each server.

#include "irc_test_server.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace svw;
using namespace svw::test;

namespace {

struct Quantiles
{
    double p50 = 0;
    double p99 = 0;
};

Quantiles quantiles(std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double q) {
        return ms[size_t(q * double(ms.size() - 1))];
    };
    return {at(0.5), at(0.99)};
}

// A bare client's PING to its server and the PONG back, as the unit of
// "round trips"; Nagle is off on its socket, as on the controls'.
bool pingRoundTrips(quint16 port, int rounds, std::vector<double>& ms)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(10000))
        return false;
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    QByteArray inbox;
    const auto waitFor = [&](const QByteArray& part) {
        QElapsedTimer limit;
        limit.start();
        while (!inbox.contains(part)) {
            if (limit.hasExpired(10000) || !socket.waitForReadyRead(10000))
                return false;
            inbox += socket.readAll();
        }
        inbox.clear();
        return true;
    };
    socket.write("NICK bping\r\nUSER bping 0 * :bping\r\n");
    if (!waitFor(" 001 "))
        return false;
    for (int i = 0; i < rounds; ++i) {
        const QByteArray token = "r" + QByteArray::number(i) + "\r\n";
        QElapsedTimer clock;
        clock.start();
        socket.write("PING :" + token);
        if (!waitFor(":" + token))
            return false;
        ms.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    return true;
}

int measure(IrcTestServer::Kind kind, const char* name, int rounds)
{
    IrcTestServer server(kind);
    server.setFloodPenaltyOff(true);
    QString error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "bench_irc_own_line: %s\n", qPrintable(error));
        return 1;
    }
    WatchedRoom sender(testRoomSettings(server.port(), "bsend", "#bench"));
    WatchedRoom receiver(testRoomSettings(server.port(), "brecv", "#bench"));
    if (!sender.waitForJoin() || !receiver.waitForJoin()) {
        std::fprintf(stderr, "bench_irc_own_line: the controls did not join\n");
        return 1;
    }

    QElapsedTimer clock;
    double ownAt = -1;
    double otherAt = -1;
    QEventLoop loop;
    const auto done = [&] {
        if (ownAt >= 0 && otherAt >= 0)
            loop.quit();
    };
    QObject::connect(&sender.room(), &ChatRoomControl::RoomLine, &loop, [&] {
        ownAt = double(clock.nsecsElapsed()) / 1e6;
        done();
    });
    QObject::connect(&receiver.room(), &ChatRoomControl::RoomLine, &loop, [&] {
        otherAt = double(clock.nsecsElapsed()) / 1e6;
        done();
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, [&] { loop.exit(1); });

    const QString line = QStringLiteral("-|?|-") + QString(80, QChar(u'\u00e9'));
    std::vector<double> own;
    std::vector<double> other;
    for (int i = 0; i < rounds + 50; ++i) {
        ownAt = otherAt = -1;
        clock.start();
        sender->SendRoomLine(line);
        guard.start(10000);
        if (loop.exec() != 0) {
            std::fprintf(stderr, "bench_irc_own_line: a line was not shown\n");
            return 1;
        }
        if (i >= 50) { // the first lines warm up caches and TCP
            own.push_back(ownAt);
            other.push_back(otherAt);
        }
    }
    std::vector<double> ping;
    if (!pingRoundTrips(server.port(), rounds, ping)) {
        std::fprintf(stderr, "bench_irc_own_line: the PING round trips failed\n");
        return 1;
    }
    const Quantiles o = quantiles(own);
    const Quantiles r = quantiles(other);
    const Quantiles p = quantiles(ping);
    std::printf("%s (%s), %d lines:\n", name,
                sender->serverEchoes() ? "echo-message" : "no echo-message", rounds);
    std::printf("  own line shown      p50 %.3f ms   p99 %.3f ms\n", o.p50, o.p99);
    std::printf("  other member's copy p50 %.3f ms   p99 %.3f ms\n", r.p50, r.p99);
    std::printf("  PING round trip     p50 %.3f ms   p99 %.3f ms\n", p.p50, p.p99);
    return 0;
}

// A 50-line paste with the default pacing for public networks, on ngircd
// with its flood penalty on and on inspircd as the tests run it: seconds
// from the paste to the last own line shown and to the other member's last
// copy.
int paste(IrcTestServer::Kind kind, const char* name)
{
    constexpr int kLines = 50;
    IrcTestServer server(kind);
    QString error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "bench_irc_own_line: %s\n", qPrintable(error));
        return 1;
    }
    IrcRoomSettings settings = testRoomSettings(server.port(), "bpaste", "#paste");
    settings.pacing = IrcPacing{};
    WatchedRoom sender(settings);
    WatchedRoom receiver(testRoomSettings(server.port(), "bseen", "#paste"));
    if (!sender.waitForJoin() || !receiver.waitForJoin()) {
        std::fprintf(stderr, "bench_irc_own_line: the controls did not join\n");
        return 1;
    }
    QEventLoop settle;
    QTimer::singleShot(3000, &settle, &QEventLoop::quit); // the pacing's buckets fill up again
    settle.exec();
    const QString line = QStringLiteral("-|?|-") + QString(80, QChar(u'\u00e9'));
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < kLines; ++i)
        sender->SendRoomLine(line + QString::number(i));
    if (!sender.waitForHeard(kLines, 300000)) {
        std::fprintf(stderr, "bench_irc_own_line: the paste was not shown\n");
        return 1;
    }
    const double ownSeconds = double(clock.elapsed()) / 1000;
    if (!receiver.waitForHeard(kLines, 300000)) {
        std::fprintf(stderr, "bench_irc_own_line: the paste did not arrive\n");
        return 1;
    }
    const double otherSeconds = double(clock.elapsed()) / 1000;
    std::printf("%s, %d-line paste, default pacing: own lines shown in %.1f s, "
                "the other member's copies in %.1f s\n",
                name, kLines, ownSeconds, otherSeconds);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(10, atoi(argv[1])) : 1000;
    if (const int failed = measure(IrcTestServer::Kind::Ngircd, "ngircd", rounds))
        return failed;
    if (const int failed = measure(IrcTestServer::Kind::Inspircd, "inspircd", rounds))
        return failed;
    if (const int failed = paste(IrcTestServer::Kind::Ngircd, "ngircd"))
        return failed;
    return paste(IrcTestServer::Kind::Inspircd, "inspircd");
}
