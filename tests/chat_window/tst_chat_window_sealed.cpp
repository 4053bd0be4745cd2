// SPDX-License-Identifier: GPL-3.0-or-later
// Sealing in the chat window: the switch, sealed sending without scratch
// files, lines kept in order while the key is derived, the weak mark, and a
// sealed line turning sealing on.

#include "chat_window_test_support.h"
#include "line_cipher.h"
#include "sealed_conversation.h"
#include "sealed_line.h"
#include "solvane.h"

#include <QAction>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>

using namespace svw;
using svw::testing::BoxCatcher;
using svw::testing::FakeRoom;
using svw::testing::ScratchDirectory;

namespace {

const QString kPrefix = QStringLiteral("-|?|-");

QString sealedLine(const QString& text, const QString& password = QStringLiteral("Key"))
{
    static const auto key = deriveSealKey(QStringLiteral("Key"), kPrefix);
    const auto other = password == QLatin1String("Key") ? key : deriveSealKey(password, kPrefix);
    SealedContent content;
    content.saidAtMs = QDateTime::currentMSecsSinceEpoch();
    content.text = text;
    return sealRoomLine(*other, kPrefix, content);
}

} // namespace

class ChatWindowSealed : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_scratch = std::make_unique<ScratchDirectory>();
        m_room = new FakeRoom;
        m_window = new Solvane(m_room);
        m_seal = m_window->findChild<QAction*>(QStringLiteral("mnuSeal"));
        m_said = m_window->findChild<QPlainTextEdit*>(QStringLiteral("txtSaid"));
        m_send = m_window->findChild<QLineEdit*>(QStringLiteral("txtSend"));
        m_window->findChild<QLineEdit*>(QStringLiteral("pw"))->setText(QStringLiteral("Key"));
        m_window->findChild<QAction*>(QStringLiteral("mnuDE"))->trigger();
    }

    void cleanup()
    {
        delete m_window.data();
        m_scratch.reset();
    }

    void linesKeepTheirOrderWhileTheKeyIsMade()
    {
        QVERIFY(!m_seal->isChecked()); // off at start
        m_room->hear("ann", sealedLine(QStringLiteral(u"first \u2713")));
        m_room->hear("bob", kPrefix + encodeToString(u"second", u"Key").line);
        m_room->hear("ann", sealedLine("third"));
        m_room->hear("eve", sealedLine("fourth", "Guess"));
        QVERIFY(m_said->toPlainText().isEmpty()); // all wait for the key
        QVERIFY(QTest::qWaitFor([&] { return m_said->toPlainText().count('\n') == 4; }, 30000));
        QCOMPARE(m_said->toPlainText(),
                 QStringLiteral(u"ann  :  first \u2713\n[weak] bob  :  second\nann  :  third\n"
                                u"eve  :  ") +
                     kSealedNote + "\n");
        // The line that opened turned sealing on.
        QVERIFY(m_seal->isChecked());
    }

    void sealedSendingLeavesNoFile()
    {
        m_seal->trigger();
        QVERIFY(m_seal->isChecked());
        m_send->setText(QStringLiteral(u"Gr\u00FC\u00DFe"));
        m_window->findChild<QPushButton*>(QStringLiteral("cmdSend"))->click();
        QVERIFY(QTest::qWaitFor([&] { return !m_room->said.isEmpty(); }, 30000));
        QCOMPARE(m_room->said.size(), 1);
        QVERIFY(m_room->said[0].startsWith(kPrefix + kSealMarker.toString()));
        QVERIFY(m_send->text().isEmpty());
        const auto key = deriveSealKey(QStringLiteral("Key"), kPrefix);
        const auto opened = openRoomLine(*key, kPrefix, QStringView(m_room->said[0]).mid(5));
        QVERIFY(opened);
        QCOMPARE(opened->content.text, QStringLiteral(u"Gr\u00FC\u00DFe"));
        QVERIFY(!m_scratch->exists("temp"));

        // Now with the key at hand, and a room that refuses: the text stays.
        BoxCatcher boxes;
        m_room->refuseFrom = 1;
        m_send->setText("kept");
        m_window->findChild<QPushButton*>(QStringLiteral("cmdSend"))->click();
        QCOMPARE(m_send->text(), QString("kept"));
        QVERIFY(QTest::qWaitFor([&] { return boxes.boxes.size() == 1; }));
        QCOMPARE(boxes.boxes[0].text, m_room->refusal);

        // Turned off by the user, the old cipher goes out again unchanged.
        m_room->refuseFrom = -1;
        m_seal->trigger();
        QVERIFY(!m_seal->isChecked());
        m_send->setText("abc");
        m_window->findChild<QPushButton*>(QStringLiteral("cmdSend"))->click();
        QCOMPARE(m_room->said.last(), kPrefix + encodeToString(u"abc", u"Key").line);
        QVERIFY(m_scratch->exists("temp"));
    }

    // The name the room knows us by is sealed into each line, as it stands
    // at each send.
    void sealsTheRoomsNameForUs()
    {
        m_room->description = QStringLiteral("#chan on irc.example.net as ann");
        m_seal->trigger();
        m_send->setText("first");
        m_window->findChild<QPushButton*>(QStringLiteral("cmdSend"))->click();
        QVERIFY(QTest::qWaitFor([&] { return m_room->said.size() == 1; }, 30000));
        m_room->description = QStringLiteral("#chan on irc.example.net as ann_2");
        m_send->setText("second");
        m_window->findChild<QPushButton*>(QStringLiteral("cmdSend"))->click();
        QCOMPARE(m_room->said.size(), 2);

        const auto key = deriveSealKey(QStringLiteral("Key"), kPrefix);
        QStringList names;
        for (const QString& line : m_room->said) {
            const auto opened = openRoomLine(*key, kPrefix, QStringView(line).mid(5));
            QVERIFY(opened);
            names << opened->content.name;
        }
        QCOMPARE(names, (QStringList{"ann", "ann_2"}));
    }

    // A text sent before the key was there, and refused once it is, comes
    // back into the outgoing box ahead of what was typed meanwhile.
    void waitingTextRefusedComesBack_data()
    {
        QTest::addColumn<bool>("roomRefuses");
        QTest::newRow("cannot be sealed") << false;
        QTest::newRow("room refuses") << true;
    }

    void waitingTextRefusedComesBack()
    {
        QFETCH(bool, roomRefuses);
        BoxCatcher boxes;
        m_seal->trigger(); // the key is on its way, not here
        if (roomRefuses)
            m_room->refuseFrom = 0;
        else
            m_room->lineLimit = 20; // not even one character fits
        m_send->setText("waited");
        m_window->findChild<QPushButton*>(QStringLiteral("cmdSend"))->click();
        QCOMPARE(m_send->text(), QString());
        m_send->setText(" and typed");
        QVERIFY(QTest::qWaitFor([&] { return boxes.boxes.size() == 1; }, 30000));
        QCOMPARE(m_send->text(), QString("waited and typed"));
        QCOMPARE(m_room->said, QStringList());
        QVERIFY2(boxes.boxes[0].text.contains(roomRefuses ? m_room->refusal : "cannot be sealed"),
                 qPrintable(boxes.boxes[0].text));
    }

    void aLineIsAlwaysOneLineOfTheBox()
    {
        // A paragraph separator in a sealed text and in a nick would make a
        // second member's line; an override would reorder what is shown.
        m_room->hear(QStringLiteral(u"mallory\u2029h2"),
                     sealedLine(QStringLiteral(u"see you\u2029ann  :  I quit, the password is "
                                               u"1234\u2028\u202Eevil")));
        QVERIFY(QTest::qWaitFor([&] { return !m_said->toPlainText().isEmpty(); }, 30000));
        QCOMPARE(m_said->document()->blockCount(), 2); // the line and the empty one after it
        QCOMPARE(m_said->toPlainText(),
                 QStringLiteral(u"mallory\u00B6h2  :  see you\u00B6ann  :  I quit, the password "
                                u"is 1234\u2424\uFFFDevil\n"));
    }

    void theBoxKeepsTheMostRecentLines()
    {
        // Lines of both ciphers; the sealed ones wait for the key first.
        m_room->hear("ann", sealedLine("sealed first"));
        const QString old = kPrefix + encodeToString(u"old", u"Key").line;
        for (int i = 0; i < Solvane::kConversationLines; ++i)
            m_room->hear("bob", old);
        m_room->hear("ann", sealedLine("sealed last"));
        QVERIFY(QTest::qWaitFor(
            [&] { return m_said->toPlainText().endsWith(QStringLiteral("ann  :  sealed last\n")); },
            60000));
        QCOMPARE(m_said->document()->blockCount(), Solvane::kConversationLines + 1);
        QVERIFY(!m_said->toPlainText().contains(QStringLiteral("sealed first")));
        QVERIFY(m_said->toPlainText().startsWith(QStringLiteral("[weak] bob  :  old\n")));
    }

    void aSelectionInAFullBoxStays()
    {
        // With the box full, every new line pushes one out at the top: the
        // text the user selected to copy, and the place they read, stay.
        const QString filler = kPrefix + encodeToString(u"filler", u"Key").line;
        for (int i = 0; i < Solvane::kConversationLines; ++i)
            m_room->hear("bob",
                         i == 10 ? kPrefix + encodeToString(u"copy me", u"Key").line : filler);
        QVERIFY(QTest::qWaitFor(
            [&] { return m_said->document()->blockCount() == Solvane::kConversationLines + 1; },
            60000));
        const int start = m_said->document()->findBlockByNumber(10).position() + 8;
        QTextCursor selection = m_said->textCursor();
        selection.setPosition(start);
        selection.setPosition(start + 7, QTextCursor::KeepAnchor);
        m_said->setTextCursor(selection);
        QCOMPARE(m_said->textCursor().selectedText(), QStringLiteral("copy me"));
        m_said->verticalScrollBar()->setValue(8);
        for (int i = 0; i < 3; ++i)
            m_room->hear("bob", kPrefix + encodeToString(u"later", u"Key").line);
        QVERIFY(QTest::qWaitFor(
            [&] { return m_said->toPlainText().count(QStringLiteral("later")) == 3; }, 30000));
        QCOMPARE(m_said->textCursor().selectedText(), QStringLiteral("copy me"));
        QCOMPARE(m_said->verticalScrollBar()->value(), 5);
    }

    void aTextRefusedAfterWaitingForItsKeyStays()
    {
        BoxCatcher boxes;
        m_seal->trigger();
        m_room->refuseFrom = 0;
        m_send->setText(QStringLiteral("wait for me"));
        m_window->findChild<QPushButton*>(QStringLiteral("cmdSend"))->click();
        QVERIFY(m_send->text().isEmpty()); // free for the next line meanwhile
        QVERIFY(QTest::qWaitFor([&] { return boxes.boxes.size() == 1; }, 30000));
        QCOMPARE(m_send->text(), QStringLiteral("wait for me"));
        QCOMPARE(boxes.boxes[0].text, m_room->refusal);
    }

private:
    std::unique_ptr<ScratchDirectory> m_scratch;
    FakeRoom* m_room = nullptr;
    QPointer<Solvane> m_window;
    QAction* m_seal = nullptr;
    QPlainTextEdit* m_said = nullptr;
    QLineEdit* m_send = nullptr;
};

QTEST_MAIN(ChatWindowSealed)
#include "tst_chat_window_sealed.moc"
