// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "chat_room_control.h"
#include "local_room_protocol.h"
#include "room_lock.h"

#include <QElapsedTimer>
#include <QHash>
#include <QTimer>

#include <deque>
#include <map>

class QLocalServer;
class QLocalSocket;

namespace svw {

// The local room's times and sizes; tests make them small.
struct LocalRoomTuning
{
    int heartbeatMs = 1000;    // the host's pings, and every copy's own checks
    int silenceMs = 4000;      // a host silent this long is taken for frozen
    int introductionMs = 3000; // a connection must say hello within this
    int maxUnintroduced = 32;  // connections waiting to say hello, at most
    int maxCopies = 256;       // copies that said hello, at most
    int tellAfterMs = 5000;    // waiting this long for the room is told
    qint64 recentMs = 10000;   // lines offered to the next host when re-forming
    qsizetype historyLines = 4096;
    qsizetype historyBytes = 32 * kLocalRoomMaxFrame;
    qsizetype holdBytes = 64 * kLocalRoomMaxFrame; // unsent to all copies together
    qsizetype paceBytes = 256 * 1024;              // unsent to one copy before it gets more
};

// A chat room shared by every copy of the program that one user runs on this
// machine, with nothing to install or start.
//
// The copies elect a host through a lock that the system drops when its
// holder dies (RoomLock). The host listens on a socket in the user's private
// directory; the others connect to it. The host puts every line in one order:
// copies send it their lines, it relays each line to every copy (the sender
// and itself included) in the order it took them.
//
// Nothing is lost while the room re-forms after its host has gone:
// - a copy keeps each line it said until it sees it relayed, and says the
//   unseen ones again to the next host;
// - every copy remembers the lines of the last few seconds, and a returning
//   copy offers them to the next host, which relays those it had missed (the
//   old host may have died between telling one copy and the next);
// - a returning copy tells the host the last line it has seen from each
//   sender, and the host sends it the lines relayed before it got back;
// - copies drop a line they have seen before, by its origin and number.
//
// The one shared order holds for every line a host relays. A line that a
// dying host had told only some copies reaches the others from the next
// host, possibly after lines the first ones saw later; nothing is lost or
// doubled either way.
//
// A host that stops answering (a frozen process still holds the lock), or
// that answers but never passes a line on, is left: the copies move on to
// the room's next "epoch", a lock and socket of their own. An epoch's lock
// file is made by the first copy that moves there and never removed, so the
// highest lock file in the directory is where the room stands, found
// without reading or writing a byte (a full disk or a planted file cannot
// hide it). A host that comes back and finds a later epoch steps down and
// joins.
//
// The room follows its directory: a host whose lock file was removed (the
// directory emptied or made anew), or whose default directory is now another
// (a fallback freed, a runtime directory gone), moves the room there, and
// every copy follows it, so copies started before and after meet.
//
// The host keeps a bounded history of the room's lines and hands each copy
// the lines it has not had yet at the pace that copy reads, so a copy that
// stalls costs the host nothing but its place in the history; one that falls
// out of the history is dropped, and told how many lines it missed when it
// comes back.
//
// Everything happens on the thread's event loop; nothing blocks, except that
// destroying a control waits up to a second for its unsent lines to leave.
class LocalRoom : public ChatRoomControl
{
    Q_OBJECT

public:
    enum class State {
        Looking,     // first election or connection still running
        Hosting,     // this copy holds the lock and relays the room's lines
        Joined,      // welcomed by the copy that hosts
        Reforming,   // the host went away; electing or reaching the next one
        Unavailable, // the room's directory or name was refused; see errorString()
    };
    Q_ENUM(State)

    // How often a copy outside the room tries again to host or join it.
    static constexpr int kRetryMs = 75;

    // The furthest an origin's numbering can move on in one step. A copy's
    // lines are numbered one by one; after a re-forming it may skip the few
    // the old host relayed and nobody kept, never this many.
    static constexpr qint64 kMaxNumberJump = 65536;

    using Tuning = LocalRoomTuning;

    // The room used when no name is chosen.
    static QString defaultName() { return QStringLiteral("default"); }

    // A room name becomes part of file names: 1 to 64 ASCII letters, digits,
    // '-', '_' or '.'.
    static bool isValidName(const QString& name);

    // Enters the room `name` in `directory` (empty: defaultLocalRoomDirectory())
    // as `nick` (cut to kLocalRoomMaxNick). The directory is checked here: a
    // refused one leaves the control Unavailable, with the reason in
    // errorString(), on standard error and in statusChanged(). Otherwise the
    // room is entered once the event loop runs; lines said before then are
    // queued. `tuning` sets the room's times and sizes.
    explicit LocalRoom(const QString& nick, const QString& name = defaultName(),
                       const QString& directory = {}, QObject* parent = nullptr,
                       const Tuning& tuning = Tuning());
    ~LocalRoom() override;

    bool SendRoomLine(const QString& line) override;
    void StartRoomScan() override;
    void StopRoomScan() override;
    bool fitsOneLine(const QString& line) const override;
    QString roomDescription() const override;

    State state() const { return m_state; }
    QString status() const { return m_status; }
    QString nick() const { return m_nick; }
    QString name() const { return m_name; }
    QString directory() const { return m_directory; }
    QString socketPath() const { return pathOf(m_epoch, QStringLiteral(".sock")); }
    QString lockPath() const { return pathOf(m_epoch, QStringLiteral(".lock")); }
    qint64 epoch() const { return m_epoch; }
    bool isScanning() const { return m_scanning; }

