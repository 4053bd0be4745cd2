// SPDX-License-Identifier: GPL-3.0-or-later
#include "frm_browser.h"

#include "address_line_edit.h"
#include "browser_control.h"
#include "twips.h"

#include <QAction>
#include <QComboBox>
#include <QEvent>
#include <QIcon>
#include <QKeySequence>
#include <QLabel>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include <algorithm>
#include <array>

namespace svw {

namespace {

using twips::fromPixels;
using twips::toPixels;

// The design, in twips from the top left corner of the client area.
constexpr int kClientWidth = 6540;
constexpr int kClientHeight = 5130;
constexpr int kToolBarHeight = 810;
constexpr int kButtonWidth = 720;
constexpr int kButtonHeight = 690;
constexpr int kStripTop = kToolBarHeight;
constexpr int kStripHeight = 675;
constexpr QRect kLabelRect(45, 60, 3075, 255);
constexpr QRect kAddressBoxRect(45, 300, 3795, 315);
constexpr int kAddressBoxLoadedLeft = 50;
constexpr int kAddressBoxGapBelowLabel = 15;
constexpr int kBrowserLeft = 45;
// The browser starts where the address strip ends, so the two never overlap. The
// resize rule sizes its height as if it began there, which leaves the same 100-twip
// margin below the browser as beside it.
constexpr int kBrowserTop = kStripTop + kStripHeight;
constexpr int kBrowserWidth = 6240;
constexpr int kBrowserHeight = 3735;
constexpr int kMargin = 100;

constexpr int kBusyPollMs = 5;
constexpr int kEnter = 13;

QRect toPixels(const QRect& t)
{
    return QRect(toPixels(t.x()), toPixels(t.y()), toPixels(t.width()), toPixels(t.height()));
}

// The toolbar's pictures, by their position in the image list.
const std::array<QString, 5> imlToolbarIcons = {
    QStringLiteral(":/svw/web/web_stop.svg"), QStringLiteral(":/svw/web/web_forward.svg"),
    QStringLiteral(":/svw/web/web_back.svg"), QStringLiteral(":/svw/web/web_refresh.svg"),
    QStringLiteral(":/svw/web/web_home.svg"),
};

struct ToolBarButton
{
    const char* key;
    const char* caption;
    const char* toolTip; // nullptr: the button has none
    int image;           // position in imlToolbarIcons, from 1
    // The keys every browser gives the command, as QKeySequence reads them,
    // "; " between two; and what the button does, for screen readers.
    const char* keys;
    const char* description;
};

constexpr std::array<ToolBarButton, 5> kButtons = {{
    {"Back", "Back", "Back", 3, "Alt+Left", "Goes back to the page before"},
    {"Forward", "Forward", "Forward", 2, "Alt+Right", "Goes forward to the next page"},
    {"Stop", "Stop", "Stop", 1, "Esc", "Stops loading the page"},
    {"Refresh", "Refresh", "Refresh", 4, "F5; Ctrl+R", "Loads the page again"},
    {"Home", "Home", nullptr, 5, "Alt+Home", "Goes to the home page"},
}};

// Drops one kind of event on its way to the widget it watches.
class EventSwallower : public QObject
{
public:
    EventSwallower(QEvent::Type type, QObject* parent) : QObject(parent), m_type(type) {}
    bool eventFilter(QObject*, QEvent* event) override { return event->type() == m_type; }

private:
    QEvent::Type m_type;
};

} // namespace

frmBrowser::frmBrowser(BrowserControl* browser, QWidget* parent)
    : QWidget(parent), brwWebBrowser(browser)
{
    setObjectName(QStringLiteral("frmBrowser"));
    setWindowIcon(QIcon(QStringLiteral(":/svw/web/web_window.svg")));
    resize(toPixels(kClientWidth), toPixels(kClientHeight));
    createControls();
}

frmBrowser::~frmBrowser()
{
    Form_Terminate();
}

void frmBrowser::setStartingAddress(const QString& address)
{
    if (!m_loaded)
        m_startingAddress = address;
}

QString frmBrowser::homeAddress() const
{
    return brwWebBrowser->homeAddress();
}

void frmBrowser::setHomeAddress(const QString& address)
{
    brwWebBrowser->setHomeAddress(address);
}

void frmBrowser::createControls()
{
    timTimer = new QTimer(this);
    timTimer->setObjectName(QStringLiteral("timTimer"));
    timTimer->setInterval(kBusyPollMs);
    connect(timTimer, &QTimer::timeout, this, &frmBrowser::timTimer_Timer);

    picAddress = new QWidget(this);
    picAddress->setObjectName(QStringLiteral("picAddress"));
    picAddress->setGeometry(0, toPixels(kStripTop), width(), toPixels(kStripHeight));

    cboAddress = new QComboBox(picAddress);
    cboAddress->setObjectName(QStringLiteral("cboAddress"));
    m_addressEdit = new AddressLineEdit(cboAddress);
    cboAddress->setLineEdit(m_addressEdit);
    // Typed text is navigated to as typed: no completion, and the list is the history
    // alone, so Enter does not add the typed text to it.
    cboAddress->setCompleter(nullptr);
    cboAddress->setInsertPolicy(QComboBox::NoInsert);
    cboAddress->setEditText(QStringLiteral("Combo1"));
    cboAddress->setGeometry(toPixels(kAddressBoxRect));
    // A combo box chooses the next entry on each turn of the mouse wheel, even
    // without the focus: here that would navigate through the history while
    // the user only scrolls past the box.
    cboAddress->installEventFilter(new EventSwallower(QEvent::Wheel, cboAddress));
    connect(cboAddress, &QComboBox::activated, this, [this] {
        if (!m_addressEdit->isCommittingText())
            cboAddress_Click();
    });
    connect(m_addressEdit, &AddressLineEdit::keyPressed, this, &frmBrowser::cboAddress_KeyPress);

    lblAddress = new QLabel(tr("&Address:"), picAddress);
    lblAddress->setObjectName(QStringLiteral("lblAddress"));
    lblAddress->setGeometry(toPixels(kLabelRect));
    lblAddress->setBuddy(cboAddress);

    createToolBar();

    brwWebBrowser->setParent(this);
    brwWebBrowser->setObjectName(QStringLiteral("brwWebBrowser"));
    brwWebBrowser->setGeometry(toPixels(kBrowserLeft), toPixels(kBrowserTop),
                               toPixels(kBrowserWidth), toPixels(kBrowserHeight));
    connect(brwWebBrowser, &BrowserControl::NavigateComplete2, this,
            &frmBrowser::brwWebBrowser_NavigateComplete2);
    connect(brwWebBrowser, &BrowserControl::DownloadComplete, this,
            &frmBrowser::brwWebBrowser_DownloadComplete);

    // The page first, then the address box, then the toolbar's buttons.
    QWidget* previous = cboAddress;
    setTabOrder(brwWebBrowser, cboAddress);
    for (QAction* action : tbToolBar->actions()) {
        QWidget* button = tbToolBar->widgetForAction(action);
        setTabOrder(previous, button);
        previous = button;
    }
}

void frmBrowser::createToolBar()
{
    tbToolBar = new QToolBar(this);
    tbToolBar->setObjectName(QStringLiteral("tbToolBar"));
    tbToolBar->setMovable(false);
    tbToolBar->setFloatable(false);
    tbToolBar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    tbToolBar->setIconSize(QSize(24, 24));
    tbToolBar->setGeometry(0, 0, width(), toPixels(kToolBarHeight));

    for (const ToolBarButton& b : kButtons) {
        QAction* action =
            tbToolBar->addAction(QIcon(imlToolbarIcons.at(b.image - 1)), tr(b.caption));
        action->setObjectName(QLatin1String(b.key));
        action->setData(QString::fromLatin1(b.key));
        // The window's shortcuts reach the toolbar's handler as a click does,
        // wherever the focus is in the window.
        const QList<QKeySequence> keys =
            QKeySequence::listFromString(QString::fromLatin1(b.keys), QKeySequence::PortableText);
        action->setShortcuts(keys);
        action->setShortcutContext(Qt::WindowShortcut);
        QWidget* button = tbToolBar->widgetForAction(action);
        button->setMinimumHeight(toPixels(kButtonHeight));
        // Reachable by Tab as well, and telling a screen reader its keys.
        button->setFocusPolicy(Qt::TabFocus);
        button->setAccessibleName(tr(b.caption));
        button->setAccessibleDescription(
            tr(b.description) +
            QStringLiteral(" (%1)").arg(keys.first().toString(QKeySequence::NativeText)));
        if (b.toolTip) {
            action->setToolTip(tr(b.toolTip));
        } else {
            button->setToolTip(QString());
            // A QAction without a tool tip falls back to its text.
            button->installEventFilter(new EventSwallower(QEvent::ToolTip, button));
        }
    }
    connect(tbToolBar, &QToolBar::actionTriggered, this, &frmBrowser::tbToolBar_ButtonClick);
    equalizeToolBarButtons();
}

// The buttons are one width, as designed, unless a caption needs more in the
// platform's font: then all take the width of the widest.
void frmBrowser::equalizeToolBarButtons()
{
    int width = toPixels(kButtonWidth);
    const QList<QAction*> actions = tbToolBar->actions();
    for (QAction* action : actions)
        width = std::max(width, tbToolBar->widgetForAction(action)->sizeHint().width());
    for (QAction* action : actions)
        tbToolBar->widgetForAction(action)->setFixedWidth(width);
}

void frmBrowser::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!m_loaded)
        Form_Load();
}

