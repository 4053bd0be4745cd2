// SPDX-License-Identifier: GPL-3.0-or-later
// One start of the chat window, as the program starts it, that ends at its first
// paint: it writes "painted" on standard output and leaves at once, so the parent
// (bench_startup) can time it and read its peak memory.
//
// Built four ways:
//   startup_probe_lean     without the web window at all;
//   startup_probe_svw      as svw: the lazy web-window loader wired to the link;
//   startup_probe_eagergl  as svw, but with Qt::AA_ShareOpenGLContexts set before the
//                          application, as the engine's documentation asks: the cost
//                          the loader avoids by making the shared context itself;
//   startup_probe_linked   with Qt WebEngine linked into the program, the cost the
//                          plugin avoids.

#include "room_factory.h"
#include "solvane.h"

#if defined(PROBE_SVW) || defined(PROBE_EAGERGL)
#include "web_page.h"
#include "web_window_loader.h"
#elif defined(PROBE_LINKED)
#include <QWebEngineView>
#endif

#include <QApplication>
#include <QEvent>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {

class FirstPaint : public QObject
{
public:
    using QObject::QObject;

    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && !m_seen) {
            m_seen = true;
            // Once this paint has been done.
            QTimer::singleShot(0, [] {
                std::fputs("painted\n", stdout);
                std::fflush(stdout);
                std::_Exit(0);
            });
        }
        return false;
    }

private:
    bool m_seen = false;
};

} // namespace

int main(int argc, char* argv[])
{
#if defined(PROBE_LINKED) || defined(PROBE_EAGERGL)
    // A program that links the engine must share GL contexts from the start.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
#endif
    QApplication app(argc, argv);

    QString error;
    std::unique_ptr<svw::ChatRoomControl> room = svw::createChatRoomControl(
        QStringLiteral("local:svw-bench-startup"), svw::defaultNick(), &error);
    if (!room) {
        std::fprintf(stderr, "startup probe: %s\n", qUtf8Printable(error));
        return 2;
    }
    auto* window = new svw::Solvane(room.release());
    window->installEventFilter(new FirstPaint(window));
#if defined(PROBE_SVW) || defined(PROBE_EAGERGL)
    window->setWebWindowOpener(svw::makeWebWindowOpener(QString(svw::kWebPageAddress)));
#elif defined(PROBE_LINKED)
    // Never true: the program carries the engine but does not start it.
    if (argc > 1000)
        (new QWebEngineView)->show();
#endif
    return QApplication::exec();
}
