// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "chat_room_control.h"
#include "irc_address.h"
#include "irc_message.h"
#include "irc_names.h"
#include "irc_pacer.h"
#include "room_session.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QPointer>
#include <QSet>
#include <QSslCertificate>
#include <QSslKey>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <optional>

class QSslError;
class QSslSocket;

namespace svw {

// The user name we register with: the login name, cut to what servers take.
QString ircUserNameFromLogin();

struct IrcRoomSettings
{
    IrcAddress address;
    QList<QSslCertificate> extraCaCertificates; // trusted besides the system's store
    IrcPacing pacing;
    int connectTimeoutMs = 30'000; // to reach the server and hear its first line
    int tlsHandshakeMs = 10'000;   // for a TLS port to answer our greeting
    int keepaliveMs = 90'000;      // silence from the server before we ping it
    int pingTimeoutMs = 60'000;    // silence after that ping before we reconnect
    int reconnectMinMs = 1'000;    // first wait before reconnecting; doubles ...
    int reconnectMaxMs = 60'000;   // ... up to this
    int troubleAfterMs = 20'000;   // out of the channel this long before the user is told
    int kickRejoinMs = 30'000;     // first wait before rejoining after a kick; doubles ...
    int kickRejoinMaxMs = 960'000; // ... on each kick that follows soon, up to this
    int pongIntervalMs = 1'000;    // answers to the server's PINGs, at most one per interval
    int pingFloodLimit = 30;       // PINGs from the server within a window that we still answer
    int pingWindowMs = 60'000;     // the window those PINGs are counted over
    int confirmTimeoutMs = 60'000; // for the server to confirm a line before we stop waiting
    // What the channel sees of us besides the nick: the login's name, made
    // valid for IRC, and no real name of its own.
    QString userName = ircUserNameFromLogin();
    QString realName = QStringLiteral("*");
    // Who to identify as before the welcome (SASL): an account and its
    // password (PLAIN), or a client certificate with its key, shown in the
    // TLS handshake, to which the account is tied (EXTERNAL; the account
    // may then be left empty).
    QString saslAccount;
    QString saslPassword;
    QSslCertificate clientCertificate;
    QSslKey clientKey;
};

// A chat room in an IRC channel, over plain TCP or TLS.
//
// The control connects as soon as the event loop runs and stays in the
// channel for its whole life: it registers (waiting for the welcome before
// joining), answers the server's pings and pings a silent server itself, and
// after a lost connection reconnects with a growing pause and joins again.
//
// Lines are said in order and never dropped. A line waits in the queue until
// the channel is joined, then leaves at the pace the server allows, followed
// in the same write by a PING of its own, whose PONG confirms that the server
// has taken it. A line the channel refuses (moderated, banned) is answered by
// the server before its PONG, so the refusal is always the oldest line not
// yet confirmed: it is never shown as said, and the user is told how many
// lines were refused, once per stretch of refusals, and again when the
// channel takes lines again. A line refused because we were kicked or left
// meanwhile is not counted: it goes out again, first, after the rejoin,
// while one the server took before the kick is confirmed and never said
// again. Lines that are not confirmed when a connection is lost go out
// again, first, after the reconnect; a line the server took just before it
// went down may so be said twice, but none is lost. A server that does not
// confirm a line within confirmTimeoutMs (a PONG without our token, or
// none) is told to the user; its lines are then shown as said unconfirmed
// and are not said again.
//
// Behind a bouncer (ZNC), which answers PINGs and echoes lines itself, a
// line is confirmed by a NAMES query that only the server answers, and
// echo-message is not asked for. The control asks for server-time and batch,
// and on joining for what ZNC's playback module or the server's chathistory
// kept since the newest line heard: lines played back are reported once, in
// order, with lineSaidAt() set, when listening is on or as soon as it starts.
//
// A netsplit the server tells of (members quitting with a split reason, a
// NETSPLIT batch) is told to the user: what is said meanwhile does not reach
// the members cut off.
//
// While scanning, every PRIVMSG to the channel is a RoomLine; the user's own
// lines come back once, through the server's echo-message where it offers
// that, or from the control itself once the server has confirmed them.
//
// With an account, the control identifies with SASL before the welcome;
// an account, password or server password the server refuses is told at
// once and not tried again, as is a certificate that is not trusted. A
// channel key the channel refuses is told at once. A nick the server
// changes is told (roomNotice), and so are the notices addressed to us.
//
// A kick is told to the user at once and the channel is joined again only
// after a wait that grows with kicks that follow soon; an invitation to the
// channel is taken at once. A server that floods us
// with PINGs or grows our lists without end is left with the reason said.
//
// leaveRoom() paces out what waits for the time given and then leaves with
// QUIT. Destroying the control leaves with QUIT at once: lines still
// waiting are not said (written unpaced, servers with fake lag would drop
// them anyway).
class IrcRoom : public ChatRoomControl
{
    Q_OBJECT

public:
    enum class Phase {
        Waiting,     // not connected; a reconnect is due
        Connecting,  // TCP (and TLS) under way
        Registering, // sent NICK/USER, waiting for the welcome
        Registered,  // welcomed, joining the channel
        Joined,      // in the channel: lines flow
    };
    Q_ENUM(Phase)

