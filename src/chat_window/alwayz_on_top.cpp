// SPDX-License-Identifier: GPL-3.0-or-later
#include "alwayz_on_top.h"

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <memory>
#endif

namespace svw::AlwayzOnTop {

#ifdef Q_OS_WIN

qint32 SetWindowPos(WindowHandle hWnd, qintptr hWndInsertAfter, qint32 x, qint32 y, qint32 cx,
                    qint32 cy, quint32 wFlags)
{
    return ::SetWindowPos(static_cast<HWND>(hWnd), reinterpret_cast<HWND>(hWndInsertAfter), x, y,
                          cx, cy, wFlags);
}

#else

namespace {

// Qt sizes a window by its client area, but the call sets the outer size,
// frame included. The frame is only known once a window manager has framed
// the shown window, so the size is first set as if there were no frame and
// corrected once the frame appears. Without a window manager (offscreen)
// there never is a frame and the first size stands.
void keepOuterGeometry(QWidget* window, QPoint topLeft, QSize outer, bool move, bool size)
{
    auto* poll = new QTimer(window);
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    QObject::connect(poll, &QTimer::timeout, window, [=] {
        const QSize frame = window->frameGeometry().size();
        const QSize client = window->geometry().size();
        // While the window manager reparents the window its frame can read
        // smaller than the client area for a moment; only a frame that holds
        // the client area is one to size by.
        const bool framed =
            frame != client && frame.width() >= client.width() && frame.height() >= client.height();
        if (framed) {
            if (size)
                window->resize(outer - (frame - client));
            if (move)
                window->move(topLeft);
        }
        if (framed || clock->hasExpired(3000))
            poll->deleteLater();
    });
    poll->start(20);
}

} // namespace

qint32 SetWindowPos(WindowHandle hWnd, qintptr hWndInsertAfter, qint32 x, qint32 y, qint32 cx,
                    qint32 cy, quint32 wFlags)
{
    QWidget* window = hWnd ? hWnd->window() : nullptr;
    if (!window)
        return 0;

    if (hWndInsertAfter == HWND_TOPMOST || hWndInsertAfter == HWND_NOTOPMOST) {
        // Changing the flags of a shown window hides it: show it again.
        const bool wasVisible = window->isVisible();
        window->setWindowFlag(Qt::WindowStaysOnTopHint, hWndInsertAfter == HWND_TOPMOST);
        if (wasVisible && !window->isVisible())
            wFlags |= SWP_SHOWWINDOW;
    }
    window->setAttribute(Qt::WA_ShowWithoutActivating, (wFlags & SWP_NOACTIVATE) != 0);

    const bool move = (wFlags & SWP_NOMOVE) == 0;
    const bool size = (wFlags & SWP_NOSIZE) == 0;
    const QPoint topLeft(x, y);
    const QSize outer(cx, cy);
    if (move)
        window->move(topLeft); // a top-level window's move() places its frame
    if (size) {
        // A platform that knows its frame before the window shows tells it
        // once the window exists.
        window->winId();
        const QSize frameExtra = window->frameGeometry().size() - window->geometry().size();
        window->resize(outer - frameExtra);
    }
    if (wFlags & SWP_SHOWWINDOW) {
        const bool framed = window->frameGeometry().size() != window->geometry().size();
        window->show();
        if (!framed && (move || size))
            keepOuterGeometry(window, topLeft, outer, move, size);
    }
    return 1;
}

#endif

} // namespace svw::AlwayzOnTop
