// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

class QAction;
class QMenuBar;

namespace svw {

// Shows the window's menu bar to assistive technology whole: its items,
// each a toggle where it stands for something on or off, and what stands in
// its corners (Qt's own interface leaves the corners out of the tree, so a
// screen reader never finds them). Call once the bar has its items and
// corner widgets.
void presentMenuBar(QMenuBar* bar);

// Makes the bar's item `action` a toggle to assistive technology, on or off
// as given, without making the action itself checkable (choosing it again
// does not turn it off); a screen reader hears of the change. For an action
// that is checkable, pass its checked state.
void setToggleState(QAction* action, bool on);

} // namespace svw
