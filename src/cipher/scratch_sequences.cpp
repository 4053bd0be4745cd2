// SPDX-License-Identifier: GPL-3.0-or-later
#include "scratch_sequences.h"

namespace svw {

SentLine encipherThroughScratch(const QString& plain, const QString& key, const QString& directory)
{
    SentLine sent;
    ScratchFiles files(directory);
    const QString& temp = ScratchFiles::kSentFile;

    files.WriteHeader(temp, ScratchFiles::kSentHeader);
    files.CloseAll();
    files.OpenAppend(temp);
    sent.cipherError = EncodeLine(plain, key, [&](QChar ch) { files.AppendChar(ch); });
    files.CloseAll();
    if (sent.cipherError)
        return sent;
    sent.cipherLine = files.ReadBack(temp);
    sent.fileError = files.error();
    if (sent.fileError)
        sent.cipherLine.clear(); // never hand out a line the file did not give back
    return sent;
}

ReceivedLine decipherThroughScratch(const QString& cipherText, const QString& key,
                                    const QString& directory)
{
    ReceivedLine received;
    ScratchFiles files(directory);
    const QString& message = ScratchFiles::kMessageFile;

    files.WriteHeader(ScratchFiles::kGotFile, ScratchFiles::kGotHeader);
    files.WriteLine(ScratchFiles::kGotFile, cipherText);
    files.WriteHeader(message, ScratchFiles::kMessageHeader);
    files.CloseAll();
    files.OpenAppend(message);
    const DecodeResult decoded =
        DecodeLine(cipherText, key, [&](QChar ch) { files.AppendChar(ch); });
    files.CloseAll();
    received.stoppedEarly = decoded.stoppedEarly;
    received.cipherError = decoded.error;
    if (decoded.error)
        return received;

    received.plainLine = files.ReadBack(message);
    received.fileError = files.error();
    if (received.fileError) {
        // The files failed but the line need not be lost: decipher it in
        // memory and cut it where the read-back would have cut it.
        const QString plain = decodeToString(cipherText, key);
        received.plainLine = plain.left(plain.indexOf(QChar(u'\r')));
    }
    return received;
}

} // namespace svw