void frmBrowser::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    // The toolbar and the address strip are docked to the top edge and follow the
    // client width by themselves.
    tbToolBar->resize(width(), tbToolBar->height());
    picAddress->resize(width(), picAddress->height());
    Form_Resize();
}

void frmBrowser::Form_Load()
{
    m_loaded = true;
    // The page has the first focus, so typing on opening never rewrites the
    // address.
    brwWebBrowser->setFocus(Qt::OtherFocusReason);
    // The window is already on its way to the screen: loading runs from its first show.
    tbToolBar->repaint();
    Form_Resize();
    cboAddress->move(toPixels(kAddressBoxLoadedLeft),
                     toPixels(fromPixels(lblAddress->y()) + fromPixels(lblAddress->height()) +
                              kAddressBoxGapBelowLabel));
    if (m_startingAddress.isEmpty())
        return;
    cboAddress->setEditText(m_startingAddress);
    cboAddress->addItem(cboAddress->currentText());
    timTimer->start();
    brwWebBrowser->Navigate(m_startingAddress);
}

void frmBrowser::Form_Resize()
{
    // A size that would come out negative (a tiny window) is skipped: the control
    // keeps its previous size.
    const int clientWidth = fromPixels(width());
    const int clientHeight = fromPixels(height());
    if (const int w = clientWidth - kMargin; w >= 0)
        cboAddress->resize(toPixels(w), cboAddress->height());
    if (const int w = clientWidth - kMargin; w >= 0)
        brwWebBrowser->resize(toPixels(w), brwWebBrowser->height());
    const int stripBottom = fromPixels(picAddress->y()) + fromPixels(picAddress->height());
    if (const int h = clientHeight - stripBottom - kMargin; h >= 0)
        brwWebBrowser->resize(brwWebBrowser->width(), toPixels(h));
}

