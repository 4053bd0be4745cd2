// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

class QAction;
class QMenuBar;

namespace svw {

// Shows the window's menu bar to assistive technology whole: its items, each
// with the state it stands at where it stands for something on or off, and
// what stands in its corners (Qt's own interface leaves the corners out of
// the tree, so a screen reader never finds them). Call once the bar has its
// items and corner widgets.
void presentMenuBar(QMenuBar* bar);

// Tells assistive technology that the bar's item `action` is on or off, and
// that it changed. A checkable action is a switch (pass its checked state);
// any other is one of a set of choices, of which the one chosen last is on,
// and stays an action that choosing again does not turn off.
void setToggleState(QAction* action, bool on);

} // namespace svw
