// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

namespace svw {

// A wait in whole seconds, for messages to the user ("4 s").
inline QString xmppSeconds(int ms)
{
    return QString::number((ms + 999) / 1000) + QStringLiteral(" s");
}

} // namespace svw
