// SPDX-License-Identifier: GPL-3.0-or-later
// Sealed lines: what they cost.
//
// 1. Key derivation (Argon2id, interactive limits): median time of one
//    derivation, and the longest time the event loop went without running
//    (a 1 ms timer's longest gap) while keys are derived on the worker
//    thread as the chat window does it.
//    Typing: a 28-character password typed at 10 characters a second while
//    a sealed line arrives every 50 ms: how many keys were derived, the
//    processor time it took, how long after the last keystroke the first
//    line showed, and the longest stall meanwhile.
// 2. Sealing and opening one line of 80 characters: median microseconds.
// 3. Burst: a second process says 10,000 room lines as fast as the room takes
//    them into a listening chat window in this process, once in the old
//    cipher (through the scratch files) and once sealed; lines per second
//    from the first line shown to the last, and the longest event-loop stall.
//
// 4. Memory: a chat window's resident memory after 100,000 lines of 80
//    characters, in the old cipher and sealed.
//
// Run from any directory: the scratch files go to a temporary one.

#include "bench_support.h"
#include "chat_room_control.h"
#include "line_cipher.h"
#include "room_factory.h"
#include "sealed_conversation.h"
#include "sealed_keys.h"
#include "sealed_line.h"
#include "solvane.h"

#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>

#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <memory>

using namespace svw;
using svw::bench::enterRoom;
using svw::bench::runUntil;

namespace {

constexpr int kBurstLines = 10000;
const QString kKey = QStringLiteral("Key");
const QString kPrefix = QStringLiteral("-|?|-");

double median(const std::vector<double>& values)
{
    return svw::bench::percentile(values, 0.5);
}

// Notes the longest gap between the ticks of a 1 ms timer while `counting`.
class StallWatch
{
public:
    StallWatch()
    {
        m_clock.start();
        m_last = m_clock.nsecsElapsed();
        m_tick.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_tick, &QTimer::timeout, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            if (counting)
                longest = std::max(longest, now - m_last);
            m_last = now;
        });
        m_tick.start(1);
    }
    bool counting = false;
    qint64 longest = 0;

private:
    QElapsedTimer m_clock;
    qint64 m_last;
    QTimer m_tick;
};

void keyDerivation()
{
    std::vector<double> millis;
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer clock;
        clock.start();
        if (!deriveSealKey(kKey, QStringLiteral("pre%1-").arg(i)))
            std::exit(1);
        millis.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    // The machine's own share of stalls, for comparison: the same watch over
    // the same time with nothing derived.
    qint64 idleLongest = 0;
    {
        StallWatch idle;
        runUntil([] { return false; }, 50);
        idle.counting = true;
        runUntil([] { return false; }, int(3 * median(millis)));
        idleLongest = idle.longest;
    }
    SealKeys keys;
    StallWatch watch;
    runUntil([] { return false; }, 50);
    watch.counting = true;
    int ready = 0;
    QObject::connect(&keys, &SealKeys::keyReady, [&] { ++ready; });
    // One after another: a key asked for while another is made replaces any
    // that has not started.
    for (int i = 0; i < 3; ++i) {
        keys.prepare(kKey, QStringLiteral("bg%1--").arg(i));
        runUntil([&] { return ready == i + 1; }, 60000);
    }
    watch.counting = false;
    std::printf("key derivation (Argon2id, ops %llu, %zu MiB): median %.0f ms of 5\n"
                "  longest event-loop stall while 3 keys were derived on the worker: %.1f ms "
                "(idle, as long: %.1f ms)\n",
                static_cast<unsigned long long>(2), std::size_t(64), median(millis),
                double(watch.longest) / 1e6, double(idleLongest) / 1e6);
}

double processorSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void typingWhileLinesArrive()
{
    const QString password = QStringLiteral("correct horse battery staple");
    const auto key = deriveSealKey(password, kPrefix);
    SealedConversation talk;
    int shown = 0;
    QElapsedTimer clock;
    clock.start();
    qint64 typedAt = -1;
    qint64 firstShown = -1;
    int typed = 1; // the first character is typed as the first line arrives
    int said = 0;
    StallWatch watch;
    watch.counting = true;
    const double before = processorSeconds();
    QTimer keystroke;
    QObject::connect(&keystroke, &QTimer::timeout, [&] {
        if (++typed == password.size()) {
            keystroke.stop();
            typedAt = clock.elapsed();
        }
    });
    QTimer line;
    QObject::connect(&line, &QTimer::timeout, [&] {
        SealedContent content;
        content.saidAtMs = QDateTime::currentMSecsSinceEpoch();
        content.text = QString(80, u'x');
        talk.takeRoomLine({QStringLiteral("ann"), sealRoomLine(*key, kPrefix, content), kPrefix,
                           password.left(typed)});
        if (++said == 100)
            line.stop();
    });
    keystroke.start(100);
    line.start(50);
    // An event loop that sleeps while nothing happens: the processor time
    // is the derivation's and the lines', not a busy wait's.
    QEventLoop loop;
    talk.showLine = [&](const QString&) {
        if (firstShown < 0)
            firstShown = clock.elapsed();
        if (++shown == 100)
            loop.quit();
    };
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    loop.exec();
    std::printf("typing a %d-character password while a sealed line arrives every 50 ms: %d "
                "key(s) derived, %.2f s of processor time, first line shown %lld ms after the "
                "last keystroke, longest stall %.1f ms\n",
                int(password.size()), talk.keys().derivations(), processorSeconds() - before,
                static_cast<long long>(firstShown - typedAt), double(watch.longest) / 1e6);
}