    explicit IrcRoom(const IrcRoomSettings& settings, QObject* parent = nullptr);
    ~IrcRoom() override;

    bool SendRoomLine(const QString& line) override;
    void StartRoomScan() override;
    void StopRoomScan() override;
    bool fitsOneLine(const QString& line) const override;
    QString roomDescription() const override;
    int waitingLineCount() const override;
    void leaveRoom(std::chrono::milliseconds patience) override;

    Phase phase() const { return m_phase; }
    bool isJoined() const { return m_phase == Phase::Joined; }
    bool isScanning() const { return m_scanning; }
    QString status() const { return m_session.status(); }
    QString nick() const { return m_nick; }
    bool serverEchoes() const { return m_serverEchoes; }
    // Whether the server acknowledged the capability `name` on this connection.
    bool capabilityEnabled(const QString& name) const { return m_enabledCaps.contains(name); }
    // How the control identifies (SASL "PLAIN" or "EXTERNAL"); empty: it does not.
    QString saslMechanism() const;
    // The account the server says we are identified as; empty: none.
    QString account() const { return m_account; }
    bool viaBouncer() const { return m_viaBouncer; }
    const IrcAddress& address() const { return m_settings.address; }

    // Lines said that the server has not confirmed yet (queued or in flight).
    qsizetype unconfirmedLines() const
    {
        return qsizetype(m_session.waitingCount()) + qsizetype(m_session.unconfirmedCount());
    }

    // The most bytes a room line may take so that the server can relay it
    // whole to the others.
    int roomLineByteBudget() const;

signals:
    void joined();         // each time the channel is (re)joined
    void linesConfirmed(); // the server confirmed every line said so far

private:
    void connectToServer();
    void onSocketReady();
    void onReadyRead();
    // `serverClosed`: the server ended the connection, so the reason it
    // gave just before (ERROR, a refused password) is the cause.
    void onSocketLost(const QString& reason, bool serverClosed = false);
    void onSslErrors(const QList<QSslError>& errors);
    // Gives up on the server for good, after telling the user why.
    void giveUp(const QString& status, const QString& why);
    void answerPing(const QStringList& params);
    void writePong();
    void scheduleReconnect(const QString& reason);
    void onIdleTimeout();
    void restartIdleTimer(int ms);

    void handleMessage(const IrcMessage& message);
    void handleCap(const IrcMessage& message);
    QStringList wantedOfServer(const QString& saslMechanism) const;
    void requestCapabilities(const QStringList& request);
    void endCapabilities();
    void handleSasl(const IrcMessage& message);
    // Tells the user the server refused the account and gives up.
    void refuseAccount(const QString& reason);
    void tellNoSasl(const QString& why);
    // The server closed on us after refusing the server password.
    void refusePassword();
    // The first bytes of a plain connection are a TLS record: a TLS port.
    bool answeredWithTls(const QByteArray& bytes);
    void handleNotice(const IrcMessage& message);
    void handleNick(const IrcMessage& message);
    void handleInvite(const IrcMessage& message);
    void tellJoinRefusal(const IrcMessage& message);
    void joinChannel();
    void setNick(const QString& nick);
    void handleWelcome(const IrcMessage& message);
    void handleIsupport(const IrcMessage& message);
    void handleNickRefused(const IrcMessage& message);
    void handleJoin(const IrcMessage& message);
    void handleLeft(const QString& reason, int rejoinDelayMs = -1);
    void handleJoinRefused(const IrcMessage& message);
    void handleKick(const IrcMessage& message);
    void handleMode(const IrcMessage& message);
    void handleLineRefused(const IrcMessage& message);
    void endRefusals(const QString& status);
    void handlePong(const IrcMessage& message);
    void handlePrivmsg(const IrcMessage& message);
    void handleBatch(const IrcMessage& message);
    void handleQuit(const IrcMessage& message);
    // The server's answer to the confirmation `token`.
    void confirmUpTo(const QString& token);
    void onConfirmTimeout();
    // A line said in the channel, to report now or, played back before
    // listening started, once it starts.
    void reportLine(const QString& sender, const QString& text, const QDateTime& saidAt);
    // Whether `message` is one the bouncer or history plays back; its time.
    std::optional<QDateTime> playedBackAt(const IrcMessage& message) const;
    void finishLeaving();
    void noteHistoryCaps(const QStringList& acked);
    // Asks the bouncer's playback module or the server's history for what
    // was said in the channel since the newest line heard (all it keeps,
    // the first time).
    void askForHistory();
    // Keeps the server time of a line said live, so a playback after a
    // reconnect skips what was heard.
    void noteLiveTime(const IrcMessage& message);

