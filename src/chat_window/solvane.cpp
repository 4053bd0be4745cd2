// SPDX-License-Identifier: GPL-3.0-or-later
#include "solvane.h"

#include "alwayz_on_top.h"
#include "chat_room_control.h"
#include "first_caret.h"
#include "fitting_text.h"
#include "link_colour.h"
#include "menu_bar_access.h"
#include "menu_bar_look.h"
#include "notice.h"
#include "room_indicator.h"
#include "web_page.h"
#include "window_access.h"
#include "window_announcer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <limits>

static void initChatWindowResources()
{
    Q_INIT_RESOURCE(chat_window);
}

namespace svw {

namespace {

// Controls are laid out in twips from the top left corner of the client area
// under the menu bar, 15 twips to a pixel.
QRect fromTwips(int left, int top, int width, int height)
{
    constexpr int kTwipsPerPixel = 15;
    return QRect(left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
                 height / kTwipsPerPixel);
}

const QString kPrefixLengthMessage =
    QStringLiteral("Your Prefix must have exactly 5 Characters, please reformat");

const QString kHelpCaption = QStringLiteral("Solvane Veilwire");
const QString kHelpText = QStringLiteral(
    "All you have to do is Open AOL and then open the designated chat room.  As long as you "
    "have the right password you will be able to read the text.  However you're prefix must "
    "match everyone elses.  If someone is in your chat and you don't want to see their "
    "messages, change your prefix.");

constexpr qsizetype kPrefixLength = 5;

} // namespace

const QStringList& Solvane::prefixes()
{
    static const QStringList list{
        QStringLiteral("-|?|-"),
        QStringLiteral("-=+=-"),
        QStringLiteral("''!''"),
        QStringLiteral(u"\u00BA\u00AA\u00D1\u00AA\u00BA"),
    };
    return list;
}

Solvane::Solvane(ChatRoomControl* chat1, QWidget* parent) : QMainWindow(parent), Chat1(chat1)
{
    initChatWindowResources();
    setObjectName(QStringLiteral("Solvane"));
    setWindowTitle(QStringLiteral("Solvane Veilwire"));
    setWindowIcon(QIcon(QStringLiteral(":/svw/svw.png")));
    setAttribute(Qt::WA_DeleteOnClose);

    createControls();
    createMenu();
    describeControls();
    Form_Load();
}

Solvane::~Solvane()
{
    // The room goes first, so nothing it says while ending reaches a window
    // that is half gone.
    delete Chat1;
    // Closing the window moves the focus out of the boxes, and a box that
    // loses it reports an edit finished: by then this is no longer a chat
    // window to hear it.
    disconnect(pw, nullptr, this, nullptr);
    disconnect(cbPre->lineEdit(), nullptr, this, nullptr);
}

void Solvane::setWebWindowOpener(WebWindowOpener opener)
{
    m_webWindowOpener = std::move(opener);
}

void Solvane::setBeeper(std::function<void()> beeper)
{
    m_beeper = std::move(beeper);
}

void Solvane::createControls()
{
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    setCentralWidget(client);

    // Created in this order, so later controls lie above earlier ones where
    // they meet (the link above its marker frame).
    cmdClear = new QPushButton(QStringLiteral("Clear"), client);
    cmdClear->setGeometry(fromTwips(4320, 3000, 735, 255));
    cmdClear->setAutoDefault(true); // Enter on a focused Clear presses Clear

    cmdSend = new QPushButton(QStringLiteral("&Send"), client);
    cmdSend->setGeometry(fromTwips(3600, 3360, 1095, 255));
    cmdSend->setDefault(true);

    txtSend = new QLineEdit(client);
    txtSend->setGeometry(fromTwips(0, 3360, 3495, 285));
    txtSend->setMaxLength(std::numeric_limits<int>::max());

    cbPre = new QComboBox(client);
    cbPre->setGeometry(fromTwips(3360, 3000, 855, 315));
    cbPre->setEditable(true);
    cbPre->setInsertPolicy(QComboBox::NoInsert); // Enter sends; it never adds to the list
    cbPre->setCompleter(nullptr);                // typed text stays as typed
    cbPre->setEditText(prefixes().first());
    // A prefix must match to the letter, so all five characters show: the
    // widest of the list, and of what people type.
    fitComboText(cbPre, prefixes() + QStringList{QStringLiteral("qwert"), QStringLiteral("ABCDE")});

    pw = new QLineEdit(client);
    pw->setGeometry(fromTwips(840, 3000, 1935, 285));
    pw->setEchoMode(QLineEdit::Password);
    pw->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
    pw->setAttribute(Qt::WA_InputMethodEnabled, false);
    pw->setMaxLength(std::numeric_limits<int>::max());

    txtSaid = new QPlainTextEdit(client);
    txtSaid->setGeometry(fromTwips(0, 0, 5055, 2895));
    txtSaid->setReadOnly(true);
    txtSaid->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    txtSaid->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    txtSaid->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtSaid->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    txtSaid->setTabChangesFocus(true);
    txtSaid->setUndoRedoEnabled(false); // only the program writes it: nothing to undo
    // The most recent lines (and the empty line after them), so a long
    // conversation does not take ever more memory.
    txtSaid->setMaximumBlockCount(kConversationLines + 1);

    shape = new QFrame(client);
    shape->setFrameStyle(QFrame::Box | QFrame::Plain);
    shape->setLineWidth(1);
    shape->setGeometry(fromTwips(1200, 3720, 2655, 255));
    shape->setFocusPolicy(Qt::NoFocus);
    shape->hide();

    const QString scheme = QStringLiteral("http://");
    Web = new QLabel(QString(kWebPageAddress).mid(scheme.size()), client);
    Web->setGeometry(fromTwips(1320, 3720, 2535, 255));
    Web->setAlignment(Qt::AlignCenter);
    // Reached with Tab like the other controls, so the page can be opened
    // without a mouse; a click does not take the focus.
    Web->setFocusPolicy(Qt::TabFocus);
    Web->installEventFilter(this);
    presentAsLink(Web);

    Label2 = new QLabel(QStringLiteral("Password:"), client);
    Label2->setGeometry(fromTwips(0, 3000, 735, 255));
    Label2->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    Label1 = new QLabel(QStringLiteral("Prefix"), client);
    Label1->setGeometry(fromTwips(2880, 3000, 495, 255));

    // "Prefix" ends where its box begins: the caption keeps clear of it.
    fitCaptions({{Label2, pw}, {Label1, cbPre}}, 2);
    fitCaption(Web, Web->text(), 2);
    fitCaption(cmdClear, cmdClear->text(), 10);
    fitCaption(cmdSend, QStringLiteral("Send"), 10);
    fitBoxText(txtSend);
    fitBoxText(pw);

    const std::pair<QObject*, const char*> names[] = {
        {cmdClear, "cmdClear"}, {cmdSend, "cmdSend"}, {txtSend, "txtSend"},
        {cbPre, "cbPre"},       {pw, "pw"},           {txtSaid, "txtSaid"},
        {shape, "shape"},       {Web, "Web"},         {Label2, "Label2"},
        {Label1, "Label1"},
    };
    for (const auto& [control, name] : names)
        control->setObjectName(QLatin1String(name));
    applyLinkColour();
    m_announcer = new WindowAnnouncer(client);

    // Tab order: the conversation box (so its text can be selected and
    // copied from the keyboard), password, prefix, outgoing text, Send, the
    // link, Clear. Labels and the marker never take the focus.
    QWidget::setTabOrder(txtSaid, pw);
    QWidget::setTabOrder(pw, cbPre);
    QWidget::setTabOrder(cbPre, txtSend);
    QWidget::setTabOrder(txtSend, cmdSend);
    QWidget::setTabOrder(cmdSend, Web);
    QWidget::setTabOrder(Web, cmdClear);

    connect(cmdSend, &QPushButton::clicked, this, &Solvane::cmdSend_Click);
    connect(cmdClear, &QPushButton::clicked, this, &Solvane::cmdClear_Click);

    // The prefix box loses the focus as a whole; its line edit is watched
    // too because it is the widget that holds the focus inside the box.
    cbPre->installEventFilter(this);
    cbPre->lineEdit()->installEventFilter(this);
}

void Solvane::createMenu()
{
    // Four items straight on the menu bar, each acting when chosen.
    auto addItem = [this](const char* name, const QString& caption, void (Solvane::*handler)()) {
        QAction* item = menuBar()->addAction(caption);
        item->setObjectName(QLatin1String(name));
        connect(item, &QAction::triggered, this, handler);
        return item;
    };
    mnuDE = addItem("mnuDE", QStringLiteral("Listen for Decrypt"), &Solvane::mnuDE_Click);
    mnuStop = addItem("mnuStop", QStringLiteral("Stop Listening"), &Solvane::mnuStop_Click);
    mnuHelp = addItem("mnuHelp", QStringLiteral("Help"), &Solvane::mnuHelp_Click);
    mnuExit = addItem("mnuExit", QStringLiteral("Exit"), &Solvane::mnuExit_Click);
    createSealing();
    letAltReachMenuBar(menuBar());
    frameCheckedItems(menuBar()); // over the style the line above gives the bar

    // The menu bar's free right corner shows what the room is doing; the
    // controls below keep their places.
    m_roomIndicator = new RoomIndicator(menuBar());
    m_roomIndicator->setObjectName(QStringLiteral("roomIndicator"));
    menuBar()->setCornerWidget(m_roomIndicator, Qt::TopRightCorner);
    connect(m_roomIndicator, &RoomIndicator::clicked, this, &Solvane::openRoomDialog);
    QWidget::setTabOrder(cmdClear, m_roomIndicator);
    attachRoom(Chat1);
    // The bar describes the room as well, for readers that stop at its
    // items; presentMenuBar() below puts the sign itself in the tree.
    menuBar()->setAccessibleDescription(m_roomIndicator->summary());
    connect(m_roomIndicator, &RoomIndicator::summaryChanged, menuBar(),
            &QWidget::setAccessibleDescription);
    presentMenuBar(menuBar());
    setToggleState(mnuSeal, mnuSeal->isChecked());
    showListening(false);
}

// Names and descriptions for assistive technology, from each control's
// caption or purpose; a caption cut to fit still names its box whole.
void Solvane::describeControls()
{
    const struct
    {
        QWidget* control;
        const char* name;
        const char* description;
    } texts[] = {
        {txtSaid, "Conversation", "The group's lines: who said each, then what was said"},
        {pw, "Password", "The group's password; lines are enciphered and deciphered with it"},
        {cbPre, "Prefix", "Five characters that start every line of the group"},
        {cbPre->lineEdit(), "Prefix", "Five characters that start every line of the group"},
        {txtSend, "Text to send", "What to say to the group; Enter sends it"},
        {cmdSend, "Send", "Enciphers the text and says it into the room"},
        {cmdClear, "Clear", "Empties the conversation box"},
        {Web, nullptr, "Opens the web page in a browser window"},
        {Label2, "Password:", "Caption of the password box"},
        {Label1, "Prefix", "Caption of the prefix box"},
    };
    for (const auto& t : texts) {
        t.control->setAccessibleName(t.name ? QString::fromUtf8(t.name) : Web->text());
        t.control->setAccessibleDescription(QString::fromUtf8(t.description));
    }
    Label2->setBuddy(pw);
    Label1->setBuddy(cbPre);
}

// Listen and Stop are a pair: the one chosen last is on, for screen readers
// as for the room sign.
void Solvane::showListening(bool listening)
{
    const bool before = m_roomIndicator->listening();
    m_roomIndicator->setListening(listening);
    setToggleState(mnuDE, listening);
    setToggleState(mnuStop, !listening);
    if (listening != before)
        m_announcer->announce(listening ? QStringLiteral("Listening for the group's lines")
                                        : QStringLiteral("Not listening"));
}

void Solvane::showRoomState(RoomState state)
{
    // The room may only know its full name (the nick it got) once reached.
    m_roomIndicator->setRoomDescription(Chat1->roomDescription());
    m_roomIndicator->setRoomState(state);
}

// The link's designed dark blue reads on a light window only; on a dark one
// it gives way to a colour that reads.
void Solvane::applyLinkColour()
{
    // The window's own: it hears of a change before the controls inherit it.
    const QColor background = palette().color(QPalette::Window);
    QPalette colours = Web->palette();
    colours.setColor(QPalette::WindowText, linkColourOn(background));
    Web->setPalette(colours);
}

void Solvane::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::PaletteChange && Web) {
        applyLinkColour();
        applySealedLook();
    }
}

