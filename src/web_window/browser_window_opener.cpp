// SPDX-License-Identifier: GPL-3.0-or-later
#include "browser_window_opener.h"

#include "browser_control.h"
#include "frm_browser.h"

#include <QApplication>
#include <QPointer>

namespace svw {

namespace {

// Web windows left open when the program ends are released while the application
// still exists: their browsers must go before the application's engine does, and
// each release hides the marker as a close would.
void releaseWindowsWhenQuitting()
{
    static const char kConnected[] = "svwReleasesWebWindowsOnQuit";
    if (qApp->property(kConnected).toBool())
        return;
    qApp->setProperty(kConnected, true);
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, qApp, [] {
        // Collect first: deleting a window also deletes top-level popups it owns.
        QList<QPointer<frmBrowser>> open;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* window = qobject_cast<frmBrowser*>(widget))
                open.append(window);
        }
        for (const QPointer<frmBrowser>& window : open)
            delete window.data();
    });
}

} // namespace

frmBrowser* openBrowserWindow(const QString& startingAddress, const QString& homeAddress,
                              QWidget* marker, const BrowserFactory& createBrowser)
{
    releaseWindowsWhenQuitting();
    auto* window = new frmBrowser(createBrowser());
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setMarker(marker);
    window->setHomeAddress(homeAddress);
    window->setStartingAddress(startingAddress);
    window->show();
    return window;
}

} // namespace svw
