// SPDX-License-Identifier: GPL-3.0-or-later
// Sealed lines in the chat window: the action that turns sealing on, sealed
// sending, and handing sealed room lines to the sealed conversation. Nothing
// of a sealed line passes through the scratch files.

#include "solvane.h"

#include "chat_room_control.h"
#include "menu_bar_access.h"
#include "notice.h"
#include "room_indicator.h"
#include "sealed_conversation.h"
#include "sealed_look.h"
#include "shown_text.h"
#include "window_announcer.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QMenuBar>
#include <QPalette>
#include <QPlainTextEdit>
#include <QTimer>

namespace svw {

namespace {

// The menu bar of this small window has room for one short word after Exit,
// and menu bars draw no check mark on their items: the caption stays, the
// state is the action's checked state (screen readers say it, the bar frames
// the item), the room sign shows a lock, and the conversation box shows it at
// a glance by its colour.
const QString kSealCaption = QStringLiteral("Seal");
// The nonces and times of the sealed lines shown, nothing else.
const QString kSeenFile = QStringLiteral("sealed-seen");

// The name the room knows us by, from its description ("... as ann").
QString nameInRoom(const ChatRoomControl* room)
{
    const QString description = room->roomDescription();
    const qsizetype as = description.lastIndexOf(QStringLiteral(" as "));
    return as < 0 ? QString() : description.mid(as + 4).trimmed();
}

} // namespace

void Solvane::createSealing()
{
    m_sealed = new SealedConversation(this);
    // Beside the scratch files, in the folder this copy holds: a copy started
    // again knows the lines it has shown.
    m_sealed->setSeenFile(QDir::current().filePath(kSeenFile));
    m_sealed->showLine = [this](const QString& line) {
        appendShownLine(line);
    };
    m_sealed->showOldLine = [this](const SealedConversation::RoomLine& line) {
        showOldCipherLine(line.sender, line.text, line.prefix, line.key);
    };
    // Lines that waited for a key join the front of the window's own queue,
    // before anything that arrived after them, and are shown in slices.
    m_sealed->resume = [this](std::deque<SealedConversation::RoomLine> lines) {
        for (auto line = lines.rbegin(); line != lines.rend(); ++line)
            m_waitingLines.push_front({line->sender, line->text, line->prefix, line->key, {}});
        if (!m_drainScheduled) {
            m_drainScheduled = true;
            QTimer::singleShot(0, this, &Solvane::showWaitingLines);
        }
    };
    // A group that seals stays sealed: a line that opens turns sealing on
    // here too. Only the user turns it off.
    m_sealed->sealedLineOpened = [this] {
        mnuSeal->setChecked(true);
    };
    connect(m_sealed, &SealedConversation::keyArrived, this, &Solvane::flushSealedSends);
    // Texts that waited for a key that could not be made go back into the
    // box rather than waiting for ever, out of sight.
    connect(m_sealed, &SealedConversation::keyFailed, this,
            [this](const QString& password, const QString& prefix) {
                QString back;
                for (auto send = m_sealedSends.begin(); send != m_sealedSends.end();) {
                    if (send->key == password && send->prefix == prefix) {
                        back += send->text;
                        send = m_sealedSends.erase(send);
                    } else {
                        ++send;
                    }
                }
                if (back.isEmpty())
                    return;
                txtSend->setText(back + txtSend->text());
                openNotice(this, QStringLiteral("The key for sealing could not be made: there is "
                                                "not enough memory. The text is back in the box."));
            });

    // Straight on the menu bar, so it is one click away.
    mnuSeal = menuBar()->addAction(kSealCaption);
    mnuSeal->setObjectName(QStringLiteral("mnuSeal"));
    mnuSeal->setCheckable(true);
    mnuSeal->setToolTip(QStringLiteral("Sealing is off: lines use the old cipher"));
    connect(mnuSeal, &QAction::toggled, this, &Solvane::mnuSeal_Toggled);
    // The bar and whatever stands in its corner are watched for their size.
    menuBar()->installEventFilter(this);

    // The key is derived ahead of the first sealed line once the password or
    // prefix is settled, not at every keystroke.
    connect(pw, &QLineEdit::editingFinished, this, &Solvane::prepareSealKey);
    connect(cbPre->lineEdit(), &QLineEdit::editingFinished, this, &Solvane::prepareSealKey);
}

// The four items, the switch and the room's corner must all stand on the bar
// of this small window; with a desktop font larger than the one it was made
// for they do not. As the captions of the controls do, the bar then takes a
// smaller size of its font, just small enough for everything to be whole.
void Solvane::fitMenuBar()
{
    QMenuBar* bar = menuBar();
    QWidget* corner = bar->cornerWidget(Qt::TopRightCorner);
    if (corner)
        corner->installEventFilter(this);
    // A smaller font changes the bar's height, which brings us here again:
    // only a change of the widths needs a new fit.
    const QSize widths(bar->width(), corner ? corner->width() : 0);
    if (bar->property("svwFittedFor").toSize() == widths)
        return;
    bar->setProperty("svwFittedFor", widths);

    const auto fits = [&] {
        const QRect place = bar->actionGeometry(mnuSeal);
        const int room = corner && corner->isVisible() ? corner->geometry().left() : bar->width();
        return !place.isEmpty() && place.right() < room;
    };
    QFont font = QApplication::font(bar);
    bar->setFont(font);
    while (!fits() && font.pointSizeF() > 6.0) {
        font.setPointSizeF(font.pointSizeF() - 0.5);
        bar->setFont(font);
    }
}

void Solvane::mnuSeal_Toggled(bool on)
{
    mnuSeal->setToolTip(on ? QStringLiteral("Sealing is on: lines are sealed")
                           : QStringLiteral("Sealing is off: lines use the old cipher"));
    applySealedLook();
    if (m_roomIndicator)
        m_roomIndicator->setSealed(on);
    // A sealed line turns sealing on without the user: it is said.
    setToggleState(mnuSeal, on);
    m_announcer->announce(mnuSeal->toolTip());
    prepareSealKey();
}

// A green box while sealed, in colours worked out from the window's own so
// that the conversation reads on light, dark and high-contrast desktops.
void Solvane::applySealedLook()
{
    if (!mnuSeal || !mnuSeal->isChecked()) {
        txtSaid->setPalette(QPalette()); // the window's colours again
        return;
    }
    const SealedColours sealed =
        sealedColoursFor(palette().color(QPalette::Base), palette().color(QPalette::Text));
    QPalette colours;
    colours.setColor(QPalette::Base, sealed.base);
    colours.setColor(QPalette::Text, sealed.text);
    txtSaid->setPalette(colours);
}

void Solvane::prepareSealKey()
{
    if (mnuSeal->isChecked())
        m_sealed->prepareKey(pw->text(), cbPre->currentText());
}

void Solvane::startedListeningSealed()
{
    m_sealed->startedListening();
}

QString Solvane::markedIfWeak(const QString& shown) const
{
    return mnuSeal->isChecked() ? kWeakMark + shown : shown;
}

bool Solvane::takeSealedLine(const QString& sender, const QString& text, const QString& prefix,
                             const QString& key)
{
    return m_sealed->takeRoomLine({sender, text, prefix, key});
}

void Solvane::sendSealed(const QString& text, const QString& key, const QString& prefix)
{
    // Asked at every send: the room may have given us another name since.
    if (const QString name = nameInRoom(Chat1); !name.isEmpty())
        m_sealed->setOwnName(name);
    const auto fits = [this](const QString& roomLine) {
        return Chat1->fitsOneLine(roomLine);
    };
    if (m_sealedSends.empty()) {
        // With the key at hand this is an ordinary send: a refused text
        // stays in the box.
        if (const auto sealed = m_sealed->seal(text, key, prefix, fits)) {
            if (sealed->error) {
                showNotice(this, *sealed->error);
                return;
            }
            if (!saySealed(sealed->roomLines, sealed->pieces, true))
                return;
            txtSend->clear();
            txtSend->setFocus(Qt::OtherFocusReason);
            return;
        }
    }
    // The key is being derived: the text goes out, in order, once it is
    // there; the box is free for the next line meanwhile.
    m_sealedSends.push_back({text, key, prefix});
    txtSend->clear();
    txtSend->setFocus(Qt::OtherFocusReason);
}

void Solvane::flushSealedSends()
{
    const auto fits = [this](const QString& roomLine) {
        return Chat1->fitsOneLine(roomLine);
    };
    while (!m_sealedSends.empty()) {
        const SealedSend send = m_sealedSends.front();
        const auto sealed = m_sealed->seal(send.text, send.key, send.prefix, fits);
        if (!sealed)
            return; // its key is still on the way
        m_sealedSends.pop_front();
        if (sealed->error) {
            txtSend->setText(send.text + txtSend->text());
            openNotice(this, *sealed->error);
            continue;
        }
        saySealed(sealed->roomLines, sealed->pieces, false);
    }
}

// Says the room lines in order. When the room refuses one, the text not yet
// said goes back into the outgoing box and the user is told why.
bool Solvane::saySealed(const QStringList& roomLines, const QStringList& pieces, bool userWaits)
{
    for (qsizetype i = 0; i < roomLines.size(); ++i) {
        if (sayInRoom(roomLines[i]))
            continue;
        QString reason = shownNote(Chat1->errorString()); // may quote the server
        if (reason.isEmpty())
            reason = QStringLiteral("The room did not take the line.");
        if (i > 0 || !userWaits) {
            txtSend->setText(pieces.mid(i).join(QString()) +
                             (userWaits ? QString() : txtSend->text()));
            if (i > 0)
                reason += QStringLiteral("\n\nThe beginning of the text was said; the rest is "
                                         "still in the box.");
        }
        if (userWaits)
            showNotice(this, reason);
        else
            openNotice(this, reason);
        return false;
    }
    return true;
}

} // namespace svw