    // While hosting: how many other copies have joined.
    int joinedCopies() const;

    // Lines said here that the room has not relayed back yet.
    qsizetype unconfirmedLines() const { return qsizetype(m_pending.size()); }

private:
    struct PendingLine
    {
        qint64 number;
        QString text;
        qint64 saidAt = 0; // ms on m_clock when it last went to a host
    };
    // What keeps this copy out of the room, for what it tells its user.
    enum class OutCause {
        None,
        NoListener, // the lock is held, but nothing answers on the socket
        TurnedAway, // the host closed the connection before welcoming it
        NotPassing, // the host took lines and passed none on
    };
    struct HistoryLine
    {
        qint64 receivedAt; // ms on m_clock
        QByteArray origin;
        qint64 number;
        QByteArray frame; // the line as the host relays it, length prefix and all
    };
    struct Copy
    {
        LocalRoomFrameReader reader;
        QByteArray origin;              // known once it has said hello
        qint64 since = 0;               // ms on m_clock when it connected
        qint64 cursor = 0;              // the next history line it gets
        QHash<QByteArray, qint64> skip; // lines it had before it came back
    };

    void tryEnter();
    void tick();
    void hostTick();
    QString pathOf(qint64 epoch, const QString& suffix) const;
    qint64 recordedEpoch() const;
    void markEpoch() const;
    bool placeRoom(QString* problem);
    bool roomMoved(QString* why);
    void relocate(const QString& why, bool socketIsOurs);
    void closeHosting(bool socketIsOurs);
    void stepDown();
    bool genuine(QLocalSocket* socket, const QByteArray& origin) const;
    bool believable(const LocalRoomMessage& line) const;
    QString outOfReachText() const;
    bool listen();
    void dropStrangers();
    void pace(QLocalSocket* socket);
    void paceAll();
    void capHeldBytes();
    bool takeSay(QLocalSocket* socket, Copy& copy, LocalRoomMessage line);
    void welcome(QLocalSocket* socket, Copy& copy, const LocalRoomMessage& hello);
    void checkHost();
    void startHosting();
    void acceptCopies();
    void readFromCopy(QLocalSocket* copy);
    bool takeFromCopy(QLocalSocket* copy, const LocalRoomMessage& message);
    void dropCopy(QLocalSocket* copy, const QString& why);
    bool relay(const LocalRoomMessage& line);
    void scheduleOwnLines();
    void relayOwnLines();
    void flushCopies();
    void connectToHost();
    void sayHello();
    void welcomed(const LocalRoomMessage& welcome);
    void readFromHost();
    void leaveHost(const QString& why);
    void receive(const LocalRoomMessage& line, QByteArray frame = {});
    void forgetOldLines();
    void setState(State state, const QString& detail = {});
    void announce(const QString& status);
    void announceTrouble(const QString& status);
    void closeRoom();
    LocalRoomMessage ownMessage(LocalRoomMessage::Kind kind, const PendingLine& line) const;

    QString m_nick;
    QString m_name;
    QString m_directory;
    QString m_chosenDirectory; // given by the caller; empty: the default, looked up anew
    QString m_basePath;        // the room's files without ending: DIR/room-NAME
    QByteArray m_origin;
    Tuning m_tuning;
    qint64 m_epoch = 0;
    qsizetype m_frameOverhead = 0; // a line message's size without its text

    State m_state = State::Looking;
    QString m_status;
    bool m_scanning = false;
    bool m_closing = false;
    bool m_ownLinesScheduled = false;
    bool m_everJoined = false; // been in the room before: a hello is not fresh

    qint64 m_nextNumber = 1;
    std::deque<PendingLine> m_pending;    // said here, not seen relayed yet
    QHash<QByteArray, qint64> m_lastSeen; // per origin: the last number received
    std::deque<HistoryLine> m_history;    // the lines received lately, in room order
    qint64 m_historyFirst = 0;            // the index of m_history.front() since we started
    qsizetype m_historyBytes = 0;
    QElapsedTimer m_clock;

    RoomLock m_lock;
    QTimer m_retry;
    QTimer m_tick;
    qint64 m_outSince = 0;  // ms on m_clock when this copy last found itself out of the room
    bool m_toldOut = false; // the user has been told that the room is out of reach
    qint64 m_hostHeard = 0; // ms on m_clock of the last bytes from the host
    qint64 m_hostLine = 0;  // ms on m_clock of the last line from the host
    OutCause m_outCause = OutCause::None;
    bool m_helloSent = false; // on the current connection to a host

    // Hosting: the server and the copies connected to it.
    QLocalServer* m_server = nullptr;
    std::map<QLocalSocket*, Copy> m_copies;
    QHash<QByteArray, QLocalSocket*> m_speakers; // origin -> the connection that introduced it
    // Lines offered for a copy that is not here but whose process still
    // runs (a copy that quit may take a moment to end): held, in order,
    // until it has ended or comes back to speak for itself.
    struct HeldOffers
    {
        std::deque<LocalRoomMessage> lines;
        qint64 since = 0; // ms on m_clock
    };
    QHash<QByteArray, HeldOffers> m_heldOffers;
    void releaseHeldOffers();

    // Joined (or connecting, or waiting to be welcomed): the connection to the host.
    QLocalSocket* m_host = nullptr;
    LocalRoomFrameReader m_hostReader;
};

} // namespace svw
