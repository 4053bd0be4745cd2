// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The one thing the program knows of the web window before it is loaded. This header
// must stay free of any web-engine header: the program includes it without linking
// the engine, which is loaded with the plugin on the first click of the web link.

#include <QString>
#include <QtPlugin>

class QWidget;

namespace svw {

class WebWindowFactory
{
public:
    virtual ~WebWindowFactory() = default;

    // Opens a new, independent web window on startingAddress and shows it; "Home"
    // goes to homeAddress. When the window is finally released it hides the marker,
    // if the marker still exists. The window owns itself; the caller need not keep it.
    virtual QWidget* openWebWindow(const QString& startingAddress, const QString& homeAddress,
                                   QWidget* marker) = 0;
};

} // namespace svw

#define SvwWebWindowFactory_iid "org.solvane.svw.WebWindowFactory/1.0"
Q_DECLARE_INTERFACE(svw::WebWindowFactory, SvwWebWindowFactory_iid)
