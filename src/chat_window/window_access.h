// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

class QLabel;
class QMenuBar;

namespace svw {

// What makes the chat window usable from the keyboard and through a screen
// reader beyond the names and descriptions its controls carry.

// Shows `label` to assistive technology as a link that can be pressed. The
// press reaches the label as a Space key, so the window's own key handling
// of the focused link opens it.
void presentAsLink(QLabel* label);

// Lets Alt alone take the keyboard into the menu bar, with the chosen item
// shown, on every platform style (many leave this to Windows only).
void letAltReachMenuBar(QMenuBar* bar);

} // namespace svw
