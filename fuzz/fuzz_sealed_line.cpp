// SPDX-License-Identifier: GPL-3.0-or-later
// Room lines that carry the seal marker, through the receiving path of a
// sealed conversation whose key is ready. The first byte chooses the line:
// even, the rest of the input follows prefix and marker as it is; odd, the
// input is sealed properly with the group's key (the next bytes give the
// piece, the count and the time) and one of its characters may be altered,
// so that lines which open, pieces, replays and near misses are all reached.
// Sender and text are separated by a NUL byte.

#include "fuzz_check.h"
#include "sealed_conversation.h"

#include <QCoreApplication>

#include <cstdint>

using namespace svw;

namespace {

const QString kPrefix = QStringLiteral("-|?|-");
const QString kPassword = QStringLiteral("Key");
constexpr qint64 kNow = 1767225600000;

struct Setup
{
    Setup()
    {
        static int argc = 1;
        static char name[] = "fuzz_sealed_line";
        static char* argv[] = {name, nullptr};
        app = new QCoreApplication(argc, argv);
        talk = new SealedConversation;
        talk->clock = [] {
            return kNow;
        };
        talk->showLine = [this](const QString& line) {
            shown.append(line);
        };
        talk->showOldLine = [](const SealedConversation::RoomLine&) {
            check(false);
        };
        talk->prepareKey(kPassword, kPrefix);
        while (!talk->keyReady(kPassword, kPrefix))
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    QCoreApplication* app;
    SealedConversation* talk;
    QStringList shown;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Setup setup;
    if (size < 4)
        return 0;
    const QByteArray input(reinterpret_cast<const char*>(data + 4), qsizetype(size - 4));
    const qsizetype split = input.indexOf('\0');
    const QString sender = QString::fromUtf8(input.left(split < 0 ? 0 : split));
    const QString body = QString::fromUtf8(split < 0 ? input : input.mid(split + 1));

    QString line;
    if (data[0] % 2 == 0) {
        line = kPrefix + kSealMarker.toString() + body;
    } else {
        SealedContent content;
        content.pieces = quint8(data[1] % 4 + 1);
        content.piece = quint8(data[2] % content.pieces);
        content.saidAtMs = kNow + (qint64(data[3]) - 128) * 10000; // some outside the window
        content.textId.fill(data[1]);
        content.name = sender.left(3);
        content.text = body;
        line = sealRoomLine(*setup.talk->keys().key(kPassword, kPrefix), kPrefix, content);
        if (data[0] & 2) {
            const qsizetype at = kPrefix.size() + kSealMarker.size() + data[2] % 64;
            if (at < line.size())
                line[at] = line[at] == u'A' ? u'B' : u'A';
        }
    }

    const SealKey* key = setup.talk->keys().key(kPassword, kPrefix);
    check(key != nullptr);
    const bool opens =
        openRoomLine(*key, kPrefix, QStringView(line).mid(kPrefix.size())).has_value();

    setup.shown.clear();
    check(setup.talk->takeRoomLine({sender, line, kPrefix, kPassword}));
    check(!setup.talk->hasWaitingLines());
    // A line that does not open shows once, as the note and never as text.
    if (!opens)
        check(setup.shown.size() == 1 && setup.shown[0].endsWith(kSealedNote));
    check(setup.shown.size() <= 1);
    for (const QString& shown : setup.shown) {
        // Whatever it holds, the box gets one line without controls that
        // would break it.
        for (QChar ch : shown) {
            const char16_t u = ch.unicode();
            check(u == u'\t' || (u >= 0x20 && u != 0x7F && (u < 0x80 || u > 0x9F)));
        }
    }
    return 0;
}
