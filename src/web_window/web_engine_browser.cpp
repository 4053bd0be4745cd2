// SPDX-License-Identifier: GPL-3.0-or-later
#include "web_engine_browser.h"

#include <QUrl>
#include <QVBoxLayout>
#include <QWebEngineHistory>
#include <QWebEngineView>

namespace svw {

namespace {
constexpr int kRequestStartTimeoutMs = 3000;
}

WebEngineBrowser::WebEngineBrowser(QWidget* parent)
    : BrowserControl(parent), m_view(new QWebEngineView(this))
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_view);
    setFocusProxy(m_view);

    m_requestPending.setSingleShot(true);
    m_requestPending.setInterval(kRequestStartTimeoutMs);

    connect(m_view, &QWebEngineView::loadStarted, this, [this] {
        m_requestPending.stop();
        m_loading = true;
        m_addressReported = false;
    });
    connect(m_view, &QWebEngineView::urlChanged, this, [this](const QUrl& url) {
        m_addressReported = true;
        emit NavigateComplete2(url.toString());
    });
    connect(m_view, &QWebEngineView::loadFinished, this, [this](bool ok) {
        m_requestPending.stop();
        m_loading = false;
        // Qt says nothing of a navigation that ends on the address already
        // shown (Refresh, Home on the home page, the same address typed
        // again); the window still has to hear that it completed.
        if (ok && !m_addressReported)
            emit NavigateComplete2(m_view->url().toString());
        m_addressReported = true;
        emit DownloadComplete();
    });
}

void WebEngineBrowser::requestStarted()
{
    m_requestPending.start();
}

bool WebEngineBrowser::Navigate(const QString& address)
{
    // Addresses are taken as a person types them: "example.com" means a web site.
    const QUrl url = QUrl::fromUserInput(address.trimmed());
    if (!url.isValid())
        return false;
    requestStarted();
    m_view->load(url);
    return true;
}

bool WebEngineBrowser::GoBack()
{
    if (!m_view->history()->canGoBack())
        return false;
    requestStarted();
    m_view->back();
    return true;
}

bool WebEngineBrowser::GoForward()
{
    if (!m_view->history()->canGoForward())
        return false;
    requestStarted();
    m_view->forward();
    return true;
}

bool WebEngineBrowser::GoHome()
{
    if (homeAddress().isEmpty())
        return false;
    return Navigate(homeAddress());
}

bool WebEngineBrowser::Refresh()
{
    if (m_view->url().isEmpty())
        return false;
    requestStarted();
    m_view->reload();
    return true;
}

bool WebEngineBrowser::Stop()
{
    m_requestPending.stop();
    m_view->stop();
    return true;
}

QString WebEngineBrowser::LocationName() const
{
    return m_view->title();
}

QString WebEngineBrowser::LocationURL() const
{
    return m_view->url().toString();
}

bool WebEngineBrowser::Busy() const
{
    return m_loading || m_requestPending.isActive();
}

} // namespace svw