void frmBrowser::Form_Terminate()
{
    // The marker belongs to the chat window, which may have gone before this window:
    // hide it only if it still exists, and never touch anything else of that window.
    if (m_marker)
        m_marker->setVisible(false);
}

void frmBrowser::cboAddress_Click()
{
    // Selecting entry 0 while the history is rewritten must never navigate.
    // QComboBox raises activated() only for the user's own choice, so today
    // that selection reaches no handler; the flag keeps the rule should the
    // box ever report selections made by code too, which is what the web
    // window's tests simulate.
    if (mbUpdatingHistory)
        return;
    navigateFromAddressBox();
}

void frmBrowser::cboAddress_KeyPress(int keyAscii)
{
    if (keyAscii == kEnter)
        cboAddress_Click();
}

void frmBrowser::navigateFromAddressBox()
{
    if (!timTimer->isActive())
        timTimer->start();
    // An address the browser refuses outright starts nothing; the running timer's
    // next tick puts the current page's name back into the caption.
    const QString address = cboAddress->currentText();
    brwWebBrowser->Navigate(address);
}

void frmBrowser::brwWebBrowser_NavigateComplete2()
{
    setWindowTitle(brwWebBrowser->LocationName());

    const QString current = brwWebBrowser->LocationURL();
    int found = -1;
    const int count = cboAddress->count();
    for (int i = 0; i < count; ++i) {
        if (cboAddress->itemText(i) == current) {
            found = i;
            break;
        }
    }

    mbUpdatingHistory = true;
    if (found >= 0)
        cboAddress->removeItem(found);
    cboAddress->insertItem(0, current);
    cboAddress->setCurrentIndex(0);
    mbUpdatingHistory = false;
}

void frmBrowser::brwWebBrowser_DownloadComplete()
{
    setWindowTitle(brwWebBrowser->LocationName());
}

void frmBrowser::timTimer_Timer()
{
    if (brwWebBrowser->Busy()) {
        setWindowTitle(tr("Working..."));
    } else {
        timTimer->stop();
        setWindowTitle(brwWebBrowser->LocationName());
    }
}

void frmBrowser::tbToolBar_ButtonClick(QAction* button)
{
    if (!timTimer->isActive())
        timTimer->start();
    const QString key = button ? button->data().toString() : QString();
    if (key == QLatin1String("Back")) {
        brwWebBrowser->GoBack();
    } else if (key == QLatin1String("Forward")) {
        brwWebBrowser->GoForward();
    } else if (key == QLatin1String("Refresh")) {
        brwWebBrowser->Refresh();
    } else if (key == QLatin1String("Home")) {
        brwWebBrowser->GoHome();
    } else if (key == QLatin1String("Stop")) {
        timTimer->stop();
        brwWebBrowser->Stop();
        setWindowTitle(brwWebBrowser->LocationName());
    }
}

} // namespace svw
