// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "browser_control.h"

#include <QTimer>

class QWebEngineView;

namespace svw {

// The browser control on Qt WebEngine.
//
// Qt reports per top-level page, not per frame: one loadStarted, one urlChanged and
// one loadFinished for a page however many frames it holds, and there is no
// completion signal per frame. So NavigateComplete2 comes once per navigation: when
// it reaches a new address (urlChanged, which Qt emits when the navigation commits,
// and for history.pushState), or, for a load that stays on the same address, when it
// finishes; DownloadComplete once per finished, failed or stopped load (loadFinished).
class WebEngineBrowser : public BrowserControl
{
    Q_OBJECT
public:
    explicit WebEngineBrowser(QWidget* parent = nullptr);

    bool Navigate(const QString& address) override;
    bool GoBack() override;
    bool GoForward() override;
    bool GoHome() override;
    bool Refresh() override;
    bool Stop() override;
    QString LocationName() const override;
    QString LocationURL() const override;
    bool Busy() const override;

    QWebEngineView* view() const { return m_view; }

private:
    void requestStarted();

    QWebEngineView* m_view;
    bool m_loading = false;
    bool m_addressReported = false; // NavigateComplete2 already came for this load
    // Qt starts a load a few milliseconds after it is asked to, but the window polls
    // Busy right away: a request counts as busy until its load starts. Should the
    // engine never start one (a download, a scheme it hands elsewhere), the request
    // stops counting after a while.
    QTimer m_requestPending;
};

} // namespace svw
