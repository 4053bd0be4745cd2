// SPDX-License-Identifier: GPL-3.0-or-later
// Sending and listening over the local room, through real chat windows.
//
// 1. Latency: two chat windows in this one process (alice sends, bob
//    listens) on one local room. The time runs from pressing Send in alice's
//    window to the line being added to bob's conversation box, one line at a
//    time; p50 and p99 over the lines.
// 2. Burst: a second process (this program with --sender) says 10,000
//    matching lines into the room as fast as the room takes them; bob's
//    window, listening here, shows them. Lines per second, and the longest
//    time this process's event loop went without running (a 1 ms timer that
//    notes the longest gap between its ticks).
//
// Run from any directory: the scratch files go to a temporary one.

#include "bench_support.h"
#include "chat_room_control.h"
#include "line_cipher.h"
#include "room_factory.h"
#include "solvane.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>

using namespace svw;
using svw::bench::enterRoom;
using svw::bench::percentile;
using svw::bench::runUntil;

namespace {

constexpr int kLatencyLines = 2000;
constexpr int kWarmUpLines = 100;
constexpr int kBurstLines = 10000;
const QString kKey = QStringLiteral("Key");
const QString kPrefix = QStringLiteral("-|?|-");

Solvane* openWindow(const QString& room, const QString& nick)
{
    auto* window = new Solvane(enterRoom(room, nick).release());
    window->findChild<QLineEdit*>(QStringLiteral("pw"))->setText(kKey);
    return window;
}

void listen(Solvane* window)
{
    window->findChild<QAction*>(QStringLiteral("mnuDE"))->trigger();
}

QTextDocument* conversation(Solvane* window)
{
    return window->findChild<QPlainTextEdit*>(QStringLiteral("txtSaid"))->document();
}

void latency(const QString& room)
{
    Solvane* alice = openWindow(room, QStringLiteral("alice"));
    Solvane* bob = openWindow(room, QStringLiteral("bob"));
    listen(bob);

    int shown = 0;
    QElapsedTimer clock;
    qint64 shownAt = 0;
    // A slice of lines is added as one edit: count the box's lines.
    QTextDocument* document = conversation(bob);
    QObject::connect(document, &QTextDocument::contentsChange, bob, [&](int, int, int added) {
        if (added > 0) {
            shown = document->blockCount() - 1;
            shownAt = clock.nsecsElapsed();
        }
    });

    auto* text = alice->findChild<QLineEdit*>(QStringLiteral("txtSend"));
    auto* send = alice->findChild<QPushButton*>(QStringLiteral("cmdSend"));
    clock.start();

    // Until bob is in the room, lines said before he joined pass him by.
    bool joined = false;
    for (int probe = 0; probe < 200 && !joined; ++probe) {
        text->setText(QStringLiteral("probe"));
        send->click();
        const int before = shown;
        joined = runUntil([&] { return shown > before; }, 50);
    }
    if (!joined) {
        std::fprintf(stderr, "bench_send_listen: bob never heard alice\n");
        std::exit(1);
    }
    runUntil([] { return false; }, 100); // let stray probes arrive

    std::vector<double> micros;
    micros.reserve(kLatencyLines);
    for (int i = 0; i < kWarmUpLines + kLatencyLines; ++i) {
        text->setText(QStringLiteral("Line %1 of the latency run, an ordinary sentence.").arg(i));
        const int before = shown;
        const qint64 pressed = clock.nsecsElapsed();
        send->click();
        if (!runUntil([&] { return shown > before; }, 5000)) {
            std::fprintf(stderr, "bench_send_listen: line %d never arrived\n", i);
            std::exit(1);
        }
        if (i >= kWarmUpLines)
            micros.push_back(double(shownAt - pressed) / 1000.0);
    }
    std::printf("latency, Send in one window to the line shown in the other, %d lines, "
                "two windows in one process:\n  p50 %.3f ms   p99 %.3f ms   max %.3f ms\n",
                kLatencyLines, percentile(micros, 0.5) / 1000.0, percentile(micros, 0.99) / 1000.0,
                *std::max_element(micros.begin(), micros.end()) / 1000.0);
    delete alice;
    delete bob;
}

void burst(const QString& room, const QString& self)
{
    Solvane* bob = openWindow(room, QStringLiteral("bob"));
    listen(bob);

    int shown = 0;
    QElapsedTimer clock;
    clock.start();
    qint64 firstShown = -1;
    qint64 lastShown = 0;
    QTextDocument* document = conversation(bob);
    int before = 0; // lines in the box before the burst
    QObject::connect(document, &QTextDocument::contentsChange, bob, [&](int, int, int added) {
        if (added <= 0)
            return;
        shown = document->blockCount() - 1 - before;
        lastShown = clock.nsecsElapsed();
        if (firstShown < 0)
            firstShown = lastShown;
    });

    // Bob's own line coming back means he is in the room.
    auto* text = bob->findChild<QLineEdit*>(QStringLiteral("txtSend"));
    text->setText(QStringLiteral("here"));
    bob->findChild<QPushButton*>(QStringLiteral("cmdSend"))->click();
    if (!runUntil([&] { return shown > 0; }, 5000)) {
        std::fprintf(stderr, "bench_send_listen: bob never entered the room\n");
        std::exit(1);
    }
    runUntil([] { return false; }, 100);
    before = document->blockCount() - 1;
    shown = 0;
    firstShown = -1;

    // The event loop's longest gap while the lines come in.
    qint64 lastTick = clock.nsecsElapsed();
    qint64 longestGap = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (shown > 0 && shown < kBurstLines)
            longestGap = std::max(longestGap, now - lastTick);
        lastTick = now;
    });
    tick.start(1);

    QProcess sender;
    sender.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const qint64 started = clock.nsecsElapsed();
    sender.start(self, {QStringLiteral("--sender"), room, QString::number(kBurstLines)});
    if (!runUntil([&] { return shown >= kBurstLines; }, 120000)) {
        std::fprintf(stderr, "bench_send_listen: only %d of %d lines arrived\n", shown,
                     kBurstLines);
        std::exit(1);
    }
    tick.stop();
    sender.waitForFinished(10000);

    const double spread = double(lastShown - firstShown) / 1e9;
    const double whole = double(lastShown - started) / 1e9;
    std::printf("burst of %d matching lines from another process:\n"
                "  %.0f lines/s while they came in (first to last shown), %.0f lines/s from the "
                "sender's start\n  longest event-loop stall %.1f ms\n",
                kBurstLines, double(kBurstLines - 1) / spread, double(kBurstLines) / whole,
                double(longestGap) / 1e6);
    delete bob;
}

