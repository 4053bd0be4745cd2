// SPDX-License-Identifier: GPL-3.0-or-later
#include "sealed_conversation.h"

#include "room_line.h"
#include "shown_text.h"

#include <QDateTime>

#include <algorithm>

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

void SealedConversation::startedListening()
{
    m_replays.setListeningSince(now());
}

QString spanInWords(qint64 ms)
{
    const qint64 seconds = std::max<qint64>(0, ms) / 1000;
    if (seconds < 120)
        return QStringLiteral("%1 s").arg(seconds);
    return QStringLiteral("%1 min").arg(seconds / 60);
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
        retarget();
        return true;
    }
    openAndShow(line, line.key.isEmpty() ? nullptr : m_keys.key(line.key, line.prefix));
    return true;
}

// A password that changed while lines waited for its key was still being
// typed: the lines wait for the key of the password as it now stands, whose
// derivation replaced theirs.
void SealedConversation::retarget()
{
    const auto newest = m_keys.newestRequest();
    for (RoomLine& line : m_waiting) {
        if (line.key.isEmpty() ||
            (newest && line.key == newest->first && line.prefix == newest->second) ||
            !sealedRest(line.prefix, line.text) || m_keys.wanted(line.key, line.prefix))
            continue;
        if (newest && newest->second == line.prefix)
            line.key = newest->first;
        else
            m_keys.key(line.key, line.prefix);
    }
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
        emit keyFailed(password, prefix);
    }
    drain();
    emit keyArrived();
}

void SealedConversation::drain()
{
    // The waiting lines go on together once every key they need is there
    // (each missing one is asked for), so none can overtake another.
    retarget();
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
    int version = kSealVersion;
    const auto opened = key ? openRoomLine(*key, line.prefix, *rest, &version) : std::nullopt;
    if (!opened) {
        show(line.sender, version != kSealVersion ? kNewerVersionNote : kSealedNote);
        return;
    }
    if (!m_seenRead && !m_seenFile.isEmpty()) {
        m_seenRead = true;
        m_replays.keepIn(m_seenFile, now());
    }
    const qint64 at = now();
    const qint64 said = opened->content.saidAtMs;
    switch (m_replays.accept(*opened, at)) {
    case ReplayGuard::Verdict::Fresh:
        break;
    case ReplayGuard::Verdict::Ahead:
        // Either clock may be the wrong one: the user is told, not left with
        // a silent gap in the conversation.
        show(line.sender,
             QStringLiteral("[sealed %1 ahead of this computer's clock: not shown; compare the "
                            "clocks]")
                 .arg(spanInWords(said - at)));
        return;
    case ReplayGuard::Verdict::TooOld:
        show(line.sender, QStringLiteral("[sealed %1 ago: not shown; said again, or the clocks "
                                         "differ]")
                              .arg(spanInWords(at - said)));
        return;
    case ReplayGuard::Verdict::Seen:
    case ReplayGuard::Verdict::Forgotten:
    case ReplayGuard::Verdict::AheadFull:
        return; // said again, or a flood of lines dated ahead
    }
    // A line this copy could not have heard when it was said may be a
    // recording: it does not turn sealing on by itself.
    if (sealedLineOpened && said >= m_replays.listeningSince())
        sealedLineOpened();
    showOpened(line.sender, *opened);
}

void SealedConversation::show(const QString& who, const QString& text)
{
    if (showLine)
        showLine(shownLine(who, text));
}

void SealedConversation::showOpened(const QString& sender, const OpenedLine& opened)
{
    const SealedContent& content = opened.content;
    // A line said again by someone else under their own name keeps the name
    // it was sealed with beside it.
    QString who = sender;
    if (!content.name.isEmpty() && content.name != sender)
        who += QStringLiteral(" [sealed by %1]").arg(content.name);
    // A line said before this copy listened, or that took longer than the
    // clocks' allowance to arrive, is not shown as new: its age stands
    // beside it. (Such a line could be a recording said again to a copy
    // that did not hear it the first time.)
    const qint64 at = now();
    const auto aged = [&](const QString& name) {
        const qint64 said = content.saidAtMs;
        if (said >= m_replays.listeningSince() && said >= at - ReplayGuard::kAllowanceMs)
            return name;
        return name + QStringLiteral(" [said %1 ago]").arg(spanInWords(at - said));
    };

    if (content.pieces == 1) {
        show(aged(who), content.text);
        return;
    }

    // Pieces of one text are shown together once all are in, at the place
    // of the last to arrive.
    for (auto it = m_partials.begin(); it != m_partials.end();) {
        if (it->second.firstMs < at - ReplayGuard::kWindowMs)
            it = m_partials.erase(it);
        else
            ++it;
    }
    const QByteArray id(reinterpret_cast<const char*>(content.textId.data()), kSealTextIdBytes);
    const std::pair<QString, QByteArray> place{who, id};
    if (!m_partials.count(place) && m_partials.size() >= kMaxPartials) {
        // The text waited for longest goes; never the one a piece completes.
        const auto oldest = std::min_element(
            m_partials.begin(), m_partials.end(),
            [](const auto& a, const auto& b) { return a.second.firstMs < b.second.firstMs; });
        m_partials.erase(oldest);
    }
    Partial& partial = m_partials.try_emplace(place, Partial{at, {}, content.pieces}).first->second;
    if (partial.count != content.pieces)
        return; // pieces that disagree on their count belong to no text
    partial.pieces[content.piece] = content.text;
    if (int(partial.pieces.size()) < partial.count)
        return;
    QString whole;
    for (const auto& [index, piece] : partial.pieces)
        whole += piece;
    m_partials.erase(place);
    show(aged(who), whole);
}

std::optional<SealedConversation::Sealed> SealedConversation::seal(const QString& text,
                                                                   const QString& password,
                                                                   const QString& prefix,
                                                                   const FitsOneLine& fits)
{
    const SealKey* key = m_keys.key(password, prefix);
    if (!key) {
        // Whoever sends has finished typing the password: no need to wait
        // for it to settle.
        m_keys.prepare(password, prefix);
        return std::nullopt;
    }
    const OutgoingPieces plan = splitSealedText(text, prefix, m_ownName, fits);
    if (plan.error)
        return Sealed{{}, {}, plan.error};
    // The count travels in one byte: 256 pieces would read as none.
    if (plan.pieces.size() > kMaxPieces)
        return Sealed{{}, {}, QStringLiteral("The text is too long to be sealed.")};
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
