// SPDX-License-Identifier: GPL-3.0-or-later
// Listening: switching the room scan and showing the lines that carry the
// prefix.

#include "solvane.h"

#include "chat_room_control.h"
#include "notice.h"
#include "room_indicator.h"
#include "room_line.h"
#include "shown_text.h"
#include "window_announcer.h"

#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

#include <algorithm>

namespace svw {

// Adds lines at the end of the conversation box as one edit, so the box lays
// out and repaints once for all of them. The box follows the newest line
// while its view was at the bottom; a user who has scrolled up to read keeps
// the view, and a selection made to copy text stays what the user selected.
class ConversationAppend
{
public:
    explicit ConversationAppend(QPlainTextEdit* box)
        : m_box(box), m_bar(box->verticalScrollBar()),
          m_following(m_bar->value() >= m_bar->maximum()), m_kept(m_bar->value()),
          m_anchor(box->textCursor().anchor()), m_position(box->textCursor().position()),
          m_characters(box->document()->characterCount()), m_blocks(box->document()->blockCount()),
          m_end(box->document())
    {
        m_end.beginEditBlock();
    }
    ~ConversationAppend()
    {
        m_end.endEditBlock();
        // The box keeps a bounded number of lines: what the new ones pushed
        // out at the top moves the selection and the view up by as much.
        const QTextDocument* document = m_box->document();
        const int goneCharacters = m_characters + m_added - document->characterCount();
        const int goneBlocks = m_blocks + m_addedBlocks - document->blockCount();
        // A selection that reached the end would take in the new lines: the
        // cursor at the end moves on with every insertion there.
        if (m_anchor != m_position) {
            QTextCursor kept = m_box->textCursor();
            kept.setPosition(std::max(0, m_anchor - goneCharacters));
            kept.setPosition(std::max(0, m_position - goneCharacters), QTextCursor::KeepAnchor);
            m_box->setTextCursor(kept);
        }
        m_bar->setValue(m_following ? m_bar->maximum() : std::max(0, m_kept - goneBlocks));
    }
    ConversationAppend(const ConversationAppend&) = delete;
    ConversationAppend& operator=(const ConversationAppend&) = delete;

