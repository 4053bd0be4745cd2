// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

class QApplication;

namespace svw {

class Solvane;

// A test-only remote control for the running program, used by the end-to-end
// tests that start real copies of it. It is off unless the environment
// variable SVW_TEST_DRIVER is set to a value other than "" or "0", and the
// chat window knows nothing of it: it works the window from outside, as a
// user would, through the controls' object names.
//
// Commands come one a line on standard input; fields are separated by one
// space and texts are percent-encoded UTF-8:
//   set NAME TEXT   focus the box NAME (a spin box too) and type TEXT over
//                   what it holds
//   focus NAME      give the focus to NAME, as the Tab key would
//   key KEY         press Return, Enter, Tab or Backtab where the focus is
//   click NAME      press the button NAME (the room sign too); a dialog it
//                   opens is worked by the commands that follow, by the names
//                   of its controls
//   choose NAME TEXT  pick the entry TEXT of the list NAME, or its page TEXT
//                   when NAME is a tab box
//   menu NAME       choose the menu item NAME (mnuDE, mnuStop, mnuHelp, mnuExit)
//   close           close the window by its frame
//   focused         answer "focused NAME" with the control that has the focus
//   text NAME       answer "text NAME TEXT" with the text of a box or label
//   sync TOKEN      answer "ok TOKEN" once everything before it is done
// Reports on standard output, one a line:
//   ready                       the window is up and commands are read
//   said TEXT                   TEXT was added to the conversation box
//   cleared                     the conversation box was emptied
//   box CAPTION TEXT            a message box showed (it is closed with OK)
//   ask QUESTION                the program asked for a text, a password
//                               (answered with SVW_TEST_ANSWER, else declined)
namespace test_driver {

bool requested();

// Reports every message box that opens and closes it with OK, and every
// question the program asks and answers it, so that a test never hangs on a
// modal box. Install it before anything may show one.
void reportMessageBoxes(QApplication* app);

// Starts reading commands for `window` and reporting its conversation box.
void drive(Solvane* window);

} // namespace test_driver

} // namespace svw