    void enqueueCommand(const QString& command, const QStringList& params,
                        bool lastIsTrailing = false, bool urgent = false);
    void sendCommand(const QString& command, const QStringList& params,
                     bool lastIsTrailing = false);
    // A PING whose PONG confirms every line written so far. Each line is
    // kept under the number of the PING written right after it.
    QByteArray confirmation();
    void pump();
    void requeueInFlight();
    // Whether the server confirms lines; while it does not, they go out
    // without waiting for each other.
    void setUnconfirmed(bool unconfirmed);
    void scheduleRejoin(const QString& reason, int delayMs = -1);
    void setPhase(Phase phase);
    void announce(const QString& status) { m_session.announce(status); }
    // Announces a failure and tells the user through roomTrouble(), with
    // what it means for the lines said; where the room stands is unchanged.
    void announceTrouble(const QString& status, const QString& consequence);

    bool isOwnNick(const QString& nick) const;
    bool isOurChannel(const QString& channel) const;

    IrcRoomSettings m_settings;
    QPointer<QSslSocket> m_socket;
    QByteArray m_inbox;
    Phase m_phase = Phase::Waiting;
    // The lines said, waiting or in flight (each under the mark of the PING
    // that confirms it), where the channel stands, and when to tell.
    RoomSession m_session;
    bool m_scanning = false;

    // Who we are on the server, as far as it has told us.
    QString m_nick;
    QString m_userHost; // "user@host" as the server relays our lines; empty: not known yet
    int m_nickLength = kIrcMinNickLength;
    bool m_nickLengthKnown = false;
    int m_nickAttempt = 0;
    IrcCaseMapping m_caseMapping = IrcCaseMapping::Rfc1459;
    bool m_serverEchoes = false;
    QHash<QString, QString> m_offeredCaps; // name to value, from CAP LS and NEW
    QSet<QString> m_enabledCaps;
    bool m_capEnded = false;
    QMap<QString, QString> m_batches; // open batches: reference -> type
    bool m_playbackModule = false;    // ZNC's playback module plays back on request
    bool m_chathistory = false;       // the server keeps the channel's history
    QDateTime m_lastLiveAt;           // the server time of the newest line said live
    struct HeldLine
    {
        QString sender;
        QString text;
        QDateTime saidAt;
    };
    std::deque<HeldLine> m_held; // played back before listening started
    int m_capLsLines = 0;
    QString m_saslMechanism;  // how we identify on this connection; empty: we do not
    QString m_saslMechanisms; // the ones the server named after refusing ours (908)
    bool m_saslMissingTold = false;
    QString m_account;
    // Notices to us shown in the current window (handleNotice).
    qint64 m_noticeWindowStartMs = 0;
    int m_noticesInWindow = 0;
    bool m_passwordRefused = false; // 464 came; the server closes on us next
    bool m_heardFromServer = false; // on this connection

    // Outgoing: commands of the protocol go before room lines; both share
    // one pace.
    std::deque<QByteArray> m_commands;
    quint64 m_lastMark = 0;
    quint64 m_answeredMark = 0; // the newest confirmation the server answered
    QTimer m_confirmTimer;      // for the oldest line in flight
    bool m_unconfirmed = false; // the server does not confirm; lines are shown as written
    bool m_viaBouncer = false;  // a bouncer answers PINGs and echoes lines itself
    IrcPacer m_pacer;
    QElapsedTimer m_clock;
    QTimer m_pumpTimer;

    // Answers to the server's PINGs: only the newest token waits.
    std::optional<QStringList> m_pendingPong;
    qint64 m_lastPongMs = -1;
    QTimer m_pongTimer;
    qint64 m_pingWindowStartMs = 0;
    int m_pingsInWindow = 0;

    // Lines the channel refused in this stretch of refusals, and why.
    int m_refusedLines = 0;
    QString m_refusalReason;

    // Kicks that followed each other soon; each doubles the wait to rejoin.
    int m_recentKicks = 0;
    qint64 m_lastKickMs = 0;
    bool m_kickRejoinTried = false; // the first rejoin after the last kick was asked

    // Members who quit in a netsplit; the split is told once until they
    // are back.
    QStringList m_splitMembers;
    bool m_splitTold = false;

    bool m_leaving = false;
    bool m_left = false; // roomLeft() was emitted
    QTimer m_leaveTimer;

    QTimer m_idleTimer;
    bool m_pingOutstanding = false;
    QTimer m_reconnectTimer;
    QTimer m_rejoinTimer;
    int m_backoffMs = 0;
    QString m_lastServerError;    // a refused password or ban, told before the server closes
    QString m_certificateRefusal; // what the user must know of a refused certificate
    bool m_tcpConnected = false;  // for TLS: the handshake is under way
    bool m_gaveUp = false;
};

} // namespace svw
