// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "chat_room_control.h"
#include "irc_address.h"
#include "irc_message.h"
#include "irc_names.h"
#include "irc_pacer.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QSslCertificate>
#include <QStringList>
#include <QTimer>

#include <deque>

class QSslSocket;

namespace svw {

struct IrcRoomSettings
{
    IrcAddress address;
    QList<QSslCertificate> extraCaCertificates; // trusted besides the system's store
    IrcPacing pacing;
    int connectTimeoutMs = 30'000; // to reach the server and hear its first line
    int keepaliveMs = 90'000;      // silence from the server before we ping it
    int pingTimeoutMs = 60'000;    // silence after that ping before we reconnect
    int reconnectMinMs = 1'000;    // first wait before reconnecting; doubles ...
    int reconnectMaxMs = 60'000;   // ... up to this
    int confirmEveryLines = 5;     // lines written before we ask the server to confirm them
    int troubleAfterMs = 20'000;   // out of the channel this long before the user is told
    QString userName = QStringLiteral("svw");
    QString realName = QStringLiteral("SVW");
};

// A chat room in an IRC channel, over plain TCP or TLS.
//
// The control connects as soon as the event loop runs and stays in the
// channel for its whole life: it registers (waiting for the welcome before
// joining), answers the server's pings and pings a silent server itself, and
// after a lost connection reconnects with a growing pause and joins again.
//
// Lines are said in order and never dropped. A line waits in the queue until
// the channel is joined, then leaves at the pace the server allows; after a
// few lines, and whenever the queue runs dry, the control sends a PING whose
// PONG confirms that the server has taken every line before it. Lines that
// are not confirmed when a connection is lost go out again, first, after the
// rejoin; a line the server took just before it went down may so be said
// twice, but none is lost.
//
// While scanning, every PRIVMSG to the channel is a RoomLine; the user's own
// lines come back once, through the server's echo-message where it offers
// that, or from the control itself once the server has confirmed them.
//
// Destroying the control says the lines still queued, unpaced, and leaves
// with QUIT, waiting at most a second for them to be written.
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

    Phase phase() const { return m_phase; }
    bool isJoined() const { return m_phase == Phase::Joined; }
    bool isScanning() const { return m_scanning; }
    QString status() const { return m_status; }
    QString nick() const { return m_nick; }
    bool serverEchoes() const { return m_serverEchoes; }
    const IrcAddress& address() const { return m_settings.address; }

    // Lines said that the server has not confirmed yet (queued or in flight).
    qsizetype unconfirmedLines() const
    {
        return qsizetype(m_queue.size()) + qsizetype(m_inFlight.size());
    }

    // The most bytes a room line may take so that the server can relay it
    // whole to the others.
    int roomLineByteBudget() const;

signals:
    void joined();         // each time the channel is (re)joined
    void linesConfirmed(); // the server confirmed every line said so far

private:
    struct SentLine
    {
        QString text;
        quint64 mark = 0; // the PING that confirms it; 0: none asked yet
    };

    void connectToServer();
    void onSocketReady();
    void onReadyRead();
    void onSocketLost(const QString& reason);
    void scheduleReconnect(const QString& reason);
    void onIdleTimeout();
    void restartIdleTimer(int ms);

    void handleMessage(const IrcMessage& message);
    void handleCap(const IrcMessage& message);
    void handleWelcome(const IrcMessage& message);
    void handleIsupport(const IrcMessage& message);
    void handleNickRefused(const IrcMessage& message);
    void handleJoin(const IrcMessage& message);
    void handleLeft(const QString& reason);
    void handleJoinRefused(const IrcMessage& message);
    void handlePong(const IrcMessage& message);
    void handlePrivmsg(const IrcMessage& message);

    void enqueueCommand(const QString& command, const QStringList& params,
                        bool lastIsTrailing = false, bool urgent = false);
    void sendCommand(const QString& command, const QStringList& params,
                     bool lastIsTrailing = false);
    void askConfirmation();
    void pump();
    void requeueInFlight();
    void scheduleRejoin(const QString& reason);
    void setPhase(Phase phase);
    void announce(const QString& status);
    // Announces a failure and tells the user through roomTrouble(), with
    // what it means for the lines said.
    void announceTrouble(const QString& status, const QString& consequence);
    // Starts the wait after which a room still out of the channel tells the
    // user; a rejoin in time ends it unheard.
    void beginOutage();

    bool isOwnNick(const QString& nick) const;
    bool isOurChannel(const QString& channel) const;

    IrcRoomSettings m_settings;
    QPointer<QSslSocket> m_socket;
    QByteArray m_inbox;
    Phase m_phase = Phase::Waiting;
    QString m_status;
    bool m_scanning = false;

    // Who we are on the server, as far as it has told us.
    QString m_nick;
    QString m_userHost; // "user@host" as the server relays our lines; empty: not known yet
    int m_nickLength = kIrcMinNickLength;
    bool m_nickLengthKnown = false;
    int m_nickAttempt = 0;
    IrcCaseMapping m_caseMapping = IrcCaseMapping::Rfc1459;
    bool m_serverEchoes = false;
    QStringList m_offeredCaps;

    // Outgoing: commands of the protocol go before room lines; both share
    // one pace.
    std::deque<QByteArray> m_commands;
    std::deque<QString> m_queue;     // room lines not written yet
    std::deque<SentLine> m_inFlight; // written, not confirmed
    int m_unmarkedLines = 0;
    quint64 m_lastMark = 0;
    IrcPacer m_pacer;
    QElapsedTimer m_clock;
    QTimer m_pumpTimer;

    QTimer m_idleTimer;
    bool m_pingOutstanding = false;
    QTimer m_reconnectTimer;
    QTimer m_rejoinTimer;
    QTimer m_troubleTimer;
    bool m_outageTold = false; // the user heard of this time out of the channel
    int m_backoffMs = 0;
    QString m_lastSslError;
    QString m_lastServerError; // from ERROR or a refused password
};

} // namespace svw
