// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

#include <cstdio>
#include <functional>
#include <memory>

class QPluginLoader;
class QWidget;

namespace svw {

class WebWindowFactory;

// Brings in the web window, and with it the web engine, only when the user first
// asks for a web window: linking the engine into the program would double the chat
// window's start-up time and memory. The web window is a plugin next to the program.
class WebWindowLoader
{
public:
    explicit WebWindowLoader(QString homeAddress, QStringList pluginDirs = defaultPluginDirs());
    ~WebWindowLoader();
    WebWindowLoader(const WebWindowLoader&) = delete;
    WebWindowLoader& operator=(const WebWindowLoader&) = delete;

    // Opens a new web window on startingAddress that hides marker when it is finally
    // released. The first call loads the plugin. When it cannot be loaded the user is
    // told in a message box and the marker is hidden again, as no window will.
    void open(const QString& startingAddress, QWidget* marker);

    // The program's own folder, then the folder an installed copy keeps it in.
    static QStringList defaultPluginDirs();
    static QString pluginFileName();

private:
    WebWindowFactory* factory(QString* error);

    QString m_homeAddress;
    QStringList m_pluginDirs;
    std::unique_ptr<QPluginLoader> m_plugin;
    WebWindowFactory* m_factory = nullptr;
};

// The opener for the chat window's web link: a new web window per call, loaded lazily.
std::function<void(const QString& startingAddress, QWidget* marker)>
makeWebWindowOpener(const QString& homeAddress);

// The web engine's sandbox cannot start for root (containers, CI) and the engine then
// takes the whole program down. Unless the sandbox has been turned off already, turns
// it off for root and says so on err. Returns whether it turned it off.
bool disableWebSandboxForRoot(unsigned effectiveUid, std::FILE* err);

} // namespace svw
