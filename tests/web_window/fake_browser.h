// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "browser_control.h"

#include <QStringList>

namespace svw::test {

// A browser that loads nothing: it records what the window asks of it, and the test
// says when and where a navigation completes.
class FakeBrowser : public BrowserControl
{
    Q_OBJECT
public:
    explicit FakeBrowser(QWidget* parent = nullptr) : BrowserControl(parent)
    {
        setFocusPolicy(Qt::StrongFocus);
    }

    bool Navigate(const QString& address) override
    {
        calls << QStringLiteral("Navigate ") + address;
        navigations << address;
        busy = true;
        return true;
    }
    bool GoBack() override { return step(QStringLiteral("GoBack"), canGoBack); }
    bool GoForward() override { return step(QStringLiteral("GoForward"), canGoForward); }
    bool GoHome() override
    {
        calls << QStringLiteral("GoHome");
        return !homeAddress().isEmpty() && Navigate(homeAddress());
    }
    bool Refresh() override { return step(QStringLiteral("Refresh"), !url.isEmpty()); }
    bool Stop() override
    {
        calls << QStringLiteral("Stop");
        busy = false;
        return true;
    }
    QString LocationName() const override { return name; }
    QString LocationURL() const override { return url; }
    bool Busy() const override { return busy; }

    // The page at `address`, named `title`, has arrived: one NavigateComplete2 for
    // the page and one for each of its frames, then the download completes.
    void complete(const QString& address, const QString& title, int frames = 0)
    {
        url = address;
        name = title;
        emit NavigateComplete2(address);
        for (int i = 1; i <= frames; ++i)
            emit NavigateComplete2(address + QStringLiteral("frame%1.html").arg(i));
        busy = false;
        emit DownloadComplete();
    }

    QStringList calls;       // every operation asked for, in order
    QStringList navigations; // the addresses Navigate was given
    QString name;
    QString url;
    bool busy = false;
    bool canGoBack = false;
    bool canGoForward = false;

private:
    bool step(const QString& what, bool possible)
    {
        calls << what;
        if (possible)
            busy = true;
        return possible;
    }
};

} // namespace svw::test
