// SPDX-License-Identifier: GPL-3.0-or-later
// What the benchmarks share: entering a room, running the event loop until
// something holds, and reading a figure off a set of samples.
#pragma once

#include "chat_room_control.h"
#include "room_factory.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

namespace svw::bench {

// Enters `room` as `nick`, or ends the benchmark saying why it could not.
inline std::unique_ptr<ChatRoomControl> enterRoom(const QString& room, const QString& nick)
{
    QString error;
    std::unique_ptr<ChatRoomControl> control = createChatRoomControl(room, nick, &error);
    if (!control) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()),
                     qPrintable(error));
        std::exit(1);
    }
    return control;
}

// Points the room's and Qt's runtime files at a folder of this run, so that a
// benchmark leaves nothing behind; processes it starts inherit the folder, and
// must not call this themselves. Call before the application object exists.
inline std::unique_ptr<QTemporaryDir> ownRuntimeDirectory()
{
    auto runtime = std::make_unique<QTemporaryDir>();
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime->path()));
    return runtime;
}

// Runs the event loop until `done` holds or `timeoutMs` passes.
inline bool runUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.hasExpired(timeoutMs))
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    return true;
}

// The sample below which the fraction `p` of them lie: 0.5 is the median.
inline double percentile(std::vector<double> samples, double p)
{
    std::sort(samples.begin(), samples.end());
    return samples[std::min(samples.size() - 1, std::size_t(p * double(samples.size())))];
}

} // namespace svw::bench
