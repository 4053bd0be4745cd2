// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "web_window_plugin.h"

#include <QObject>

namespace svw {

// The web window on Qt WebEngine, as the plugin the program loads on first use.
class WebEnginePlugin : public QObject, public WebWindowFactory
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID SvwWebWindowFactory_iid)
    Q_INTERFACES(svw::WebWindowFactory)
public:
    QWidget* openWebWindow(const QString& startingAddress, const QString& homeAddress,
                           QWidget* marker) override;
};

} // namespace svw
