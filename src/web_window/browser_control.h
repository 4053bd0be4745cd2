// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QWidget>

namespace svw {

// The browser a web window shows its pages in. The window's handlers use only these
// operations and the two events, so any engine (or a test's stand-in) can sit behind
// them. The control is itself the widget the window places and sizes.
//
// Operations that can fail return false; the window's handlers ignore a failing step
// and go on with the next one.
class BrowserControl : public QWidget
{
    Q_OBJECT
public:
    using QWidget::QWidget;

    // Starts loading the address and returns at once. False when the address is
    // refused outright (for instance an empty one).
    virtual bool Navigate(const QString& address) = 0;
    // Previous / next page of the control's own history; false when there is none.
    virtual bool GoBack() = 0;
    virtual bool GoForward() = 0;
    // Goes to homeAddress(); false when no home page is set.
    virtual bool GoHome() = 0;
    // Reloads the current page; false when nothing has been loaded.
    virtual bool Refresh() = 0;
    virtual bool Stop() = 0;

    // The name (title) of the current page, and the full address of the current
    // top-level page. Both empty before the first page.
    virtual QString LocationName() const = 0;
    virtual QString LocationURL() const = 0;
    // True from a navigation request until the page has finished loading.
    virtual bool Busy() const = 0;

    QString homeAddress() const { return m_homeAddress; }
    void setHomeAddress(const QString& address) { m_homeAddress = address; }

signals:
    // Loading of the current page ended: finished, failed or stopped.
    void DownloadComplete();
    // A navigation reached its new address; the address is that of the frame that
    // navigated (the window ignores it and asks for LocationURL).
    void NavigateComplete2(const QString& address);

private:
    QString m_homeAddress;
};

} // namespace svw
