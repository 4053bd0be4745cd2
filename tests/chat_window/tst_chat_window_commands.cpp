// SPDX-License-Identifier: GPL-3.0-or-later
// The prefix check, Clear, Help and Exit.

#include "chat_window_test_support.h"
#include "solvane.h"

#include <QComboBox>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>

using namespace svw;
using svw::testing::BoxCatcher;
using svw::testing::FakeRoom;

namespace {

const QString kPrefixMessage =
    QStringLiteral("Your Prefix must have exactly 5 Characters, please reformat");

} // namespace

class ChatWindowCommands : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_room = new FakeRoom;
        m_window = new Solvane(m_room);
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        m_pre = m_window->findChild<QComboBox*>(QStringLiteral("cbPre"));
        m_pw = m_window->findChild<QLineEdit*>(QStringLiteral("pw"));
        m_said = m_window->findChild<QPlainTextEdit*>(QStringLiteral("txtSaid"));
    }
    void cleanup() { delete m_window.data(); }

    void prefixCheck_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("refused");
        QTest::newRow("four characters") << "abcd" << true;
        QTest::newRow("six characters") << "abcdef" << true;
        QTest::newRow("empty") << "" << true;
        QTest::newRow("upper half of the code page") << QString::fromUtf8("ºªÑªº") << false;
        QTest::newRow("five spaces") << "     " << false;
        QTest::newRow("five of anything") << "<b>x<" << false;
        // Characters are counted, not UTF-16 units.
        QTest::newRow("outside the basic plane")
            << QString::fromUtf8("\U0001F525\U0001F525\U0001F525\U0001F525\U0001F525") << false;
        QTest::newRow("four outside the basic plane")
            << QString::fromUtf8("\U0001F525\U0001F525\U0001F525\U0001F525") << true;
    }

    void prefixCheck()
    {
        QFETCH(QString, typed);
        QFETCH(bool, refused);

        m_pre->setFocus(Qt::TabFocusReason);
        m_pre->lineEdit()->selectAll();
        if (typed.isEmpty())
            QTest::keyClick(m_pre->lineEdit(), Qt::Key_Backspace);
        else
            svw::testing::typeText(m_pre->lineEdit(), typed);
        QCOMPARE(m_pre->currentText(), typed);

        BoxCatcher catcher;
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("txtSend"));
        QTRY_COMPARE_WITH_TIMEOUT(catcher.boxes.size(), refused ? 1 : 0, 1000);
        QTest::qWait(50); // nothing more comes, not even from the box's own focus changes
        QCOMPARE(catcher.boxes.size(), refused ? 1 : 0);
        if (refused) {
            QCOMPARE(catcher.boxes[0].caption, QStringLiteral("SVW"));
            QCOMPARE(catcher.boxes[0].text, kPrefixMessage);
            QCOMPARE(catcher.boxes[0].icon, QMessageBox::NoIcon);
            QCOMPARE(catcher.boxes[0].buttons, 1);
            QCOMPARE(m_pre->currentText(), QStringLiteral("-|?|-"));
        } else {
            QCOMPARE(m_pre->currentText(), typed);
        }
    }

    void prefixCheckOnEveryListEntry()
    {
        BoxCatcher catcher;
        for (int i = 0; i < m_pre->count(); ++i) {
            m_pre->setFocus(Qt::TabFocusReason);
            m_pre->setCurrentIndex(i);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QTest::qWait(20);
            QCOMPARE(m_pre->currentText(), m_pre->itemText(i));
        }
        QCOMPARE(catcher.boxes.size(), 0);
    }

    void openingTheListIsNotLeavingTheBox()
    {
        m_pre->setFocus(Qt::TabFocusReason);
        m_pre->setEditText(QStringLiteral("ab"));
        BoxCatcher catcher;
        m_pre->showPopup();
        QTest::qWait(50);
        m_pre->hidePopup();
        QTest::qWait(50);
        QCOMPARE(catcher.boxes.size(), 0);
        QCOMPARE(m_pre->currentText(), QStringLiteral("ab"));
    }

    void leavingTheBoxByPressingSendSaysNothing()
    {
        // The press that takes the focus from a bad prefix shows the message;
        // the click it began does not send with the bad prefix.
        m_pw->setText(QStringLiteral("key"));
        m_window->findChild<QLineEdit*>(QStringLiteral("txtSend"))->setText(QStringLiteral("hi"));
        m_pre->setFocus(Qt::TabFocusReason);
        m_pre->setEditText(QStringLiteral("abc"));

        auto* send = m_window->findChild<QPushButton*>(QStringLiteral("cmdSend"));
        BoxCatcher catcher;
        QTest::mousePress(send, Qt::LeftButton);
        QTRY_COMPARE(catcher.boxes.size(), 1);
        QTest::mouseRelease(send, Qt::LeftButton);
        QVERIFY(!send->isDown());
        QVERIFY(m_room->said.isEmpty());
        QCOMPARE(m_pre->currentText(), QStringLiteral("-|?|-"));
    }

    void clear()
    {
        m_pw->setText(QStringLiteral("key"));
        m_window->findChild<QAction*>(QStringLiteral("mnuDE"))->trigger();
        m_room->hear(QStringLiteral("bob"), QStringLiteral("-|?|-"));
        QCOMPARE(m_said->toPlainText(), QStringLiteral("bob  :  \n"));

        auto* clear = m_window->findChild<QPushButton*>(QStringLiteral("cmdClear"));
        auto* out = m_window->findChild<QLineEdit*>(QStringLiteral("txtSend"));
        out->setText(QStringLiteral("draft"));
        m_pre->setEditText(QStringLiteral("-=+=-"));
        QTest::mouseClick(clear, Qt::LeftButton);
        QCOMPARE(m_said->toPlainText(), QString());
        QTest::mouseClick(clear, Qt::LeftButton); // already empty: nothing changes
        QCOMPARE(m_said->toPlainText(), QString());

        // Everything else stays, listening included.
        QCOMPARE(out->text(), QStringLiteral("draft"));
        QCOMPARE(m_pw->text(), QStringLiteral("key"));
        QCOMPARE(m_pre->currentText(), QStringLiteral("-=+=-"));
        QVERIFY(m_room->scanning);
        // Heard in the same turn of the event loop as bob's line, it may be
        // shown a turn later on a busy machine.
        m_room->hear(QStringLiteral("carol"), QStringLiteral("-=+=-"));
        QTRY_COMPARE(m_said->toPlainText(), QStringLiteral("carol  :  \n"));
    }

    void help()
    {
        BoxCatcher catcher;
        m_window->findChild<QAction*>(QStringLiteral("mnuHelp"))->trigger();
        QCOMPARE(catcher.boxes.size(), 1);
        QCOMPARE(catcher.boxes[0].caption, QStringLiteral("Solvane Veilwire"));
        QCOMPARE(catcher.boxes[0].icon, QMessageBox::NoIcon);
        QCOMPARE(catcher.boxes[0].buttons, 1);
        QCOMPARE(catcher.boxes[0].text,
                 QStringLiteral("All you have to do is Open AOL and then open the designated chat "
                                "room.  As long as you have the right password you will be able "
                                "to read the text.  However you're prefix must match everyone "
                                "elses.  If someone is in your chat and you don't want to see "
                                "their messages, change your prefix."));
    }

    void enterOnClearPressesClear()
    {
        m_pw->setText(QStringLiteral("key"));
        auto* out = m_window->findChild<QLineEdit*>(QStringLiteral("txtSend"));
        out->setText(QStringLiteral("stays"));
        m_window->findChild<QAction*>(QStringLiteral("mnuDE"))->trigger();
        m_room->hear(QStringLiteral("bob"), QStringLiteral("-|?|-"));
        auto* clear = m_window->findChild<QPushButton*>(QStringLiteral("cmdClear"));
        clear->setFocus(Qt::TabFocusReason);
        QTest::keyClick(clear, Qt::Key_Return);
        QCOMPARE(m_said->toPlainText(), QString());
        QVERIFY(m_room->said.isEmpty());
        QCOMPARE(out->text(), QStringLiteral("stays"));
    }

    void exitClosesEveryWindow()
    {
        QPointer<ChatRoomControl> room = m_room;
        auto* webWindowStandIn = new QWidget;
        webWindowStandIn->setAttribute(Qt::WA_DeleteOnClose);
        webWindowStandIn->show();
        QPointer<QWidget> other = webWindowStandIn;

        m_window->findChild<QAction*>(QStringLiteral("mnuExit"))->trigger();
        QVERIFY(!m_window || !m_window->isVisible());
        QTRY_VERIFY(!m_window);
        QVERIFY(!room);
        QVERIFY(!other);
    }

private:
    FakeRoom* m_room = nullptr;
    QPointer<Solvane> m_window;
    QComboBox* m_pre = nullptr;
    QLineEdit* m_pw = nullptr;
    QPlainTextEdit* m_said = nullptr;
};

QTEST_MAIN(ChatWindowCommands)
#include "tst_chat_window_commands.moc"
