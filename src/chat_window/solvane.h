// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <QString>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>

class QAction;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace svw {

class ChatRoomControl;
class ConversationAppend;
class RoomKeeper;
class SealedConversation;
class RoomIndicator;
class WindowAnnouncer;
enum class RoomState;

// The chat window: the conversation box, the password and prefix boxes, the
// outgoing text with its Send button, Clear, the link to the web page with
// its marker, and the menu that listens, stops, helps and exits. It owns the
// chat room control `Chat1` through which lines go into the room and come
// out of it.
//
// Every control carries its name as object name. Closed by its frame, the
// window deletes itself and its room control with it; web windows it opened
// stay open, and the program ends when its last window closes. Exit ends the
// program at once, every window with it.
class Solvane : public QMainWindow
{
    Q_OBJECT

public:
    // Opens a web window on `startingAddress`; the web window hides `marker`
    // when it is released.
    using WebWindowOpener = std::function<void(const QString& startingAddress, QWidget* marker)>;

    // Takes ownership of `chat1`. The window shows itself, topmost, while it
    // is created.
    explicit Solvane(ChatRoomControl* chat1, QWidget* parent = nullptr);
    ~Solvane() override;

    void setWebWindowOpener(WebWindowOpener opener);

    // The system beep that the link sounds; replaceable so that a test can
    // hear it.
    void setBeeper(std::function<void()> beeper);

    // The prefixes offered in the prefix box, the first one shown at start.
    static const QStringList& prefixes();

    // How many of the most recent lines the conversation box keeps.
    static constexpr int kConversationLines = 5000;

    // What the room sign's dialog asks about rooms, and makes them with; not
    // owned. Without one the sign only shows where the room stands.
    void setRoomKeeper(RoomKeeper* keeper);

    // Marks a first start: the window is in the local room and nobody chose
    // it. The conversation box says so, and where another room is chosen,
    // until a line shows or another room is entered.
    void setFirstStart(bool first);

    // Goes to another room: the lines still waiting for this one go out
    // first (for at most the leaving patience; the user is told how many
    // did not), the room is left, and the control `makeNext` makes takes
    // its place. Listening stays as it was. Lines said meanwhile go to the
    // new room.
    using RoomMaker = std::function<std::unique_ptr<ChatRoomControl>(QString* error)>;
    void moveToRoom(RoomMaker makeNext);
    bool isBetweenRooms() const { return m_leaving; }

    // How long waiting lines may take to go out when a room is left, on a
    // change of room and at Exit.
    void setLeavingPatience(std::chrono::milliseconds patience) { m_patience = patience; }

signals:
    // Another room took the old one's place (or, when it could not be made,
    // the old one is still there and `entered` is false).
    void roomChanged(bool entered);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void createControls();
    void createMenu();
    void describeControls();
    void applyLinkColour();
    void showRoomState(RoomState state);
    void showListening(bool listening);

    // The room (solvane_room.cpp).
    void attachRoom(ChatRoomControl* room);
    void openRoomDialog();
    void leaveRoom();
    void Chat1_RoomLeft(int unsaidLines);
    void Chat1_RoomNotice(const QString& text);
    void Chat1_RoomDescriptionChanged();
    void showNote(const QString& text);
    bool sayInRoom(const QString& roomLine);

    // Start-up and the window's own commands.
    void Form_Load();
    void cbPre_LostFocus();
    void cmdClear_Click();
    void mnuHelp_Click();
    void mnuExit_Click();
    void Web_Click();

    // Sending.
    void cmdSend_Click();
    bool sayPieces(const QStringList& pieces, const QString& prefix, const QString& key);

