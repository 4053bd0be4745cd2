// SPDX-License-Identifier: GPL-3.0-or-later
#include "room_dialog.h"

#include "room_kind_pages.h"
#include "shown_text.h"

#include <QClipboard>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabWidget>
#include <QVBoxLayout>

static void initRoomDialogResources()
{
    // The network list is a resource of the chat window's library.
    Q_INIT_RESOURCE(chat_window);
}

namespace svw {

namespace {

QLabel* wrapped(const char* name)
{
    auto* label = new QLabel;
    label->setObjectName(QLatin1String(name));
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    // Read with the keyboard too, and by screen readers as it changes.
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    return label;
}

} // namespace

RoomDialog::RoomDialog(RoomKeeper* keeper, const QString& nick, QWidget* parent)
    : QDialog(parent), m_keeper(keeper)
{
    initRoomDialogResources();
    setObjectName(QStringLiteral("roomDialog"));
    setWindowTitle(QStringLiteral("Choose a room"));

    // The kinds of room, in the order their pages show.
    m_pages = {new LocalRoomPage, new IrcRoomPage(nick), new XmppRoomPage};

    // Everything but Enter and Cancel scrolls, so the dialog fits a small
    // screen, or one scaled up, and its buttons stay in reach.
    auto* outer = new QVBoxLayout(this);
    auto* scroll = new QScrollArea;
    scroll->setObjectName(QStringLiteral("roomScroll"));
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* content = new QWidget;
    scroll->setWidget(content);
    outer->addWidget(scroll);
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* top = new QFormLayout;
    layout->addLayout(top);

    const QStringList recent = keeper ? keeper->recentRooms() : QStringList();
    if (!recent.isEmpty()) {
        m_recent = new QComboBox;
        m_recent->setObjectName(QStringLiteral("recentRooms"));
        m_recent->addItem(QStringLiteral("(choose one)"));
        m_recent->addItems(recent);
        m_recent->setAccessibleName(QStringLiteral("Recent rooms"));
        m_recent->setAccessibleDescription(QStringLiteral("Rooms you entered before"));
        auto* label = new QLabel(QStringLiteral("&Recent rooms:"));
        label->setBuddy(m_recent);
        top->addRow(label, m_recent);
        connect(m_recent, &QComboBox::activated, this, [this](int index) {
            if (index > 0)
                showAddress(m_recent->itemText(index));
        });
    }

    m_address = new QLineEdit;
    m_address->setObjectName(QStringLiteral("roomAddress"));
    m_address->setPlaceholderText(QStringLiteral("paste a friend's invitation here"));
    m_address->setAccessibleName(QStringLiteral("Address or invitation"));
    m_address->setAccessibleDescription(
        QStringLiteral("A room's address, or the invitation a friend sent you: the pages below "
                       "fill in from it"));
    auto* addressLabel = new QLabel(QStringLiteral("Address or in&vitation:"));
    addressLabel->setBuddy(m_address);
    top->addRow(addressLabel, m_address);
    connect(m_address, &QLineEdit::textEdited, this, &RoomDialog::addressTyped);

    m_kinds = new QTabWidget;
    m_kinds->setObjectName(QStringLiteral("roomKinds"));
    m_kinds->setAccessibleName(QStringLiteral("Kind of room"));
    for (RoomKindPage* page : m_pages) {
        m_kinds->addTab(page, page->title());
        connect(page, &RoomKindPage::changed, this, &RoomDialog::refresh);
    }
    connect(m_kinds, &QTabWidget::currentChanged, this, &RoomDialog::refresh);
    layout->addWidget(m_kinds);

    m_meeting = wrapped("meetingText");
    m_meeting->setAccessibleName(QStringLiteral("How others meet you"));
    layout->addWidget(m_meeting);

    m_copy = new QPushButton(QStringLiteral("C&opy invitation"));
    m_copy->setObjectName(QStringLiteral("copyInvitation"));
    m_copy->setAutoDefault(false);
    m_copy->setAccessibleDescription(
        QStringLiteral("Copies one line for your friends to paste into their own room dialog; "
                       "it holds no password and no prefix"));
    connect(m_copy, &QPushButton::clicked, this, &RoomDialog::copyInvitation);
    layout->addWidget(m_copy, 0, Qt::AlignLeft);

    QLabel* secrets = wrapped("secretsNote");
    secrets->setText(keeper ? keeper->secretsNote()
                            : QStringLiteral("Passwords typed here are kept in memory only, "
                                             "until the program ends."));
    layout->addWidget(secrets);

    m_problem = wrapped("roomProblem");
    m_problem->hide();
    layout->addWidget(m_problem);

    auto* buttons = new QDialogButtonBox;
    m_enter = buttons->addButton(QStringLiteral("&Enter the room"), QDialogButtonBox::AcceptRole);
    m_enter->setObjectName(QStringLiteral("enterRoom"));
    m_enter->setDefault(true);
    QPushButton* cancel = buttons->addButton(QDialogButtonBox::Cancel);
    cancel->setObjectName(QStringLiteral("cancelRoom"));
    connect(buttons, &QDialogButtonBox::accepted, this, &RoomDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &RoomDialog::reject);
    outer->addWidget(buttons);

    if (keeper) {
        const QString current = keeper->currentAddress();
        showAddress(current);
        for (RoomKindPage* page : m_pages) {
            if (page->takes(current))
                page->showCredentials(keeper->knownCredentials(current));
        }
    }
    refresh();
    m_kinds->setFocus();

    // Wide enough for an address to show whole, as high as the content
    // wants; never more than the screen has. Narrower, the text wraps and
    // the content scrolls up and down, never sideways.
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    layout->activate();
    const QMargins margins = outer->contentsMargins();
    const int width = std::max(content->sizeHint().width(), fontMetrics().averageCharWidth() * 60) +
                      scroll->verticalScrollBar()->sizeHint().width() + margins.left() +
                      margins.right();
    const int height = content->heightForWidth(width) > 0 ? content->heightForWidth(width)
                                                          : content->sizeHint().height();
    const QSize wanted(width, height + buttons->sizeHint().height() + outer->spacing() +
                                  margins.top() + margins.bottom());
    resize(wanted.boundedTo(screen()->availableGeometry().size() * 9 / 10));
}

RoomKindPage* RoomDialog::currentPage() const
{
    return static_cast<RoomKindPage*>(m_kinds->currentWidget());
}

bool RoomDialog::showAddress(const QString& address)
{
    const QString text = address.trimmed();
    for (RoomKindPage* page : m_pages) {
        if (page->takes(text) && page->showAddress(text)) {
            m_kinds->setCurrentWidget(page);
            if (m_keeper)
                page->showCredentials(m_keeper->knownCredentials(text));
            refresh();
            return true;
        }
    }
    return false;
}

void RoomDialog::addressTyped(const QString& text)
{
    // Half an address reads as nothing yet: the pages stay as they are
    // until it does.
    if (!text.trimmed().isEmpty())
        showAddress(text);
}

void RoomDialog::refresh()
{
    RoomKindPage* page = currentPage();
    // A pasted invitation is a friend's text: it reaches the labels the way
    // every text from outside reaches the window.
    m_meeting->setText(shownNote(page->meetingText()));
    QString error;
    const bool complete = !page->address(&error).isEmpty();
    m_copy->setEnabled(page->canInvite());
    if (complete)
        m_problem->hide();
}

void RoomDialog::copyInvitation()
{
    const QString invitation = currentPage()->invitation();
    QGuiApplication::clipboard()->setText(invitation);
    m_problem->setText(shownNote(QStringLiteral("Copied for your friends: %1").arg(invitation)));
    m_problem->show();
}

void RoomDialog::accept()
{
    RoomKindPage* page = currentPage();
    QString error;
    const QString address = page->address(&error);
    if (address.isEmpty()) {
        m_problem->setText(shownNote(error));
        m_problem->show();
        return;
    }
    m_choice = RoomChoice{address, page->credentials()};
    QDialog::accept();
}

} // namespace svw