// Resident memory of this process in KiB.
long residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& entry : status.readAll().split('\n')) {
        if (entry.startsWith("VmRSS:"))
            return entry.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// A room that only reports what the benchmark says was said in it.
class QuietRoom : public ChatRoomControl
{
public:
    bool SendRoomLine(const QString&) override { return true; }
    void StartRoomScan() override {}
    void StopRoomScan() override {}
    void hear(const QString& text) { emit RoomLine(QStringLiteral("ann"), text); }
};

void memoryAfterManyLines(bool sealed)
{
    constexpr int kLines = 100000;
    auto* room = new QuietRoom;
    auto* window = new Solvane(room);
    window->findChild<QLineEdit*>(QStringLiteral("pw"))->setText(kKey);
    window->findChild<QAction*>(QStringLiteral("mnuDE"))->trigger();
    auto* box = window->findChild<QPlainTextEdit*>(QStringLiteral("txtSaid"));
    const auto key = deriveSealKey(kKey, kPrefix);
    const long before = residentKiB();
    for (int i = 0; i < kLines; ++i) {
        const QString plain = QStringLiteral("Line %1 ").arg(i).leftJustified(80, u'x');
        if (sealed) {
            SealedContent content;
            content.saidAtMs = QDateTime::currentMSecsSinceEpoch();
            content.name = QStringLiteral("ann");
            content.text = plain;
            room->hear(sealRoomLine(*key, kPrefix, content));
        } else {
            room->hear(kPrefix + encodeToString(plain, kKey).line);
        }
        if (i % 1000 == 999)
            QCoreApplication::processEvents();
    }
    runUntil([&] { return box->toPlainText().contains(QStringLiteral("Line 99999 ")); }, 600000);
    const long grown = residentKiB() - before;
    // What the allocator keeps for later is not the window's: given back,
    // what remains is what the window holds.
    malloc_trim(0);
    std::printf("window after %d %s lines: resident memory %+ld KiB, %+ld KiB once the allocator "
                "gave back what it keeps spare, %d lines in the box\n",
                kLines, sealed ? "sealed" : "old-cipher", grown, residentKiB() - before,
                box->document()->blockCount() - 1);
    delete window;
}

void sealAndOpen()
{
    const auto key = deriveSealKey(kKey, kPrefix);
    SealedContent content;
    content.name = QStringLiteral("alice");
    content.text = QString(80, u'x');
    constexpr int kRounds = 20000;
    std::vector<double> sealMicros;
    std::vector<double> openMicros;
    QElapsedTimer clock;
    for (int i = 0; i < kRounds; ++i) {
        content.saidAtMs = i;
        clock.start();
        const QString line = sealRoomLine(*key, kPrefix, content);
        sealMicros.push_back(double(clock.nsecsElapsed()) / 1e3);
        clock.start();
        const auto opened = openRoomLine(*key, kPrefix, QStringView(line).mid(5));
        openMicros.push_back(double(clock.nsecsElapsed()) / 1e3);
        if (!opened)
            std::exit(1);
    }
    std::printf("one line of 80 characters: seal %.2f us, open %.2f us (medians of %d)\n",
                median(sealMicros), median(openMicros), kRounds);
}

void burst(const QString& room, const QString& self, bool sealed)
{
    auto* bob = new Solvane(enterRoom(room, QStringLiteral("bob")).release());
    bob->findChild<QLineEdit*>(QStringLiteral("pw"))->setText(kKey);
    bob->findChild<QAction*>(QStringLiteral("mnuDE"))->trigger();
    QTextDocument* document =
        bob->findChild<QPlainTextEdit*>(QStringLiteral("txtSaid"))->document();

    int shown = 0;
    QElapsedTimer clock;
    clock.start();
    qint64 firstShown = -1;
    qint64 lastShown = 0;
    StallWatch watch;
    // The box keeps only the most recent lines: the number in the last one
    // says how many have been shown.
    static const QRegularExpression number(QStringLiteral("Burst line (\\d+),"));
    QObject::connect(document, &QTextDocument::contentsChange, bob, [&](int, int, int added) {
        if (added <= 0)
            return;
        const QString last = document->lastBlock().previous().text();
        shown = number.match(last).captured(1).toInt() + 1;
        lastShown = clock.nsecsElapsed();
        if (firstShown < 0)
            firstShown = lastShown;
        watch.counting = shown < kBurstLines;
    });

    QProcess sender;
    sender.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sender.start(self, {sealed ? QStringLiteral("--sealed") : QStringLiteral("--old"), room,
                        QString::number(kBurstLines)});
    if (!runUntil([&] { return shown >= kBurstLines; }, 300000)) {
        std::fprintf(stderr, "bench_sealed: only %d of %d lines arrived\n", shown, kBurstLines);
        std::exit(1);
    }
    sender.waitForFinished(10000);
    const double spread = double(lastShown - firstShown) / 1e9;
    std::printf("burst of %d %s lines from another process: %.0f lines/s, longest event-loop "
                "stall %.1f ms\n",
                kBurstLines, sealed ? "sealed" : "old-cipher", double(kBurstLines - 1) / spread,
                double(watch.longest) / 1e6);
    delete bob;
}

// The other process of a burst: prepares the lines, says them as fast as the
// room takes them, and waits until the room has given them all back.
int sendBurst(const QString& room, bool sealed, int count)
{
    std::unique_ptr<ChatRoomControl> carol = enterRoom(room, QStringLiteral("carol"));
    int back = 0;
    QObject::connect(carol.get(), &ChatRoomControl::RoomLine,
                     [&](const QString& sender, const QString&) {
                         if (sender == QLatin1String("carol"))
                             ++back;
                     });
    carol->StartRoomScan();
    const auto key = deriveSealKey(kKey, kPrefix);
    QStringList lines;
    for (int i = 0; i < count; ++i) {
        const QString plain =
            QStringLiteral("Burst line %1, as a busy room would carry it.").arg(i);
        if (sealed) {
            SealedContent content;
            content.saidAtMs = QDateTime::currentMSecsSinceEpoch();
            content.name = QStringLiteral("carol");
            content.text = plain;
            lines.append(sealRoomLine(*key, kPrefix, content));
        } else {
            lines.append(kPrefix + encodeToString(plain, kKey).line);
        }
    }
    for (const QString& line : lines)
        carol->SendRoomLine(line);
    return runUntil([&] { return back >= count; }, 300000) ? 0 : 1;
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
    if (argc == 4 && (qstrcmp(argv[1], "--sealed") == 0 || qstrcmp(argv[1], "--old") == 0))
        return sendBurst(QString::fromLocal8Bit(argv[2]), qstrcmp(argv[1], "--sealed") == 0,
                         QByteArray(argv[3]).toInt());

    QTemporaryDir scratch;
    QDir::setCurrent(scratch.path());
    keyDerivation();
    typingWhileLinesArrive();
    sealAndOpen();
    if (qEnvironmentVariableIsSet("SVW_BENCH_MEMORY")) {
        // One kind a run: memory freed by the first would hide the second.
        memoryAfterManyLines(qEnvironmentVariable("SVW_BENCH_MEMORY") == QLatin1String("sealed"));
        return 0;
    }
    const QString room =
        QStringLiteral("local:bench-sealed-%1").arg(QCoreApplication::applicationPid());
    burst(room + QStringLiteral("-old"), QCoreApplication::applicationFilePath(), false);
    burst(room + QStringLiteral("-sealed"), QCoreApplication::applicationFilePath(), true);
    return 0;
}