void Solvane::Form_Load()
{
    namespace Placement = AlwayzOnTop;
#ifdef Q_OS_WIN
    // Qt keeps its own idea of whether a widget shows: it has to show the
    // window itself, or it would neither paint it nor count it as open.
    setAttribute(Qt::WA_ShowWithoutActivating);
    show();
    const Placement::WindowHandle self = reinterpret_cast<void*>(winId());
#else
    Placement::WindowHandle const self = this;
#endif
    Placement::SetWindowPos(self, Placement::HWND_TOPMOST, 100, 100, 345, 315,
                            Placement::SWP_SHOWWINDOW | Placement::SWP_NOACTIVATE);

    cbPre->addItems(prefixes());
    cbPre->setCurrentIndex(0);

    // Where typing goes once the user first activates the window: the
    // password, which is needed before anything can be sent or read. Left
    // to itself the focus would go to the first control created, Clear,
    // where Enter would empty the conversation; and the click that activates
    // the window would leave it wherever that click happened to land.
    pw->setFocus(Qt::OtherFocusReason);
    new FirstCaret(this, pw, {cbPre, txtSend});
}

bool Solvane::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Resize &&
        (watched == menuBar() || watched == menuBar()->cornerWidget(Qt::TopRightCorner)))
        QTimer::singleShot(0, this, &Solvane::fitMenuBar);
    if (watched == Web) {
        if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space) {
                Web_Click();
                return true;
            }
        } else if (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut) {
            // The link has no frame to show the focus: it is underlined while
            // it has it.
            QFont font = Web->font();
            font.setUnderline(event->type() == QEvent::FocusIn);
            Web->setFont(font);
        } else if (event->type() == QEvent::MouseButtonRelease) {
            const auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() == Qt::LeftButton &&
                Web->rect().contains(mouse->position().toPoint()))
                Web_Click();
        }
    } else if (event->type() == QEvent::FocusOut) {
        // The box is left when the focus goes to another control of this
        // window. Opening the box's own list, a message box, or another
        // window or program taking the focus is not leaving it.
        const QWidget* next = QApplication::focusWidget();
        if (next && next != cbPre && !cbPre->isAncestorOf(next) && next->window() == this)
            queuePrefixCheck();
    }
    return QMainWindow::eventFilter(watched, event);
}