    // The box keeps its lines as paragraphs: its line end stands for the
    // CR LF that ends every shown line.
    void add(const QString& line)
    {
        m_end.movePosition(QTextCursor::End);
        m_end.insertText(line + QLatin1Char('\n'));
        m_added += int(line.size()) + 1;
        ++m_addedBlocks;
    }

private:
    QPlainTextEdit* m_box;
    QScrollBar* m_bar;
    bool m_following;
    int m_kept;
    // The user's selection as it stood (a text cursor would follow the edit).
    int m_anchor;
    int m_position;
    int m_characters;
    int m_blocks;
    int m_added = 0; // characters
    int m_addedBlocks = 0;
    QTextCursor m_end;
};

void Solvane::mnuDE_Click()
{
    // Lines said before now were not heard here: one said again later is not
    // shown as new.
    startedListeningSealed();
    Chat1->StartRoomScan();
    showListening(true);
}

void Solvane::mnuStop_Click()
{
    Chat1->StopRoomScan();
    showListening(false);
}

void Solvane::Chat1_RoomLine(const QString& sender, const QString& text)
{
    // Lines are shown one at a time, each finished before the next, in the
    // order the room reports them. A room that reports a flood at once would
    // keep the window from answering the user until the last line was shown;
    // so once the lines of one turn of the event loop have taken a slice of
    // time, the rest wait, in order, and are shown in slices with the user's
    // events handled in between.
    //
    // Prefix and password are read as each line arrives, so a change while
    // listening takes effect with the next line, even one that waits.
    const QString prefix = cbPre->currentText();
    const QString key = pw->text();
    // A line the room reports late (played back by a bouncer) shows when it
    // was said; the room knows only while it reports the line.
    const QDateTime saidAt = Chat1->lineSaidAt();
    if (!m_waitingLines.empty() || sliceSpent()) {
        m_waitingLines.push_back({sender, text, prefix, key, saidAt});
        if (!m_drainScheduled) {
            m_drainScheduled = true;
            QTimer::singleShot(0, this, &Solvane::showWaitingLines);
        }
        return;
    }
    showRoomLineSaidAt(saidAt, sender, text, prefix, key);
}

// Whether the lines shown in this turn of the event loop have used up their
// time. The first line of a turn starts the clock; the turn's end stops it.
bool Solvane::sliceSpent()
{
    constexpr qint64 kSliceMs = 8;
    if (!m_sliceRunning) {
        m_sliceRunning = true;
        m_slice.start();
        QTimer::singleShot(0, this, [this] { m_sliceRunning = false; });
        return false;
    }
    return m_slice.hasExpired(kSliceMs);
}

void Solvane::showWaitingLines()
{
    m_drainScheduled = false;
    m_sliceRunning = false;
    {
        // Each line is deciphered through the scratch files in turn; the box
        // takes the slice's lines as one edit.
        ConversationAppend batch(txtSaid);
        m_batch = &batch;
        while (!m_waitingLines.empty() && !sliceSpent()) {
            const WaitingLine line = std::move(m_waitingLines.front());
            m_waitingLines.pop_front();
            showRoomLineSaidAt(line.saidAt, line.sender, line.text, line.prefix, line.key);
        }
        m_batch = nullptr;
    }
    if (!m_waitingLines.empty()) {
        m_drainScheduled = true;
        QTimer::singleShot(0, this, &Solvane::showWaitingLines);
    }
}

void Solvane::showRoomLineSaidAt(const QDateTime& saidAt, const QString& sender,
                                 const QString& text, const QString& prefix, const QString& key)
{
    m_shownSaidAt = saidAt;
    showRoomLine(sender, text, prefix, key);
    m_shownSaidAt = QDateTime();
}

void Solvane::showRoomLine(const QString& sender, const QString& text, const QString& prefix,
                           const QString& key)
{
    if (takeSealedLine(sender, text, prefix, key))
        return;
    showOldCipherLine(sender, text, prefix, key);
}

void Solvane::showOldCipherLine(const QString& sender, const QString& text, const QString& prefix,
                                const QString& key)
{
    const auto handled = handleRoomLine(prefix, key, sender, text);
    if (!handled)
        return;
    appendShownLine(markedIfWeak(handled->shown));

    // A failing scratch file does not lose the line: it was deciphered in
    // memory. The user hears of it once, not once a line, until the files
    // work again. The box does not wait for an answer, so the scan goes on.
    if (!handled->fileError) {
        m_receiveFailureReported = false;
    } else if (!m_receiveFailureReported) {
        m_receiveFailureReported = true;
        openNotice(this, handled->fileError->message() +
                             QStringLiteral("\n\nIncoming lines are still deciphered and shown. "
                                            "This is not reported again until the scratch "
                                            "files work."));
    }
}

// A room that cannot be reached looks just like a quiet one, so the user
// hears of each failure once, not once a retry or once a refused line, until
// the room works again. The room raises trouble on its own, often while the
// user types: the box opens beside the window without taking the keyboard,
// has no default button that an Enter or space meant for the window could
// press, and does not hold up the window. Newer trouble replaces what it
// shows, and it closes once the room works again or its state has moved on.
void Solvane::Chat1_RoomTrouble(const QString& why)
{
    if (why == m_roomTroubleReported)
        return;
    m_roomTroubleReported = why;
    // The room's words may quote the server or a nick.
    const QString text =
        shownNote(why) + QStringLiteral("\n\nThis is not reported again until the room works.");
    // The box does not take the focus, so a screen reader would not read it.
    m_announcer->announce(text);
    if (m_roomTroubleBox && m_roomTroubleBox->isVisible()) {
        m_roomTroubleBox->setText(text);
        return;
    }
    QMessageBox* box = makeNotice(this, text);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setAttribute(Qt::WA_ShowWithoutActivating);
    box->setWindowFlag(Qt::WindowDoesNotAcceptFocus);
    box->setWindowModality(Qt::NonModal);
    connect(Chat1, &ChatRoomControl::roomStateChanged, box, [this, box] {
        m_roomTroubleReported.clear();
        m_roomTroubleBox = nullptr;
        box->close();
    });
    m_roomTroubleBox = box;
    box->show();
    // Showing a box makes its first button the default; this one has none.
    for (QAbstractButton* button : box->buttons()) {
        if (auto* push = qobject_cast<QPushButton*>(button)) {
            push->setAutoDefault(false);
            push->setDefault(false);
        }
        button->setFocusPolicy(Qt::NoFocus);
    }
}

void Solvane::Chat1_RoomReady()
{
    m_roomTroubleReported.clear();
    if (m_roomTroubleBox)
        m_roomTroubleBox->close();
    m_roomTroubleBox = nullptr;
}

void Solvane::appendShownLine(const QString& line)
{
    QString shown = line;
    if (m_shownSaidAt.isValid()) {
        // In front of the sender, in local time, with the date when it was
        // not today: "[05:38] ann  :  text".
        const QDateTime local = m_shownSaidAt.toLocalTime();
        const bool today = local.date() == QDate::currentDate();
        shown = QStringLiteral("[%1] ").arg(local.toString(
                    today ? QStringLiteral("HH:mm") : QStringLiteral("yyyy-MM-dd HH:mm"))) +
                line;
    }
    m_announcer->announce(shown);
    if (m_batch) {
        m_batch->add(shown);
        return;
    }
    ConversationAppend(txtSaid).add(shown);
}

} // namespace svw
