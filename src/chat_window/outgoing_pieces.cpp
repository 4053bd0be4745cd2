// SPDX-License-Identifier: GPL-3.0-or-later
#include "outgoing_pieces.h"

#include "line_cipher.h"

namespace svw {

namespace {

bool endsInWhiteSpace(QStringView line)
{
    return !line.isEmpty() && (line.back() == u' ' || line.back() == u'\t');
}

// An error found in a piece that starts at `offset` names the position in the
// whole text, which is what the user sees.
QString messageAt(CipherError error, qsizetype offset)
{
    if (error.kind == CipherError::Kind::TextOutsideCodePage ||
        error.kind == CipherError::Kind::SumAbove255)
        error.position += offset;
    return error.message();
}

OutgoingPieces failure(QString message)
{
    return OutgoingPieces{{}, std::move(message)};
}

} // namespace

OutgoingPieces splitOutgoingText(const QString& text, const QString& key, const QString& prefix,
                                 const FitsOneLine& fits)
{
    if (text.size() <= kMaxCipherLength) {
        const EncodeOutcome whole = encodeToString(text, key);
        if (whole.error && whole.error->kind != CipherError::Kind::SumAbove255)
            return failure(whole.error->message());
        // A line that cannot be enciphered has no cipher to measure: the
        // plain text, of the same length, stands in for it.
        if (fits(prefix + (whole.error ? text : whole.line))) {
            if (whole.error)
                return failure(whole.error->message());
            return OutgoingPieces{{text}, std::nullopt};
        }
    }

    OutgoingPieces result;
    qsizetype start = 0;
    while (start < text.size()) {
        // The key starts again with every piece, so each piece is enciphered
        // from its own start. A piece never exceeds what the cipher's line
        // counters allow.
        EncodeOutcome rest = encodeToString(text.mid(start, kMaxCipherLength), key);
        if (rest.error && rest.error->kind != CipherError::Kind::SumAbove255)
            return failure(messageAt(*rest.error, start));
        if (rest.error) {
            // A sum above 255: a piece can reach up to the character before
            // it, and the next piece meets that character with the key
            // starting again.
            const qsizetype reach = rest.error->position - 1;
            if (reach == 0)
                return failure(messageAt(*rest.error, start));
            rest = encodeToString(text.mid(start, reach), key);
        }
        const qsizetype usable = rest.line.size();
        if (!fits(prefix + rest.line.left(1))) {
            return failure(QStringLiteral("The text cannot be said in this room: not even one "
                                          "character fits into a room line behind the prefix "
                                          "\"%1\".")
                               .arg(prefix));
        }

        // The longest piece that fits: fits(1) holds, find the last length
        // that does.
        qsizetype good = 1;
        qsizetype bad = usable + 1;
        while (bad - good > 1) {
            const qsizetype mid = good + (bad - good) / 2;
            if (fits(prefix + rest.line.left(mid)))
                good = mid;
            else
                bad = mid;
        }

        qsizetype length = good;
        if (start + length < text.size()) {
            while (length > 0 && endsInWhiteSpace(QStringView(rest.line).left(length)))
                --length;
            if (length == 0)
                length = good; // every cut ends in white space: the room decides
        }
        result.pieces.append(text.mid(start, length));
        start += length;
    }
    return result;
}

} // namespace svw
