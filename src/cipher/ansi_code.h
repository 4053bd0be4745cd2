// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QChar>
#include <QString>
#include <QStringView>

#include <cstdint>
#include <optional>

namespace svw {

// The code of one character in Windows-1252, the single-byte code page of the
// English (United States) locale. Every code 0..255 stands for exactly one
// character and back; the five codes that Windows-1252 leaves unassigned
// (129, 141, 143, 144, 157) stand for the C1 control characters of the same
// numbers, because ordinary text produces them when enciphered.
using AnsiCode = std::uint8_t;

// The character a code stands for.
QChar charOfAnsiCode(AnsiCode code);

// The code of a character, or nothing when Windows-1252 cannot represent it.
std::optional<AnsiCode> ansiCodeOf(QChar ch);

// Text to single-byte form. A character the code page cannot represent
// becomes '?', as the platform's own conversion does.
QByteArray toAnsiBytes(QStringView text);

// Single-byte form back to text; never fails.
QString fromAnsiBytes(QByteArrayView bytes);

// Human-readable name of a character for messages: the character itself in
// quotes and its code point, e.g. "€" (U+20AC).
QString describeCharacter(QStringView text, qsizetype index);

} // namespace svw
