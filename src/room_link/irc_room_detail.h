// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Small pieces the IRC room's source files share.

#include <QString>

namespace svw::irc_room_detail {

// The token of the PINGs that confirm our lines: "svw" and a number.
inline const QString kMarkPrefix = QStringLiteral("svw");

// A duration for the user: "250 ms", "4 s".
inline QString seconds(int ms)
{
    return ms < 1000 ? QStringLiteral("%1 ms").arg(ms)
                     : QStringLiteral("%1 s").arg((ms + 500) / 1000);
}

} // namespace svw::irc_room_detail