// The other process of the burst: says `count` matching lines, then waits
// until the room has given them all back.
int sendBurst(const QString& room, int count)
{
    std::unique_ptr<ChatRoomControl> carol = enterRoom(room, QStringLiteral("carol"));
    int back = 0;
    QObject::connect(carol.get(), &ChatRoomControl::RoomLine,
                     [&](const QString& sender, const QString&) {
                         if (sender == QLatin1String("carol"))
                             ++back;
                     });
    carol->StartRoomScan();
    for (int i = 0; i < count; ++i) {
        const QString plain =
            QStringLiteral("Burst line %1, as a busy room would carry it.").arg(i);
        carol->SendRoomLine(kPrefix + encodeToString(plain, kKey).line);
    }
    return runUntil([&] { return back >= count; }, 120000) ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The room and Qt's runtime files go to a folder of this run (the burst's
    // sender inherits it) and leave nothing behind.
    std::unique_ptr<QTemporaryDir> runtime;
    if (argc != 4)
        runtime = svw::bench::ownRuntimeDirectory();
    QApplication app(argc, argv);
    const QString room = QStringLiteral("local:bench-%1").arg(QCoreApplication::applicationPid());

    if (argc == 4 && qstrcmp(argv[1], "--sender") == 0)
        return sendBurst(QString::fromLocal8Bit(argv[2]), QByteArray(argv[3]).toInt());

    QTemporaryDir scratch;
    QDir::setCurrent(scratch.path());
    latency(room + QStringLiteral("-latency"));
    burst(room + QStringLiteral("-burst"), QCoreApplication::applicationFilePath());
    return 0;
}
