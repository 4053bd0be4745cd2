// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "outgoing_pieces.h"
#include "sealed_keys.h"
#include "sealed_line.h"
#include "sealed_replay.h"

#include <QObject>
#include <QString>

#include <deque>
#include <functional>
#include <map>
#include <optional>

namespace svw {

// The note that stands in for a sealed line that does not open.
inline const QString kSealedNote = QStringLiteral("[sealed with another password, or altered]");
// The note for an authentic line of a later version of the format.
inline const QString kNewerVersionNote =
    QStringLiteral("[sealed by a newer version of the program: update it to read this line]");
// The mark in front of a line in the old cipher while sealing is on.
inline const QString kWeakMark = QStringLiteral("[weak] ");

// The sealed half of a conversation, without a window: which room lines are
// sealed, opening them once their key is there, keeping every line that
// arrives meanwhile waiting in order, refusing replays, joining the pieces of
// a long text, and sealing outgoing texts. Of all it sees, only the nonces
// and times of lines shown go to a file, and only when setSeenFile() names
// one.
class SealedConversation : public QObject
{
    Q_OBJECT

public:
    struct RoomLine
    {
        QString sender;
        QString text;
        QString prefix; // as they stood when the line arrived
        QString key;
    };

    explicit SealedConversation(QObject* parent = nullptr);

    // Where lines go: a finished line for the conversation box, and a line in
    // the old cipher that waited behind a sealed one (shown by the caller).
    std::function<void(const QString& shownLine)> showLine;
    std::function<void(const RoomLine& line)> showOldLine;
    // When set, lines that waited for their key are handed back, in order,
    // to be taken again (the window shows a flood in slices); otherwise they
    // are shown at once.
    std::function<void(std::deque<RoomLine> lines)> resume;
    // A sealed line opened with the password: the group seals.
    std::function<void()> sealedLineOpened;
    std::function<qint64()> clock; // Unix milliseconds; the system clock unless set

    // Takes a room line that is sealed, or that has to wait behind one;
    // false leaves it to the old cipher.
    bool takeRoomLine(const RoomLine& line);
    bool hasWaitingLines() const { return !m_waiting.empty(); }

    // This copy listens from now: lines said before it could not have been
    // heard, and a line said before now is not shown as if new.
    void startedListening();
    // Where the nonces of the lines shown are kept across runs (read when
    // the first sealed line opens).
    void setSeenFile(const QString& path) { m_seenFile = path; }

    // Starts deriving the key for the pair ahead of need.
    void prepareKey(const QString& password, const QString& prefix);
    bool keyReady(const QString& password, const QString& prefix);

    // The name sealed into outgoing lines: the name the room knows us by.
    // Only the room can say it; whoever says our line again must not be able
    // to teach us another.
    void setOwnName(const QString& name) { m_ownName = name; }
    QString ownName() const { return m_ownName; }

    // The room lines for `text`, each fitting one room line, or why it
    // cannot be sealed. Nothing when the key is not there yet (it is being
    // derived; keyArrived() follows).
    struct Sealed
    {
        QStringList roomLines;
        QStringList pieces; // the text of each room line
        std::optional<QString> error;
    };
    std::optional<Sealed> seal(const QString& text, const QString& password, const QString& prefix,
                               const FitsOneLine& fits);

    SealKeys& keys() { return m_keys; }

signals:
    void keyArrived();
    // The key for the pair could not be made (no memory for Argon2id);
    // keyArrived() follows.
    void keyFailed(const QString& password, const QString& prefix);

private:
    void onKeyReady(const QString& password, const QString& prefix, bool ok);
    void drain();
    void retarget();
    void openAndShow(const RoomLine& line, const SealKey* key);
    void showOpened(const QString& sender, const OpenedLine& opened);
    void show(const QString& who, const QString& text);
    qint64 now() const;

    struct Partial
    {
        qint64 firstMs; // when its first piece arrived
        std::map<int, QString> pieces;
        int count;
    };

    SealKeys m_keys;
    ReplayGuard m_replays;
    std::deque<RoomLine> m_waiting;
    std::map<std::pair<QString, QByteArray>, Partial> m_partials;
    QString m_ownName;
    QString m_seenFile;
    bool m_seenRead = false;
};

// How long ago, or how far ahead, in words: "40 s", "12 min".
QString spanInWords(qint64 ms);

// Whether the first five characters of `text` are `prefix` and a seal
// follows them; the rest after the prefix when so.
std::optional<QStringView> sealedRest(QStringView prefix, QStringView text);

// Cuts a text into the pieces that are sealed as separate room lines, each
// the longest whose room line fits; never inside a character.
OutgoingPieces splitSealedText(const QString& text, const QString& prefix, const QString& name,
                               const FitsOneLine& fits);

} // namespace svw
