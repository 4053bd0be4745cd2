// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QtGlobal>

class QWidget;

namespace svw::AlwayzOnTop {

// The window placement call of user32. On Windows it is the system's own; on
// other systems a function of the same shape gives the same effect through
// Qt, with the window itself as its handle.
#ifdef Q_OS_WIN
using WindowHandle = void*; // HWND
#else
using WindowHandle = QWidget*;
#endif

inline constexpr qintptr HWND_TOP = 0;
inline constexpr qintptr HWND_TOPMOST = -1;
inline constexpr qintptr HWND_NOTOPMOST = -2;

inline constexpr quint32 SWP_NOSIZE = 0x0001;
inline constexpr quint32 SWP_NOMOVE = 0x0002;
inline constexpr quint32 SWP_NOACTIVATE = 0x0010;
inline constexpr quint32 SWP_SHOWWINDOW = 0x0040;

// Makes the window topmost (or not), puts its frame's top left corner at x, y
// and its outer size (frame included) to cx x cy screen pixels, and shows it,
// without activating it when SWP_NOACTIVATE is given.
qint32 SetWindowPos(WindowHandle hWnd, qintptr hWndInsertAfter, qint32 x, qint32 y, qint32 cx,
                    qint32 cy, quint32 wFlags);

} // namespace svw::AlwayzOnTop
