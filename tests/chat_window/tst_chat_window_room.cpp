// SPDX-License-Identifier: GPL-3.0-or-later
// The chat window and its room, against rooms the test works by hand: going
// to another room with lines still waiting, Exit or a close by the frame with
// lines still waiting,
// what the room says besides lines, the first start's placeholder, and the
// room sign that opens the room dialog.

#include "chat_window_test_support.h"
#include "room_dialog.h"
#include "room_indicator.h"
#include "room_keeper.h"
#include "solvane.h"

#include <QAction>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>

using namespace svw;
using namespace Qt::StringLiterals;
using svw::testing::BoxCatcher;
using svw::testing::FakeRoom;
using svw::testing::ScratchDirectory;

namespace {

// A room whose leaving the test finishes, with lines still waiting as the
// test says.
class LeavingRoom : public FakeRoom
{
public:
    explicit LeavingRoom(const QString& description = u"#old on irc.example.net as ann"_s)
        : description(description)
    {}
    QString roomDescription() const override { return description; }
    int waitingLineCount() const override { return waiting; }
    void leaveRoom(std::chrono::milliseconds givenPatience) override
    {
        ++leaves;
        patience = givenPatience;
    }
    void left(int unsaid) { emit roomLeft(unsaid); }
    void notice(const QString& text) { emit roomNotice(text); }
    void describe(const QString& text)
    {
        description = text;
        emit roomDescriptionChanged();
    }

    QString description;
    int waiting = 0;
    int leaves = 0;
    std::chrono::milliseconds patience{-1};
};

class FakeKeeper : public RoomKeeper
{
public:
    QString currentAddress() const override { return u"local"_s; }
    QStringList recentRooms() const override { return {}; }
    RoomCredentials knownCredentials(const QString&) const override { return {}; }
    QString secretsNote() const override { return {}; }
    std::unique_ptr<ChatRoomControl> enter(const RoomChoice& choice, QString*) override
    {
        entered.append(choice.address);
        auto room = std::make_unique<LeavingRoom>(u"the next room as ann"_s);
        made = room.get();
        return room;
    }
    QStringList entered;
    QPointer<LeavingRoom> made;
};

// Runs `work` on the modal dialog as soon as one shows.
void onDialog(QObject* context, std::function<void(QWidget*)> work)
{
    auto* poll = new QTimer(context);
    QObject::connect(poll, &QTimer::timeout, context, [poll, work] {
        if (QWidget* dialog = QApplication::activeModalWidget()) {
            poll->deleteLater();
            work(dialog);
        }
    });
    poll->start(5);
}

} // namespace

