// SPDX-License-Identifier: GPL-3.0-or-later
// Listening: the scan switch, which room lines are shown and how, the
// scratch files of a received line, and the conversation box's behaviour.

#include "ansi_code.h"
#include "chat_window_test_support.h"
#include "line_cipher.h"
#include "solvane.h"

#include <QComboBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScrollBar>
#include <QTest>
#include <QTextDocument>

using namespace svw;
using svw::testing::BoxCatcher;
using svw::testing::FakeRoom;
using svw::testing::ScratchDirectory;

namespace {

QString enciphered(const QString& text, const QString& key)
{
    const EncodeOutcome out = encodeToString(text, key);
    Q_ASSERT(!out.error);
    return out.line;
}

} // namespace

class ChatWindowListen : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_scratch = std::make_unique<ScratchDirectory>();
        m_room = new FakeRoom;
        m_window = new Solvane(m_room);
        m_pw = m_window->findChild<QLineEdit*>(QStringLiteral("pw"));
        m_pre = m_window->findChild<QComboBox*>(QStringLiteral("cbPre"));
        m_said = m_window->findChild<QPlainTextEdit*>(QStringLiteral("txtSaid"));
        m_pw->setText(QStringLiteral("Key"));
        listen();
    }
    void cleanup()
    {
        delete m_window.data();
        m_scratch.reset();
    }

    void scanSwitch()
    {
        QVERIFY(m_room->scanning);
        m_window->findChild<QAction*>(QStringLiteral("mnuStop"))->trigger();
        QVERIFY(!m_room->scanning);
        m_room->hear(QStringLiteral("bob"), QStringLiteral("-|?|-") + enciphered("hi", "Key"));
        QCOMPARE(m_said->toPlainText(), QString());
        m_window->findChild<QAction*>(QStringLiteral("mnuStop"))->trigger();
        QVERIFY(!m_room->scanning);
        listen();
        listen();
        QVERIFY(m_room->scanning);
    }

    void showsMatchingLine()
    {
        const QString plain = QString::fromUtf8("¡Meet at noon!");
        const QString cipher = enciphered(plain, "Key");
        m_room->hear(QStringLiteral("bob"), QStringLiteral("-|?|-") + cipher);
        QCOMPARE(m_said->toPlainText(), QStringLiteral("bob  :  ") + plain + '\n');
        QCOMPARE(m_scratch->bytes("Got"),
                 QByteArray("\"SVW Gotten\"\r\n") + toAnsiBytes(cipher) + "\r\n");
        QCOMPARE(m_scratch->bytes("message"),
                 QByteArray("\"SVW Message\"\r\n") + toAnsiBytes(plain));
        QVERIFY(!m_scratch->exists("temp"));

        // Lines are added in the order they come.
        m_room->hear(QStringLiteral("carol"),
                     QStringLiteral("-|?|-") + enciphered("second", "Key"));
        QTRY_COMPARE(m_said->toPlainText(),
                     QStringLiteral("bob  :  ") + plain + QStringLiteral("\ncarol  :  second\n"));
    }

    void ignoredLines_data()
    {
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<QString>("line");
        QTest::newRow("another group")
            << "-|?|-" << QStringLiteral("-=+=-") + enciphered("hi", "Key");
        QTest::newRow("ordinary talk") << "-|?|-"
                                       << "hello everybody";
        QTest::newRow("letter case")
            << "AbCdE" << QStringLiteral("abcde") + enciphered("hi", "Key");
        QTest::newRow("longer prefix")
            << "-|?|-x" << QStringLiteral("-|?|-x") + enciphered("hi", "Key");
        QTest::newRow("shorter prefix, longer line")
            << "ab" << QStringLiteral("ab") + enciphered("hi", "Key");
        QTest::newRow("empty line") << "-|?|-"
                                    << "";
        // Characters outside the basic plane are one character each, though
        // two UTF-16 units.
        const QString fire = QString::fromUtf8("\U0001F525");
        QTest::newRow("four wide characters of five")
            << fire.repeated(5) << fire.repeated(4) + enciphered("hi", "Key");
        QTest::newRow("short prefix of wide characters, longer line")
            << fire + fire + "a" << fire + fire + "a" + enciphered("hi", "Key");
    }

    void ignoredLines()
    {
        QFETCH(QString, prefix);
        QFETCH(QString, line);
        m_pre->setEditText(prefix);
        m_room->hear(QStringLiteral("bob"), line);
        QCOMPARE(m_said->toPlainText(), QString());
        QVERIFY(!m_scratch->exists("Got"));
        QVERIFY(!m_scratch->exists("message"));
    }

    void prefixOfWideCharacters()
    {
        // Five characters outside the basic plane make a whole prefix.
        const QString fire = QString::fromUtf8("\U0001F525");
        m_pre->setEditText(fire.repeated(5));
        m_room->hear(QStringLiteral("bob"), fire.repeated(5) + enciphered("hot", "Key"));
        QCOMPARE(m_said->toPlainText(), QStringLiteral("bob  :  hot\n"));
    }

    void nothingDeciphers_data()
    {
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("line");
        QTest::newRow("prefix alone") << "-|?|-"
                                      << "Key"
                                      << "-|?|-";
        // "ÿ" (255) is above every code that "A" enciphers letters to.
        QTest::newRow("wrong password at once")
            << "-|?|-" << QString::fromUtf8("ÿ") << QStringLiteral("-|?|-") + enciphered("hi", "A");
        QTest::newRow("empty password") << "-|?|-"
                                        << "" << QStringLiteral("-|?|-") + enciphered("hi", "Key");
        QTest::newRow("line equal to a short prefix") << "ab"
                                                      << "Key"
                                                      << "ab";
        QTest::newRow("empty prefix, empty line") << ""
                                                  << "Key"
                                                  << "";
    }

    void nothingDeciphers()
    {
        QFETCH(QString, prefix);
        QFETCH(QString, password);
        QFETCH(QString, line);
        m_pre->setEditText(prefix);
        m_pw->setText(password);
        BoxCatcher catcher;
        m_room->hear(QStringLiteral("bob"), line);
        QCOMPARE(m_said->toPlainText(), QStringLiteral("bob  :  \n"));
        QCOMPARE(m_scratch->bytes("message"), QByteArray("\"SVW Message\"\r\n"));
        QTest::qWait(20);
        QCOMPARE(catcher.boxes.size(), 0);
    }

    void wrongPassword()
    {
        // "Kez" agrees with "Key" in its first two characters, so those come
        // out right; the third comes out one code lower.
        const QString cipher = enciphered(QStringLiteral("abcabc"), "Key");
        m_pw->setText(QStringLiteral("Kez"));
        m_room->hear(QStringLiteral("bob"), QStringLiteral("-|?|-") + cipher);
        QString expected;
        for (qsizetype k = 0; k < cipher.size(); ++k) {
            const int d = *ansiCodeOf(cipher[k]) - *ansiCodeOf(QStringLiteral("Kez")[k % 3]);
            if (d < 0)
                break;
            expected.append(charOfAnsiCode(AnsiCode(d)));
        }
        QCOMPARE(expected, QStringLiteral("ab") + QChar(u'b') + QStringLiteral("ab") + QChar(u'b'));
        QCOMPARE(m_said->toPlainText(), QStringLiteral("bob  :  ") + expected + '\n');
    }

    void passwordAndPrefixReadAsEachLineComes()
    {
        m_room->hear(QStringLiteral("bob"), QStringLiteral("-|?|-") + enciphered("one", "Key"));
        m_pw->setText(QStringLiteral("New"));
        m_pre->setEditText(QStringLiteral("-=+=-"));
        m_room->hear(QStringLiteral("bob"), QStringLiteral("-|?|-") + enciphered("two", "New"));
        m_room->hear(QStringLiteral("bob"), QStringLiteral("-=+=-") + enciphered("three", "New"));
        QTRY_COMPARE(m_said->toPlainText(), QStringLiteral("bob  :  one\nbob  :  three\n"));
    }

    void controlCharacters()
    {
        // Code 0, a bell, a tab, a line feed, DEL and an unassigned code
        // never break the box, and a room line stays one line of it; a
        // carriage return ends the line, as the scratch file's read-back does.
        const QString plain = QStringLiteral("a") + QChar(0) + QChar(7) + "b\tc\nd" + QChar(0x7F) +
                              QChar(0x81) + "e\rhidden";
        m_room->hear(QStringLiteral("bob"), QStringLiteral("-|?|-") + enciphered(plain, "Key"));
        const QString shown = QStringLiteral("a") + QChar(0x2400) + QChar(0x2407) + "b\tc" +
                              QChar(0x240A) + "d" + QChar(0x2421) + QChar(0xFFFD) + "e";
        QCOMPARE(m_said->toPlainText(), QStringLiteral("bob  :  ") + shown + '\n');

        // The next line is a line of its own. (Lines heard one after another
        // may wait for the next turn of the event loop on a busy machine.)
        m_room->hear(QStringLiteral("carol"), QStringLiteral("-|?|-") + enciphered("ok", "Key"));
        QTRY_VERIFY(m_said->toPlainText().endsWith(QStringLiteral("e\ncarol  :  ok\n")));

        // Nor can a sender's name, which the room hands over as it is,
        // start a line of its own.
        m_room->hear(QStringLiteral("eve\nbob"), QStringLiteral("-|?|-") + enciphered("x", "Key"));
        QTRY_VERIFY(m_said->toPlainText().endsWith(QStringLiteral("eve") + QChar(0x240A) +
                                                   QStringLiteral("bob  :  x\n")));
        QCOMPARE(m_said->document()->blockCount() - 1, 3);
    }

    void scratchFilesFail()
    {
        // "message" cannot be written: lines are still shown, and the user
        // hears of it once until the files work again.
        QDir dir(m_scratch->path());
        QVERIFY(dir.mkdir(QStringLiteral("message")));
        BoxCatcher catcher;
        const QString line = QStringLiteral("-|?|-") + enciphered("still here", "Key");
        m_room->hear(QStringLiteral("bob"), line);
        m_room->hear(QStringLiteral("bob"), line);
        QTRY_COMPARE(catcher.boxes.size(), 1);
        QVERIFY(catcher.boxes[0].text.contains(QStringLiteral("\"message\"")));
        QTRY_COMPARE(m_said->toPlainText(),
                     QStringLiteral("bob  :  still here\nbob  :  still here\n"));
        QVERIFY(m_room->scanning);

        m_room->hear(QStringLiteral("bob"), line);
        QTest::qWait(30);
        QCOMPARE(catcher.boxes.size(), 1);

        // Working again: nothing said; failing once more: told again.
        QVERIFY(dir.rmdir(QStringLiteral("message")));
        m_room->hear(QStringLiteral("bob"), line);
        QVERIFY(dir.remove(QStringLiteral("message")));
        QVERIFY(dir.mkdir(QStringLiteral("message")));
        m_room->hear(QStringLiteral("bob"), line);
        QTRY_COMPARE(catcher.boxes.size(), 2);
        QTRY_COMPARE(m_said->toPlainText().count(QStringLiteral("still here")), 5);
    }

    void roomTroubleIsToldOnceUntilTheRoomWorks()
    {
        BoxCatcher catcher;
        const QString refused = QStringLiteral("#chan refused a line: moderated.");
        emit m_room->roomTrouble(refused);
        emit m_room->roomTrouble(refused);
        QTRY_COMPARE(catcher.boxes.size(), 1);
        QCOMPARE(catcher.boxes[0].caption, QStringLiteral("SVW"));
        QVERIFY(catcher.boxes[0].text.startsWith(refused));
        QTest::qWait(30);
        QCOMPARE(catcher.boxes.size(), 1);

        // Lines go on arriving while the box is up or after it.
        m_room->hear(QStringLiteral("bob"), QStringLiteral("-|?|-") + enciphered("hi", "Key"));
        QCOMPARE(m_said->toPlainText(), QStringLiteral("bob  :  hi\n"));

        // Another trouble is told; the same one again only once the room has
        // worked in between.
        emit m_room->roomTrouble(QStringLiteral("Out of reach."));
        QTRY_COMPARE(catcher.boxes.size(), 2);
        QVERIFY(catcher.boxes[1].text.startsWith(QStringLiteral("Out of reach.")));
        emit m_room->roomTrouble(QStringLiteral("Out of reach."));
        emit m_room->roomReady();
        emit m_room->roomTrouble(QStringLiteral("Out of reach."));
        QTRY_COMPARE(catcher.boxes.size(), 3);
        QTest::qWait(30);
        QCOMPARE(catcher.boxes.size(), 3);
    }

    void followsTheNewestLineUnlessScrolledUp()
    {
        m_window->show();
        const QString line = QStringLiteral("-|?|-") + enciphered("line", "Key");
        for (int i = 0; i < 60; ++i)
            m_room->hear(QStringLiteral("bob"), line);
        QTRY_COMPARE(m_said->document()->blockCount(), 61); // and the empty last one
        QScrollBar* bar = m_said->verticalScrollBar();
        QVERIFY(bar->maximum() > 0);
        QCOMPARE(bar->value(), bar->maximum());

        // A line heard once the slice of lines shown in one go is used up
        // waits for the next turn of the event loop: on a busy machine even
        // the next single line may, so each is waited for.
        bar->setValue(3);
        m_room->hear(QStringLiteral("bob"), line);
        QTRY_COMPARE(m_said->document()->blockCount(), 62);
        QCOMPARE(bar->value(), 3);

        bar->setValue(bar->maximum());
        const int before = bar->maximum();
        m_room->hear(QStringLiteral("bob"), line);
        QTRY_VERIFY(bar->maximum() > before);
        QCOMPARE(bar->value(), bar->maximum());
    }

    void floodIsShownInSlices()
    {
        // Thousands of lines reported at once: they are all shown, in order,
        // but not in one go; the event loop runs between slices of them.
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(0);
        // The box's lines, and the timer's ticks when lines were first and
        // last added.
        QTextDocument* document = m_said->document();
        auto shownLines = [document] {
            return document->blockCount() - 1;
        };
        int firstTicks = -1;
        int lastTicks = -1;
        connect(document, &QTextDocument::contentsChange, this, [&](int, int, int added) {
            if (added <= 0)
                return;
            if (firstTicks < 0)
                firstTicks = ticks;
            lastTicks = ticks;
        });

        const QString expected = hearFlood(kFloodLines);
        QVERIFY(shownLines() > 0);
        QVERIFY(shownLines() < kFloodLines);
        QTRY_COMPARE_WITH_TIMEOUT(shownLines(), kFloodLines, 60000);
        QCOMPARE(m_said->toPlainText(), expected);
        QVERIFY(lastTicks > firstTicks);

        // A line after the flood comes straight after it.
        m_room->hear(QStringLiteral("carol"), QStringLiteral("-|?|-") + enciphered("after", "Key"));
        QTRY_COMPARE(shownLines(), kFloodLines + 1);
        QVERIFY(m_said->toPlainText().endsWith(QStringLiteral("line 2999\ncarol  :  after\n")));
    }

    void waitingLinesKeepThePasswordTheyArrivedUnder()
    {
        // A flood still waiting when the user changes the password is
        // deciphered with the password that stood when each line arrived.
        QString expected = hearFlood(kFloodLines);
        QVERIFY(m_said->document()->blockCount() - 1 < kFloodLines);
        m_pw->setText(QStringLiteral("Other"));
        m_room->hear(QStringLiteral("carol"), QStringLiteral("-|?|-") + enciphered("new", "Other"));
        expected += QStringLiteral("carol  :  new\n");
        QTRY_COMPARE_WITH_TIMEOUT(m_said->document()->blockCount() - 1, kFloodLines + 1, 60000);
        QCOMPARE(m_said->toPlainText(), expected);
    }

    void playedBackLinesShowTheirTime()
    {
        // Late lines carry their time in front of the sender, with the date
        // when not today, also when they wait behind a flood; a line said
        // now shows as always.
        const QDateTime today(QDate::currentDate(), QTime(5, 38, 22));
        const QDateTime earlier(QDate::currentDate().addDays(-3), QTime(23, 5));
        m_room->hearLate(QStringLiteral("ann"), QStringLiteral("-|?|-") + enciphered("late", "Key"),
                         today);
        QString expected = QStringLiteral("[05:38] ann  :  late\n");
        QTRY_COMPARE(m_said->toPlainText(), expected);
        expected += hearFlood(500);
        m_room->hearLate(QStringLiteral("ann"), QStringLiteral("-|?|-") + enciphered("old", "Key"),
                         earlier);
        m_room->hear(QStringLiteral("bob"), QStringLiteral("-|?|-") + enciphered("now", "Key"));
        expected += QStringLiteral("[%1 23:05] ann  :  old\nbob  :  now\n")
                        .arg(earlier.date().toString(QStringLiteral("yyyy-MM-dd")));
        QTRY_COMPARE_WITH_TIMEOUT(m_said->toPlainText(), expected, 60000);
    }

    void selectionSurvivesNewLines()
    {
        m_room->hear(QStringLiteral("bob"), QStringLiteral("-|?|-") + enciphered("copy me", "Key"));
        QTextCursor selection = m_said->textCursor();
        selection.setPosition(8);
        selection.setPosition(15, QTextCursor::KeepAnchor);
        m_said->setTextCursor(selection);
        m_room->hear(QStringLiteral("bob"), QStringLiteral("-|?|-") + enciphered("more", "Key"));
        QTRY_COMPARE(m_said->toPlainText(), QStringLiteral("bob  :  copy me\nbob  :  more\n"));
        QCOMPARE(m_said->textCursor().selectedText(), QStringLiteral("copy me"));
    }

private:
    static constexpr int kFloodLines = 3000;

    // Bob says `lines` numbered lines at once; returns what the box shows
    // once they are all in.
    QString hearFlood(int lines)
    {
        QString expected;
        for (int i = 0; i < lines; ++i) {
            const QString text = QStringLiteral("line %1").arg(i);
            m_room->hear(QStringLiteral("bob"), QStringLiteral("-|?|-") + enciphered(text, "Key"));
            expected += QStringLiteral("bob  :  ") + text + '\n';
        }
        return expected;
    }

    void listen() { m_window->findChild<QAction*>(QStringLiteral("mnuDE"))->trigger(); }

    std::unique_ptr<ScratchDirectory> m_scratch;
    FakeRoom* m_room = nullptr;
    QPointer<Solvane> m_window;
    QLineEdit* m_pw = nullptr;
    QComboBox* m_pre = nullptr;
    QPlainTextEdit* m_said = nullptr;
};

QTEST_MAIN(ChatWindowListen)
#include "tst_chat_window_listen.moc"
