// SPDX-License-Identifier: GPL-3.0-or-later
#include "web_engine_plugin.h"

#include "browser_window_opener.h"
#include "frm_browser.h"
#include "web_engine_browser.h"

namespace svw {

QWidget* WebEnginePlugin::openWebWindow(const QString& startingAddress, const QString& homeAddress,
                                        QWidget* marker)
{
    return openBrowserWindow(startingAddress, homeAddress, marker,
                             [] { return new WebEngineBrowser; });
}

} // namespace svw
