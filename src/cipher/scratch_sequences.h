// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "line_cipher.h"
#include "scratch_files.h"

#include <QString>

#include <optional>

namespace svw {

// What one pass of a line through the scratch files gave.
struct SentLine
{
    QString cipherLine;                     // read back from "temp"
    std::optional<CipherError> cipherError; // the line cannot be enciphered
    std::optional<ScratchError> fileError;  // "temp" could not be written or read

    // True when the cipher line may be said into the room.
    bool ok() const { return !cipherError && !fileError; }
};

struct ReceivedLine
{
    QString plainLine;                      // read back from "message", or deciphered in memory
    bool stoppedEarly = false;              // deciphering stopped before the end
    std::optional<CipherError> cipherError; // only a line over the length limit
    std::optional<ScratchError> fileError;  // "Got" or "message" failed; plainLine
                                            // then holds what deciphered in memory
};

// Enciphers one outgoing line through "temp": header "SVW Sent", each cipher
// character appended, the cipher line read back.
SentLine encipherThroughScratch(const QString& plain, const QString& key,
                                const QString& directory = {});

// Deciphers the text of one matching room line (without its prefix) through
// "Got" (header "SVW Gotten" and the cipher text) and "message" (header
// "SVW Message" and each deciphered character), reading the plain line back.
ReceivedLine decipherThroughScratch(const QString& cipherText, const QString& key,
                                    const QString& directory = {});

} // namespace svw
