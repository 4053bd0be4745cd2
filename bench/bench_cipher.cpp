// SPDX-License-Identifier: GPL-3.0-or-later
// Time of one line through the send and receive sequences, scratch files
// included, for a chat-sized line and for the longest line the cipher takes.

#include "scratch_sequences.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace svw;

namespace {

template<typename F> double medianMicros(int rounds, F&& body)
{
    std::vector<double> samples;
    samples.reserve(rounds);
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer timer;
        timer.start();
        body();
        samples.push_back(timer.nsecsElapsed() / 1000.0);
    }
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

void measure(const char* label, qsizetype length, int rounds)
{
    QString plain;
    for (qsizetype i = 0; i < length; ++i)
        plain.append(QChar(char16_t(u'a' + i % 26)));
    const QString key = QStringLiteral("correct horse");
    const QString cipher = encipherThroughScratch(plain, key).cipherLine;
    if (cipher.size() != length) {
        std::fprintf(stderr, "send sequence failed for %s\n", label);
        std::exit(1);
    }

    const double send = medianMicros(rounds, [&] { encipherThroughScratch(plain, key); });
    const double receive = medianMicros(rounds, [&] { decipherThroughScratch(cipher, key); });
    std::printf("%-22s send %9.1f us/line   receive %9.1f us/line   (median of %d)\n", label, send,
                receive, rounds);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid() || !QDir::setCurrent(dir.path()))
        return 1;
    measure("80 characters", 80, 2000);
    measure("32767 characters", 32767, 200);
    return 0;
}
