// SPDX-License-Identifier: GPL-3.0-or-later
// Sending a line: the checks, the room line, the scratch file, Enter in every
// box, the refusals, and long texts cut into room lines that fit.

#include "chat_window_test_support.h"
#include "solvane.h"

#include <QComboBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>

using namespace svw;
using svw::testing::BoxCatcher;
using svw::testing::FakeRoom;
using svw::testing::ScratchDirectory;

// The cipher lines below were worked out by hand from the Windows-1252 codes:
// each text code plus the code of the key character at the same place, the key
// starting again when used up; for instance "M" + "K" = 77 + 75 = 152, which is
// "˜" (U+02DC).

class ChatWindowSend : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_scratch = std::make_unique<ScratchDirectory>();
        m_room = new FakeRoom;
        m_window = new Solvane(m_room);
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        m_out = m_window->findChild<QLineEdit*>(QStringLiteral("txtSend"));
        m_pw = m_window->findChild<QLineEdit*>(QStringLiteral("pw"));
        m_pre = m_window->findChild<QComboBox*>(QStringLiteral("cbPre"));
        m_send = m_window->findChild<QPushButton*>(QStringLiteral("cmdSend"));
    }
    void cleanup()
    {
        delete m_window.data();
        m_scratch.reset();
    }

    void sendsPrefixAndCipher()
    {
        svw::testing::retype(m_pw, QStringLiteral("Key"));
        svw::testing::retype(m_out, QStringLiteral("Meet at noon, 3 o'clock!"));
        BoxCatcher catcher;
        QTest::mouseClick(m_send, Qt::LeftButton);

        const QString cipher =
            QStringLiteral("\u02DC\u00CA\u00DE\u00BF\u2026\u00DA\u00BF\u2026\u00E7\u00BA\u00D4"
                           "\u00E7w\u2026\u00ACk\u00D4\u00A0\u00AE\u00D1\u00E8\u00AE\u00D0\u0161");
        QCOMPARE(m_room->said, QStringList{QStringLiteral("-|?|-") + cipher});
        QCOMPARE(catcher.boxes.size(), 0);

        // The line went through "temp": its header record, then one byte a
        // character, no line end.
        QCOMPARE(m_scratch->bytes("temp"),
                 QByteArray("\"SVW Sent\"\r\n"
                            "\x98\xCA\xDE\xBF\x85\xDA\xBF\x85\xE7\xBA\xD4\xE7\x77\x85\xAC\x6B"
                            "\xD4\xA0\xAE\xD1\xE8\xAE\xD0\x9A"));
        QVERIFY(!m_scratch->exists("Got"));
        QVERIFY(!m_scratch->exists("message"));

        QCOMPARE(m_out->text(), QString());
        QCOMPARE(QApplication::focusWidget(), m_out);
    }

    void sameTextTwiceGivesTheSameLine()
    {
        m_pw->setText(QStringLiteral("pass"));
        m_out->setText(QStringLiteral("again"));
        QTest::mouseClick(m_send, Qt::LeftButton);
        m_out->setText(QStringLiteral("again"));
        QTest::mouseClick(m_send, Qt::LeftButton);
        const QString line = QStringLiteral("-|?|-\u00D1\u00C8\u00D4\u00DC\u00DE");
        QCOMPARE(m_room->said, (QStringList{line, line}));
    }

    void spacesAreText()
    {
        m_pw->setText(QStringLiteral("a"));
        m_out->setText(QStringLiteral("   "));
        QTest::mouseClick(m_send, Qt::LeftButton);
        QCOMPARE(m_room->said, QStringList{QStringLiteral("-|?|-") + QString(3, QChar(32 + 97))});
    }

    void upperHalfOfTheCodePage()
    {
        m_pw->setText(QStringLiteral("!"));
        m_out->setText(QString::fromUtf8("Ñ€ ok"));
        QTest::mouseClick(m_send, Qt::LeftButton);
        // 209 + 33, 128 + 33, 32 + 33, 111 + 33 (unassigned: a control) and
        // 107 + 33 = 140, "Œ".
        QCOMPARE(m_room->said, QStringList{QStringLiteral("-|?|-\u00F2\u00A1A\u0090\u0152")});
    }

    void prefixGoesOutAsTheBoxHoldsIt()
    {
        // Enter in the prefix box sends without leaving it: no check.
        m_pw->setText(QStringLiteral("k"));
        m_out->setText(QStringLiteral("x"));
        m_pre->setFocus(Qt::TabFocusReason);
        m_pre->setEditText(QStringLiteral("ab"));
        BoxCatcher catcher;
        QTest::keyClick(m_pre->lineEdit(), Qt::Key_Return);
        QCOMPARE(m_room->said, QStringList{QStringLiteral("ab\u00E3")});
        QCOMPARE(m_pre->count(), 4); // Enter never adds to the list
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("message");
        QTest::newRow("no text") << ""
                                 << "key"
                                 << "You must have text to send";
        QTest::newRow("no text and no password") << ""
                                                 << ""
                                                 << "You must have text to send";
        QTest::newRow("no password") << "hello"
                                     << ""
                                     << "You must have a Password";
    }

    void refusals()
    {
        QFETCH(QString, text);
        QFETCH(QString, password);
        QFETCH(QString, message);
        m_out->setText(text);
        m_pw->setText(password);
        BoxCatcher catcher;
        QTest::mouseClick(m_send, Qt::LeftButton);
        QCOMPARE(catcher.boxes.size(), 1);
        QCOMPARE(catcher.boxes[0].caption, QStringLiteral("SVW"));
        QCOMPARE(catcher.boxes[0].text, message);
        QCOMPARE(catcher.boxes[0].icon, QMessageBox::NoIcon);
        QCOMPARE(catcher.boxes[0].buttons, 1);
        QVERIFY(m_room->said.isEmpty());
        QVERIFY(!m_scratch->exists("temp"));
        QCOMPARE(m_out->text(), text);
    }

    void enterInEveryBoxSends_data()
    {
        QTest::addColumn<QString>("box");
        QTest::addColumn<int>("key");
        QTest::newRow("outgoing text") << "txtSend" << int(Qt::Key_Return);
        QTest::newRow("outgoing text, keypad") << "txtSend" << int(Qt::Key_Enter);
        QTest::newRow("password") << "pw" << int(Qt::Key_Return);
        QTest::newRow("prefix") << "cbPre" << int(Qt::Key_Return);
        QTest::newRow("conversation") << "txtSaid" << int(Qt::Key_Return);
        QTest::newRow("send button") << "cmdSend" << int(Qt::Key_Return);
    }

    void enterInEveryBoxSends()
    {
        QFETCH(QString, box);
        QFETCH(int, key);
        m_pw->setText(QStringLiteral("key"));
        m_out->setText(QStringLiteral("hi"));
        auto* target = m_window->findChild<QWidget*>(box);
        target->setFocus(Qt::TabFocusReason);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
        QCOMPARE(m_room->said, QStringList{QStringLiteral("-|?|-\u00D3\u00CE")});
        QCOMPARE(QApplication::focusWidget(), m_out);
    }

    void cipherCannotTakeTheText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("named");
        QTest::newRow("outside the code page")
            << QString::fromUtf8("hi 日本") << "key" << QString::fromUtf8("日");
        QTest::newRow("sum above 255")
            << QString::fromUtf8("abcÿ") << "key" << QString::fromUtf8("ÿ");
        QTest::newRow("password outside the code page")
            << "abc" << QString::fromUtf8("κλειδί") << QString::fromUtf8("κ");
    }

    void cipherCannotTakeTheText()
    {
        QFETCH(QString, text);
        QFETCH(QString, password);
        QFETCH(QString, named);
        m_out->setText(text);
        m_pw->setText(password);
        BoxCatcher catcher;
        QTest::mouseClick(m_send, Qt::LeftButton);
        QCOMPARE(catcher.boxes.size(), 1);
        QCOMPARE(catcher.boxes[0].caption, QStringLiteral("SVW"));
        QVERIFY2(catcher.boxes[0].text.contains(named), qPrintable(catcher.boxes[0].text));
        QVERIFY(m_room->said.isEmpty());
        QVERIFY(!m_scratch->exists("temp"));
        QCOMPARE(m_out->text(), text);
    }

    void scratchFileFails()
    {
        // A directory where "temp" should be: the file cannot be written,
        // whoever runs the test.
        QVERIFY(QDir(m_scratch->path()).mkdir(QStringLiteral("temp")));
        m_out->setText(QStringLiteral("hello"));
        m_pw->setText(QStringLiteral("key"));
        BoxCatcher catcher;
        QTest::mouseClick(m_send, Qt::LeftButton);
        QCOMPARE(catcher.boxes.size(), 1);
        QVERIFY2(catcher.boxes[0].text.contains(QStringLiteral("\"temp\"")),
                 qPrintable(catcher.boxes[0].text));
        QVERIFY(m_room->said.isEmpty());
        QCOMPARE(m_out->text(), QStringLiteral("hello"));
    }

    void roomRefuses()
    {
        m_room->refuseFrom = 0;
        m_room->refusal = QStringLiteral("No room: the local room could not be reached.");
        m_out->setText(QStringLiteral("hello"));
        m_pw->setText(QStringLiteral("key"));
        BoxCatcher catcher;
        QTest::mouseClick(m_send, Qt::LeftButton);
        QCOMPARE(catcher.boxes.size(), 1);
        QCOMPARE(catcher.boxes[0].caption, QStringLiteral("SVW"));
        QCOMPARE(catcher.boxes[0].text, m_room->refusal);
        QCOMPARE(m_out->text(), QStringLiteral("hello"));
    }

    void longTextIsCutIntoLinesThatFit()
    {
        // Room lines of at most 5 + 4 characters.
        m_room->lineLimit = 9;
        m_pw->setText(QStringLiteral("abc"));
        m_out->setText(QStringLiteral("0123456789"));
        BoxCatcher catcher;
        QTest::mouseClick(m_send, Qt::LeftButton);
        QCOMPARE(catcher.boxes.size(), 0);
        // Every piece starts the key again.
        const QString p = QStringLiteral("-|?|-");
        QCOMPARE(m_room->said, (QStringList{p + QStringLiteral("\u2018\u201C\u2022\u201D"),
                                            p + QStringLiteral("\u2022\u2014\u2122\u02DC"),
                                            p + QStringLiteral("\u2122\u203A")}));
        QCOMPARE(m_scratch->bytes("temp"), QByteArray("\"SVW Sent\"\r\n\x99\x9B"));
        QCOMPARE(m_out->text(), QString());
    }

    void prefixLeavesNoRoom()
    {
        m_room->lineLimit = 5;
        m_pw->setText(QStringLiteral("abc"));
        m_out->setText(QStringLiteral("hello"));
        BoxCatcher catcher;
        QTest::mouseClick(m_send, Qt::LeftButton);
        QCOMPARE(catcher.boxes.size(), 1);
        QVERIFY2(catcher.boxes[0].text.contains(QStringLiteral("-|?|-")),
                 qPrintable(catcher.boxes[0].text));
        QVERIFY(m_room->said.isEmpty());
        QVERIFY(!m_scratch->exists("temp"));
        QCOMPARE(m_out->text(), QStringLiteral("hello"));
    }

    void roomRefusesPartWay()
    {
        // The first piece is said, the second refused: what was not said
        // stays in the box.
        m_room->lineLimit = 9;
        m_room->refuseFrom = 1;
        m_pw->setText(QStringLiteral("abc"));
        m_out->setText(QStringLiteral("0123456789"));
        BoxCatcher catcher;
        QTest::mouseClick(m_send, Qt::LeftButton);
        QCOMPARE(m_room->said.size(), 1);
        QCOMPARE(catcher.boxes.size(), 1);
        QVERIFY(catcher.boxes[0].text.startsWith(m_room->refusal));
        QCOMPARE(m_out->text(), QStringLiteral("456789"));
    }

private:
    std::unique_ptr<ScratchDirectory> m_scratch;
    FakeRoom* m_room = nullptr;
    QPointer<Solvane> m_window;
    QLineEdit* m_out = nullptr;
    QLineEdit* m_pw = nullptr;
    QComboBox* m_pre = nullptr;
    QPushButton* m_send = nullptr;
};

QTEST_MAIN(ChatWindowSend)
#include "tst_chat_window_send.moc"
