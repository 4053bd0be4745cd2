// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace svw {

class BrowserControl;
class frmBrowser;

// Makes the browser a new web window shows its pages in.
using BrowserFactory = std::function<BrowserControl*()>;

// Opens a new, independent web window on startingAddress, with homeAddress as the
// page "Home" goes to, and shows it as an ordinary window: no owner, not modal. The
// window deletes itself when it is closed and then hides the marker, if the marker
// still exists. The caller need not keep the returned pointer.
frmBrowser* openBrowserWindow(const QString& startingAddress, const QString& homeAddress,
                              QWidget* marker, const BrowserFactory& createBrowser);

} // namespace svw
