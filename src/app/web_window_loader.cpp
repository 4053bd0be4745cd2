// SPDX-License-Identifier: GPL-3.0-or-later
#include "web_window_loader.h"

#include "notice.h"
#include "web_window_plugin.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QOpenGLContext>
#include <QPluginLoader>
#include <QWidget>

#include <memory>
#include <unistd.h>

QT_BEGIN_NAMESPACE
// Exported by Qt GUI for exactly this purpose (Qt WebEngine declares it the same way)
// but not in a public header.
Q_GUI_EXPORT void qt_gl_set_global_share_context(QOpenGLContext* context);
QT_END_NAMESPACE

namespace svw {

namespace {

const char kDisableSandbox[] = "QTWEBENGINE_DISABLE_SANDBOX";
const char kChromiumFlags[] = "QTWEBENGINE_CHROMIUM_FLAGS";

// The web engine renders through OpenGL contexts that must share with one global
// context, which must exist before the engine is loaded. Qt makes it at start-up when
// Qt::AA_ShareOpenGLContexts is set, but that costs the chat window about as much as
// linking the engine (on X11 about 100 ms and 57 MB); so it is made here, on the first
// click, exactly as Qt would have made it. It lives as long as the program: the
// engine renders with it until the end.
void createGlobalShareContext()
{
    static QOpenGLContext* shared = nullptr;
    if (shared || QOpenGLContext::globalShareContext())
        return;
    shared = new QOpenGLContext;
    shared->setFormat(QSurfaceFormat::defaultFormat());
    shared->create(); // without OpenGL (offscreen) the engine draws in software
    qt_gl_set_global_share_context(shared);
}

} // namespace

bool disableWebSandboxForRoot(unsigned effectiveUid, std::FILE* err)
{
    if (effectiveUid != 0)
        return false;
    if (qEnvironmentVariableIsSet(kDisableSandbox) ||
        qEnvironmentVariable(kChromiumFlags).contains(QLatin1String("--no-sandbox")))
        return false;
    qputenv(kDisableSandbox, "1");
    std::fprintf(err,
                 "svw: running as root, where the web engine's sandbox cannot start; "
                 "web pages are shown without it (%s=1)\n",
                 kDisableSandbox);
    return true;
}

WebWindowLoader::WebWindowLoader(QString homeAddress, QStringList pluginDirs)
    : m_homeAddress(std::move(homeAddress)), m_pluginDirs(std::move(pluginDirs))
{}

// QPluginLoader leaves the plugin loaded: its windows may outlive this loader.
WebWindowLoader::~WebWindowLoader() = default;

QStringList WebWindowLoader::defaultPluginDirs()
{
    const QString programDir = QCoreApplication::applicationDirPath();
    return {programDir, QDir(programDir).filePath(QStringLiteral("../lib/svw/plugins"))};
}

QString WebWindowLoader::pluginFileName()
{
    return QStringLiteral(SVW_WEB_WINDOW_PLUGIN_FILE);
}

WebWindowFactory* WebWindowLoader::factory(QString* error)
{
    if (m_factory)
        return m_factory;

    QString path;
    for (const QString& dir : std::as_const(m_pluginDirs)) {
        const QFileInfo candidate(QDir(dir), pluginFileName());
        if (candidate.exists()) {
            path = candidate.absoluteFilePath();
            break;
        }
    }
    if (path.isEmpty()) {
        *error = QStringLiteral("The web window cannot be opened: its part of the program, "
                                "%1, was not found in %2.")
                     .arg(pluginFileName(), m_pluginDirs.join(QStringLiteral(", ")));
        return nullptr;
    }

    // Read without loading the library, so that a wrong file costs nothing.
    auto plugin = std::make_unique<QPluginLoader>(path);
    if (plugin->metaData().value(QLatin1String("IID")).toString() !=
        QLatin1String(SvwWebWindowFactory_iid)) {
        *error = QStringLiteral("The web window cannot be opened: %1 is not the SVW web window.")
                     .arg(path);
        return nullptr;
    }

    // Both must be in place before the engine loads with the plugin: the sandbox
    // setting is read when the engine starts, the shared context when it loads.
    disableWebSandboxForRoot(geteuid(), stderr);
    createGlobalShareContext();

    auto* found = qobject_cast<WebWindowFactory*>(plugin->instance());
    if (!found) {
        *error = QStringLiteral("The web window cannot be opened: %1 could not be loaded.\n\n%2")
                     .arg(path, plugin->errorString());
        plugin->unload();
        return nullptr;
    }
    m_plugin = std::move(plugin);
    m_factory = found;
    return m_factory;
}

void WebWindowLoader::open(const QString& startingAddress, QWidget* marker)
{
    QString error;
    WebWindowFactory* webWindows = factory(&error);
    if (!webWindows) {
        if (marker)
            marker->hide();
        std::fprintf(stderr, "svw: %s\n", qUtf8Printable(error));
        showNotice(marker ? marker->window() : nullptr, error);
        return;
    }
    webWindows->openWebWindow(startingAddress, m_homeAddress, marker);
}

std::function<void(const QString&, QWidget*)> makeWebWindowOpener(const QString& homeAddress)
{
    auto loader = std::make_shared<WebWindowLoader>(homeAddress);
    return [loader](const QString& startingAddress, QWidget* marker) {
        loader->open(startingAddress, marker);
    };
}

} // namespace svw
