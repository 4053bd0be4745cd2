// SPDX-License-Identifier: GPL-3.0-or-later
// Sending: the Send button and Enter in any box.

#include "solvane.h"

#include "chat_room_control.h"
#include "notice.h"
#include "outgoing_pieces.h"
#include "scratch_sequences.h"
#include "shown_text.h"

#include <QComboBox>
#include <QLineEdit>

namespace svw {

void Solvane::cmdSend_Click()
{
    // A press on Send that took the focus from the prefix box queued the
    // prefix check; a release that came with the press (a tap, a quick
    // click) gets here before it has run. The check comes first, so a
    // prefix of the wrong length never goes out that way.
    if (!runQueuedPrefixCheck())
        return;

    const QString text = txtSend->text();
    if (text.isEmpty()) {
        showNotice(this, QStringLiteral("You must have text to send"));
        return;
    }
    const QString key = pw->text();
    if (key.isEmpty()) {
        showNotice(this, QStringLiteral("You must have a Password"));
        return;
    }

    // The prefix goes out as the box holds it; its length is checked when
    // the focus leaves the box, not here.
    const QString prefix = cbPre->currentText();
    if (mnuSeal->isChecked()) {
        sendSealed(text, key, prefix);
        return;
    }
    const OutgoingPieces plan =
        splitOutgoingText(text, key, prefix,
                          [this](const QString& roomLine) { return Chat1->fitsOneLine(roomLine); });
    if (plan.error) {
        showNotice(this, *plan.error);
        return;
    }
    if (!sayPieces(plan.pieces, prefix, key))
        return;

    txtSend->clear();
    txtSend->setFocus(Qt::OtherFocusReason);
}

// Passes every piece through the scratch file "temp" and then says them into
// the room, in order. Nothing is said unless every piece went through the
// file. When the room refuses a piece, the text not yet said stays in the
// outgoing box and the user is told why; returns false then.
bool Solvane::sayPieces(const QStringList& pieces, const QString& prefix, const QString& key)
{
    QStringList roomLines;
    roomLines.reserve(pieces.size());
    for (const QString& piece : pieces) {
        const SentLine sent = encipherThroughScratch(piece, key);
        if (sent.fileError) {
            showNotice(this, sent.fileError->message());
            return false;
        }
        if (sent.cipherError) {
            showNotice(this, sent.cipherError->message());
            return false;
        }
        roomLines.append(prefix + sent.cipherLine);
    }

    for (qsizetype i = 0; i < roomLines.size(); ++i) {
        if (sayInRoom(roomLines[i]))
            continue;
        QString reason = shownNote(Chat1->errorString()); // may quote the server
        if (reason.isEmpty())
            reason = QStringLiteral("The room did not take the line.");
        if (i > 0) {
            txtSend->setText(pieces.mid(i).join(QString()));
            reason += QStringLiteral("\n\nThe beginning of the text was said; the rest is still "
                                     "in the box.");
        }
        showNotice(this, reason);
        return false;
    }
    return true;
}

} // namespace svw
