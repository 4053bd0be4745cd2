// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

class QMenuBar;

namespace svw {

// Menu bars draw no check mark on the items that stand straight on them: a
// checked item of `bar` gets a frame around its caption instead, so its state
// shows without relying on any colour. Call it after anything else that sets
// the bar a style of its own.
void frameCheckedItems(QMenuBar* bar);

} // namespace svw