void Solvane::keyPressEvent(QKeyEvent* event)
{
    // Send is the window's default button: Enter in any box that does not
    // use the key itself presses it.
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        cmdSend->click();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void Solvane::queuePrefixCheck()
{
    // The check shows a message box, which must not open in the middle of
    // the focus change that raised it; it runs as soon as that is done.
    // Both the box and its line edit report the same loss of focus: one
    // check is enough.
    if (m_prefixCheckQueued)
        return;
    m_prefixCheckQueued = true;
    const quint64 ticket = ++m_prefixCheckTicket;
    QTimer::singleShot(0, this, [this, ticket] {
        if (m_prefixCheckQueued && ticket == m_prefixCheckTicket)
            cbPre_LostFocus();
    });
}

bool Solvane::runQueuedPrefixCheck()
{
    if (!m_prefixCheckQueued)
        return true;
    ++m_prefixCheckTicket; // the check runs here and not again when its turn comes
    const bool wellFormed = cbPre->currentText().toUcs4().size() == kPrefixLength;
    cbPre_LostFocus();
    return wellFormed;
}

void Solvane::cbPre_LostFocus()
{
    if (cbPre->currentText().toUcs4().size() == kPrefixLength) {
        m_prefixCheckQueued = false;
        return;
    }

    // A button that took the focus by being pressed does not go on to act:
    // the user first sees why the prefix was put back.
    if (auto* button = qobject_cast<QAbstractButton*>(QApplication::focusWidget()))
        button->setDown(false);

    // The flag stays set while the box is open, so the focus that the box
    // takes and gives back raises no second check.
    showNotice(this, kPrefixLengthMessage);
    cbPre->setEditText(prefixes().first());
    // A prefix must match to the letter, so all five characters show: the
    // widest of the list, and of what people type.
    fitComboText(cbPre, prefixes() + QStringList{QStringLiteral("qwert"), QStringLiteral("ABCDE")});
    m_prefixCheckQueued = false;
}

void Solvane::cmdClear_Click()
{
    txtSaid->clear();
}

void Solvane::mnuHelp_Click()
{
    // What the room is doing follows the help, below it.
    QPointer<QMessageBox> box = makeNotice(this, kHelpText, kHelpCaption);
    box->setInformativeText(m_roomIndicator->summary());
    box->exec();
    delete box.data();
}

void Solvane::Web_Click()
{
    shape->show();
    m_beeper();
    if (m_webWindowOpener)
        m_webWindowOpener(QString(kWebPageAddress), shape);
}

} // namespace svw
