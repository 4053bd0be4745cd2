// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace svw {

// Whether a room line (prefix and cipher text) fits into one line of the room.
using FitsOneLine = std::function<bool(const QString& roomLine)>;

struct OutgoingPieces
{
    QStringList pieces;           // the plain text of each room line, in order
    std::optional<QString> error; // why the text cannot be said; no pieces then
};

// Splits an outgoing text into the pieces that are said as separate room
// lines. A text whose room line fits is one piece. A longer one is cut into
// the longest pieces whose room lines fit, each enciphered on its own with
// the key starting again at its first character. A cut never leaves a room
// line ending in a space or tab, because some rooms strip trailing white
// space and the receiving copy would lose those characters. `text` and
// `key` must not be empty.
OutgoingPieces splitOutgoingText(const QString& text, const QString& key, const QString& prefix,
                                 const FitsOneLine& fits);

} // namespace svw
