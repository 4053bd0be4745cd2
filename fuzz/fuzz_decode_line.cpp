// SPDX-License-Identifier: GPL-3.0-or-later
// Deciphering of whatever a room may carry, through the scratch files, as the
// receiving side does it. The input is a password and a cipher text separated
// by the first NUL byte, both read as UTF-8 so that characters outside the
// code page, lone surrogates and control characters all reach the cipher.

#include "fuzz_check.h"
#include "scratch_sequences.h"

#include <QDir>
#include <QTemporaryDir>

#include <cstdint>

using namespace svw;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static QTemporaryDir dir; // the scratch files land in the working directory
    static const bool entered = dir.isValid() && QDir::setCurrent(dir.path());
    check(entered);

    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    const qsizetype split = input.indexOf('\0');
    const QString key = QString::fromUtf8(split < 0 ? QByteArray() : input.left(split));
    const QString cipher = QString::fromUtf8(split < 0 ? input : input.mid(split + 1));

    const ReceivedLine received = decipherThroughScratch(cipher, key);
    check(!received.fileError);
    if (received.cipherError) {
        check(received.plainLine.isEmpty());
        return 0;
    }

    // What the files gave back is what deciphering in memory gives, cut at
    // the first carriage return.
    DecodeResult decoded;
    const QString plain = decodeToString(cipher, key, &decoded);
    check(decoded.stoppedEarly == received.stoppedEarly);
    check(received.plainLine == plain.left(plain.indexOf(QChar(u'\r'))));
    check(plain.size() <= cipher.size());

    // A line deciphered whole enciphers back to the same cipher text, unless
    // the password holds a character past the line's end that no code stands for.
    if (!decoded.stoppedEarly && !plain.isEmpty()) {
        const EncodeOutcome back = encodeToString(plain, key);
        check(back.error ? back.error->kind == CipherError::Kind::KeyOutsideCodePage
                         : back.line == cipher);
    }
    return 0;
}