    // Listening.
    void mnuDE_Click();
    void mnuStop_Click();
    void Chat1_RoomLine(const QString& sender, const QString& text);
    void Chat1_RoomTrouble(const QString& why);
    void Chat1_RoomReady();
    void showRoomLine(const QString& sender, const QString& text, const QString& prefix,
                      const QString& key);
    void showRoomLineSaidAt(const QDateTime& saidAt, const QString& sender, const QString& text,
                            const QString& prefix, const QString& key);
    void showOldCipherLine(const QString& sender, const QString& text, const QString& prefix,
                           const QString& key);
    void appendShownLine(const QString& line);
    bool sliceSpent();
    void showWaitingLines();

    void queuePrefixCheck();
    // Runs a prefix check that is queued but has not run yet; returns false
    // when it refused the prefix.
    bool runQueuedPrefixCheck();

    // Sealed lines (solvane_sealed.cpp).
    void createSealing();
    void mnuSeal_Toggled(bool on);
    void applySealedLook();
    void fitMenuBar();
    void prepareSealKey();
    void sendSealed(const QString& text, const QString& key, const QString& prefix);
    void flushSealedSends();
    bool saySealed(const QStringList& roomLines, const QStringList& pieces, bool userWaits);
    bool takeSealedLine(const QString& sender, const QString& text, const QString& prefix,
                        const QString& key);
    QString markedIfWeak(const QString& shown) const;
    void startedListeningSealed();

    // The controls, by the names they carry.
    QPlainTextEdit* txtSaid = nullptr;
    QLineEdit* pw = nullptr;
    QComboBox* cbPre = nullptr;
    QLineEdit* txtSend = nullptr;
    QPushButton* cmdSend = nullptr;
    QPushButton* cmdClear = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Web = nullptr;
    QFrame* shape = nullptr;
    ChatRoomControl* Chat1 = nullptr;

    QAction* mnuDE = nullptr;
    QAction* mnuStop = nullptr;
    QAction* mnuHelp = nullptr;
    QAction* mnuExit = nullptr;
    QAction* mnuSeal = nullptr; // checked while this copy seals what it says

    SealedConversation* m_sealed = nullptr;
    struct SealedSend
    {
        QString text;
        QString key;
        QString prefix;
    };
    std::deque<SealedSend> m_sealedSends;     // said once their key is there
    RoomIndicator* m_roomIndicator = nullptr; // in the menu bar's corner
    WindowAnnouncer* m_announcer = nullptr;   // tells screen readers what shows

    // Room lines that wait, in order, while the window answers the user
    // between slices of a flood (see Chat1_RoomLine), each with the prefix and
    // password that stood when it arrived.
    struct WaitingLine
    {
        QString sender;
        QString text;
        QString prefix;
        QString key;
        QDateTime saidAt; // played back late by the room; invalid: said just now
    };
    std::deque<WaitingLine> m_waitingLines;
    QDateTime m_shownSaidAt; // of the line being shown
    QElapsedTimer m_slice;
    ConversationAppend* m_batch = nullptr; // while a slice of waiting lines is shown
    bool m_sliceRunning = false;
    bool m_drainScheduled = false;

    WebWindowOpener m_webWindowOpener;
    std::function<void()> m_beeper = [] {
        QApplication::beep();
    };
    bool m_prefixCheckQueued = false;
    quint64 m_prefixCheckTicket = 0; // which queued check may still run
    bool m_receiveFailureReported = false;
    QString m_roomTroubleReported;          // the trouble last told, until the room is ready
    QPointer<QMessageBox> m_roomTroubleBox; // shows it, until replaced or no longer true

    RoomKeeper* m_keeper = nullptr;
    RoomMaker m_nextRoom;    // while leaving for another room
    bool m_leaving = false;  // between leaveRoom() and roomLeft()
    bool m_exiting = false;  // the room is left because the program ends
    bool m_closing = false;  // the room is left because the window was closed
    bool m_closed = false;   // the closing window has let its room go
    QStringList m_heldLines; // said while between rooms, for the next one
    std::chrono::milliseconds m_patience{10000};
    bool m_firstStart = false;
};

} // namespace svw
