// SPDX-License-Identifier: GPL-3.0-or-later
#include "sealed_conversation.h"

#include "room_line.h"
#include "shown_text.h"

#include <QDateTime>

#include <sodium.h>

namespace svw {

namespace {

// Texts of more pieces cannot be told apart inside the seal.
constexpr int kMaxPieces = 255;
// Pieces of texts that never complete are forgotten after this many.
constexpr std::size_t kMaxPartials = 256;

} // namespace

std::optional<QStringView> sealedRest(QStringView prefix, QStringView text)
{
    const qsizetype head = leadingLength(text, 5);
    if (text.left(head) != prefix)
        return std::nullopt;
    const QStringView rest = text.mid(head);
    if (!carriesSealMarker(rest))
        return std::nullopt;
    return rest;
}

OutgoingPieces splitSealedText(const QString& text, const QString& prefix, const QString& name,
                               const FitsOneLine& fits)
{
    // A seal is base64 of a length known in advance: a stand-in of that
    // length measures the room line without sealing anything.
    const auto fitsBytes = [&](qsizetype textBytes) {
        const qsizetype length = sealedRoomLineLength(prefix, name, textBytes);
        return fits(prefix + QString(length - prefix.size(), u'A'));
    };
    if (fitsBytes(text.toUtf8().size()))
        return OutgoingPieces{{text}, std::nullopt};

    OutgoingPieces result;
    qsizetype start = 0;
    while (start < text.size()) {
        // Piece ends fall between characters, never inside a surrogate pair.
        const QStringView rest = QStringView(text).mid(start);
        const auto lengthOf = [&](qsizetype characters) {
            return leadingLength(rest, characters);
        };
        const auto fitsCharacters = [&](qsizetype characters) {
            return fitsBytes(rest.left(lengthOf(characters)).toUtf8().size());
        };
        if (!fitsCharacters(1)) {
            return OutgoingPieces{{},
                                  QStringLiteral("The text cannot be sealed in this room: not even "
                                                 "one character fits into a room line behind the "
                                                 "prefix \"%1\".")
                                      .arg(prefix)};
        }
        const qsizetype all = rest.toUcs4().size();
        qsizetype good = 1;
        qsizetype bad = all + 1;
        while (bad - good > 1) {
            const qsizetype mid = good + (bad - good) / 2;
            (fitsCharacters(mid) ? good : bad) = mid;
        }
        const qsizetype length = lengthOf(good);
        result.pieces.append(rest.left(length).toString());
        start += length;
        if (result.pieces.size() > kMaxPieces) {
            return OutgoingPieces{{},
                                  QStringLiteral("The text is too long to be sealed: it would take "
                                                 "more than %1 room lines.")
                                      .arg(kMaxPieces)};
        }
    }
    return result;
}

SealedConversation::SealedConversation(QObject* parent) : QObject(parent)
{
    connect(&m_keys, &SealKeys::keyReady, this, &SealedConversation::onKeyReady);
}

qint64 SealedConversation::now() const
{
    return clock ? clock() : QDateTime::currentMSecsSinceEpoch();
}

void SealedConversation::prepareKey(const QString& password, const QString& prefix)
{
    if (!password.isEmpty())
        m_keys.prepare(password, prefix);
}

bool SealedConversation::keyReady(const QString& password, const QString& prefix)
{
    return m_keys.key(password, prefix) != nullptr;
}

bool SealedConversation::takeRoomLine(const RoomLine& line)
{
    // A line in the old cipher that arrives while sealed lines wait for their
    // key waits too, so the box shows lines in the order they were said.
    const bool sealed = sealedRest(line.prefix, line.text).has_value();
    if (!sealed && m_waiting.empty())
        return false;
    const bool keyMissing = sealed && !line.key.isEmpty() && !m_keys.key(line.key, line.prefix);
    if (!m_waiting.empty() || keyMissing) {
        m_waiting.push_back(line);
        return true;
    }
    openAndShow(line, line.key.isEmpty() ? nullptr : m_keys.key(line.key, line.prefix));
    return true;
}

void SealedConversation::onKeyReady(const QString& password, const QString& prefix, bool ok)
{
    if (!ok) {
        // No memory for Argon2id: the lines that waited for this key show as
        // not opened rather than waiting for ever.
        for (RoomLine& line : m_waiting) {
            if (line.key == password && line.prefix == prefix)
                line.key.clear();
        }
    }
    drain();
    emit keyArrived();
}

void SealedConversation::drain()
{
    // The waiting lines go on together once every key they need is there
    // (each missing one was asked for when its line arrived), so none can
    // overtake another.
    for (const RoomLine& line : m_waiting) {
        if (sealedRest(line.prefix, line.text) && !line.key.isEmpty() &&
            !m_keys.key(line.key, line.prefix))
            return;
    }
    std::deque<RoomLine> ready;
    ready.swap(m_waiting);
    if (resume) {
        resume(std::move(ready));
        return;
    }
    for (const RoomLine& line : ready) {
        if (!takeRoomLine(line) && showOldLine)
            showOldLine(line);
    }
}

void SealedConversation::openAndShow(const RoomLine& line, const SealKey* key)
{
    const auto rest = sealedRest(line.prefix, line.text);
    const auto opened = key ? openRoomLine(*key, line.prefix, *rest) : std::nullopt;
    if (!opened) {
        if (showLine)
            showLine(shownLine(line.sender, kSealedNote));
        return;
    }
    if (!m_replays.accept(*opened, now()))
        return; // said again, or too long ago
    if (sealedLineOpened)
        sealedLineOpened();
    showOpened(line.sender, *opened);
}

void SealedConversation::showOpened(const QString& sender, const OpenedLine& opened)
{
    const SealedContent& content = opened.content;
    // A line said again by someone else under their own name keeps the name
    // it was sealed with beside it.
    QString who = sender;
    if (!content.name.isEmpty() && content.name != sender)
        who += QStringLiteral(" [sealed by %1]").arg(content.name);

    if (content.pieces == 1) {
        if (showLine)
            showLine(shownLine(who, content.text));
        return;
    }

    // Pieces of one text are shown together once all are in, at the place
    // of the last to arrive.
    const qint64 at = now();
    for (auto it = m_partials.begin(); it != m_partials.end();) {
        if (it->second.firstMs < at - ReplayGuard::kWindowMs)
            it = m_partials.erase(it);
        else
            ++it;
    }
    if (m_partials.size() >= kMaxPartials)
        m_partials.erase(m_partials.begin());
    const QByteArray id(reinterpret_cast<const char*>(content.textId.data()), kSealTextIdBytes);
    Partial& partial =
        m_partials.try_emplace({who, id}, Partial{at, {}, content.pieces}).first->second;
    if (partial.count != content.pieces)
        return; // pieces that disagree on their count belong to no text
    partial.pieces[content.piece] = content.text;
    if (int(partial.pieces.size()) < partial.count)
        return;
    QString whole;
    for (const auto& [index, piece] : partial.pieces)
        whole += piece;
    m_partials.erase({who, id});
    if (showLine)
        showLine(shownLine(who, whole));
}

std::optional<SealedConversation::Sealed> SealedConversation::seal(const QString& text,
                                                                   const QString& password,
                                                                   const QString& prefix,
                                                                   const FitsOneLine& fits)
{
    const SealKey* key = m_keys.key(password, prefix);
    if (!key)
        return std::nullopt;
    const OutgoingPieces plan = splitSealedText(text, prefix, m_ownName, fits);
    if (plan.error)
        return Sealed{{}, {}, plan.error};
    SealedContent content;
    content.saidAtMs = now();
    content.pieces = quint8(plan.pieces.size());
    content.name = m_ownName;
    randombytes_buf(content.textId.data(), content.textId.size());
    Sealed sealed;
    sealed.pieces = plan.pieces;
    for (qsizetype i = 0; i < plan.pieces.size(); ++i) {
        content.piece = quint8(i);
        content.text = plan.pieces[i];
        sealed.roomLines.append(sealRoomLine(*key, prefix, content));
    }
    return sealed;
}

} // namespace svw