class ChatWindowRoom : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_scratch = std::make_unique<ScratchDirectory>();
        m_room = new LeavingRoom;
        m_window = new Solvane(m_room);
        m_said = m_window->findChild<QPlainTextEdit*>(u"txtSaid"_s);
        m_indicator = m_window->findChild<RoomIndicator*>(u"roomIndicator"_s);
    }
    void cleanup()
    {
        delete m_window.data();
        m_scratch.reset();
    }

    void waitingLinesGoFirstWhenTheRoomChanges()
    {
        trigger("mnuDE");
        m_room->waiting = 3;
        QPointer<LeavingRoom> next;
        m_window->moveToRoom([&next](QString*) {
            auto room = std::make_unique<LeavingRoom>(u"#new on irc.example.org as ann"_s);
            next = room.get();
            return std::unique_ptr<ChatRoomControl>(std::move(room));
        });
        // The old room is asked to say what waits, for a bounded time, and
        // the window says so; the new room is not made before it is left.
        QCOMPARE(m_room->leaves, 1);
        QVERIFY(m_room->patience > std::chrono::milliseconds(0));
        QVERIFY(m_room->patience <= std::chrono::seconds(10));
        QVERIFY(!next);
        QVERIFY(m_said->toPlainText().contains(u"Saying the 3 lines still waiting"_s));

        // Said meanwhile: for the new room.
        say(u"between rooms"_s);
        QCOMPARE(m_room->said.size(), 0);

        QPointer<LeavingRoom> old = m_room;
        old->left(1);
        QVERIFY(next);
        QVERIFY(m_said->toPlainText().contains(u"1 line could not be said"_s));
        QCOMPARE(m_window->findChild<ChatRoomControl*>(u"Chat1"_s), next.data());
        QCOMPARE(next->said.size(), 1);
        // Listening stays as it was; the sign tells of the new room.
        QVERIFY(next->scanning);
        QVERIFY(m_indicator->listening());
        QVERIFY(m_indicator->toolTip().contains(u"#new on irc.example.org"_s));

        // The old room is heard no more, and goes.
        const QString before = m_said->toPlainText();
        if (old)
            old->hear(u"ghost"_s, u"-|?|-abc"_s);
        QCOMPARE(m_said->toPlainText(), before);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!old);
    }

    void roomNoticeIsANoteThatTakesNoFocus()
    {
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        auto* send = m_window->findChild<QWidget*>(u"txtSend"_s);
        send->setFocus();
        m_room->notice(u"NickServ: this nick is registered\x07\nreally"_s);
        const QString shown = m_said->toPlainText();
        QVERIFY2(shown.contains(u"* NickServ: this nick is registered\u2407\u240Areally"_s),
                 qPrintable(shown));
        QCOMPARE(m_said->document()->blockCount(), 2); // the note, and the empty line after it
        QCOMPARE(QApplication::focusWidget(), send);
        QVERIFY(!QApplication::activeModalWidget());

        m_room->describe(u"#old on irc.example.net as ann_"_s);
        QVERIFY(m_indicator->toolTip().contains(u"as ann_"_s));
    }

    void exitSaysWaitingLinesFirstAndTellsWhatWasLost()
    {
        m_room->waiting = 2;
        trigger("mnuExit");
        QCOMPARE(m_room->leaves, 1);
        QVERIFY(m_room->patience <= std::chrono::seconds(10));
        QVERIFY(m_window->isVisible());
        QVERIFY(m_said->toPlainText().contains(u"before the program ends"_s));

        BoxCatcher boxes;
        m_room->left(2);
        QCOMPARE(boxes.boxes.size(), 1);
        QCOMPARE(boxes.boxes[0].text, u"2 lines could not be said before the program ended."_s);
        QVERIFY(!m_window || !m_window->isVisible());
    }

    void exitWithNothingWaitingEndsAtOnce()
    {
        trigger("mnuExit");
        QCOMPARE(m_room->leaves, 0);
        QVERIFY(!m_window || !m_window->isVisible());
    }

    void roomThatNeverLeavesDoesNotHoldExit()
    {
        m_room->waiting = 1;
        m_window->setLeavingPatience(std::chrono::milliseconds(20));
        trigger("mnuExit");
        BoxCatcher boxes;
        QTRY_VERIFY_WITH_TIMEOUT(!m_window || !m_window->isVisible(), 20000);
        QCOMPARE(boxes.boxes.size(), 1);
    }

    void frameCloseSaysWaitingLinesFirst()
    {
        m_window->show();
        m_room->waiting = 2;
        QVERIFY(!m_window->close());
        QCOMPARE(m_room->leaves, 1);
        QVERIFY(m_window->isVisible());
        QVERIFY(m_said->toPlainText().contains(u"before the window closes"_s));
        say(u"said while closing"_s); // held: it is counted with the unsaid ones
        QCOMPARE(m_room->said.size(), 0);

        BoxCatcher boxes;
        m_room->left(1);
        QCOMPARE(boxes.boxes.size(), 1);
        QCOMPARE(boxes.boxes[0].text, u"2 lines could not be said before the window closed."_s);
        QVERIFY(!m_window || !m_window->isVisible());
    }

    void frameCloseWithNothingWaitingClosesAtOnce()
    {
        m_window->show();
        QVERIFY(m_window->close());
        QCOMPARE(m_room->leaves, 0);
    }

    void firstStartPlaceholderGoesWithTheFirstLine()
    {
        m_window->setFirstStart(true);
        QVERIFY(m_said->placeholderText().contains(u"on this computer only"_s));
        QVERIFY(m_said->placeholderText().contains(u"room sign"_s));
        QVERIFY(m_said->document()->isEmpty()); // not a line of the conversation

        trigger("mnuDE");
        m_room->hear(u"bob"_s, u"-|?|-"_s);
        QVERIFY(!m_said->document()->isEmpty());
        QVERIFY(m_said->placeholderText().isEmpty());
        m_window->findChild<QPushButton*>(u"cmdClear"_s)->click();
        QVERIFY(m_said->placeholderText().isEmpty());
    }

    void roomSignOpensTheDialogFromTheKeyboard()
    {
        FakeKeeper keeper;
        m_window->setRoomKeeper(&keeper);
        m_window->setFirstStart(true);
        trigger("mnuSeal");
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        m_window->findChild<QLineEdit*>(u"pw"_s)->setText(u"key"_s);
        m_window->findChild<QLineEdit*>(u"txtSend"_s)->setText(u"not yet"_s);
        m_indicator->setFocus(Qt::TabFocusReason);
        QVERIFY(m_indicator->hasFocus());

        // Enter on the sign opens the dialog and sends nothing; Escape
        // leaves it with the room as it was.
        QString shownFirst;
        onDialog(this, [&shownFirst](QWidget* dialog) {
            shownFirst = dialog->objectName();
            QTest::keyClick(dialog, Qt::Key_Escape);
        });
        QTest::keyClick(m_indicator, Qt::Key_Return);
        QCOMPARE(shownFirst, u"roomDialog"_s);
        QCOMPARE(m_room->said.size(), 0);
        QCOMPARE(m_room->leaves, 0);
        QVERIFY(keeper.entered.isEmpty());

        // Space opens it too; Enter there enters the room filled in.
        onDialog(this, [](QWidget* dialog) {
            dialog->findChild<QLineEdit*>(u"localName"_s)->setText(u"attic"_s);
            QTest::keyClick(dialog->findChild<QLineEdit*>(u"localName"_s), Qt::Key_Return);
        });
        QTest::keyClick(m_indicator, Qt::Key_Space);
        QCOMPARE(m_room->leaves, 1);
        m_room->left(0);
        QCOMPARE(keeper.entered, QStringList{u"local:attic"_s});
        QCOMPARE(m_window->findChild<ChatRoomControl*>(u"Chat1"_s), keeper.made.data());
        QVERIFY(m_indicator->toolTip().contains(u"the next room"_s));
        QVERIFY(m_window->findChild<QAction*>(u"mnuSeal"_s)->isChecked());
        QVERIFY(!keeper.made->scanning); // not listening before, nor after
        // A room was chosen: the first start is over.
        QVERIFY(m_said->placeholderText().isEmpty());
    }

private:
    void trigger(const char* item)
    {
        m_window->findChild<QAction*>(QLatin1String(item))->trigger();
    }
    void say(const QString& text)
    {
        m_window->findChild<QLineEdit*>(u"pw"_s)->setText(u"key"_s);
        m_window->findChild<QLineEdit*>(u"txtSend"_s)->setText(text);
        m_window->findChild<QPushButton*>(u"cmdSend"_s)->click();
    }

    std::unique_ptr<ScratchDirectory> m_scratch;
    LeavingRoom* m_room = nullptr;
    QPointer<Solvane> m_window;
    QPlainTextEdit* m_said = nullptr;
    RoomIndicator* m_indicator = nullptr;
};

QTEST_MAIN(ChatWindowRoom)
#include "tst_chat_window_room.moc"
