// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

class QAction;
class QComboBox;
class QLabel;
class QTimer;
class QToolBar;

namespace svw {

class AddressLineEdit;
class BrowserControl;

// The web window: a small browser with a toolbar (Back, Forward, Stop, Refresh,
// Home), an address box whose list is the most-recent-first history of the addresses
// visited, and a caption that reads "Working..." while a page loads.
//
// The window loads when it is first shown: it navigates to StartingAddress, which
// its creator sets before showing it. When the window is finally released it hides
// the marker its creator handed it, if that marker still exists.
class frmBrowser : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QString StartingAddress READ StartingAddress WRITE setStartingAddress)
    Q_PROPERTY(QString homeAddress READ homeAddress WRITE setHomeAddress)
public:
    // Takes ownership of the browser, which gets the object name "brwWebBrowser".
    explicit frmBrowser(BrowserControl* browser, QWidget* parent = nullptr);
    ~frmBrowser() override;

    QString StartingAddress() const { return m_startingAddress; }
    // Has no effect once the window has loaded.
    void setStartingAddress(const QString& address);

    // The page "Home" goes to.
    QString homeAddress() const;
    void setHomeAddress(const QString& address);

    // The widget to hide when this window is finally released. Held weakly: a marker
    // that has gone by then is left alone.
    void setMarker(QWidget* marker) { m_marker = marker; }

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void createControls();
    void createToolBar();
    void equalizeToolBarButtons();

    // The window's event handlers.
    void Form_Load();
    void Form_Resize();
    void Form_Terminate();
    void cboAddress_Click();
    void cboAddress_KeyPress(int keyAscii);
    void brwWebBrowser_NavigateComplete2();
    void brwWebBrowser_DownloadComplete();
    void timTimer_Timer();
    void tbToolBar_ButtonClick(QAction* button);

    void navigateFromAddressBox();

    QString m_startingAddress;
    bool mbUpdatingHistory = false;
    bool m_loaded = false;
    QPointer<QWidget> m_marker;

    QTimer* timTimer = nullptr;
    QWidget* picAddress = nullptr;
    QComboBox* cboAddress = nullptr;
    AddressLineEdit* m_addressEdit = nullptr;
    QLabel* lblAddress = nullptr;
    QToolBar* tbToolBar = nullptr;
    BrowserControl* brwWebBrowser = nullptr;
};

} // namespace svw
