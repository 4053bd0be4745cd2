// SPDX-License-Identifier: GPL-3.0-or-later
// The chat window as a person works it: where the focus starts, a quick click
// on Send, a selection while lines arrive, a prefix and captions that can be
// read, and the link from the keyboard.

#include "chat_window_test_support.h"
#include "shown_text.h"
#include "solvane.h"

#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRawFont>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTest>
#include <QTextLayout>

using namespace svw;
using svw::testing::BoxCatcher;
using svw::testing::FakeRoom;
using svw::testing::ScratchDirectory;

class ChatWindowUse : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_scratch = std::make_unique<ScratchDirectory>();
        m_room = new FakeRoom;
        m_window = new Solvane(m_room);
        m_pre = m_window->findChild<QComboBox*>(QStringLiteral("cbPre"));
        m_pw = m_window->findChild<QLineEdit*>(QStringLiteral("pw"));
        m_out = m_window->findChild<QLineEdit*>(QStringLiteral("txtSend"));
        m_said = m_window->findChild<QPlainTextEdit*>(QStringLiteral("txtSaid"));
        m_send = m_window->findChild<QPushButton*>(QStringLiteral("cmdSend"));
    }
    void cleanup()
    {
        delete m_window.data();
        m_scratch.reset();
    }

    void firstFocusIsThePasswordBox()
    {
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        QCOMPARE(QApplication::focusWidget(), m_pw);

        // What is typed first is the password, and Enter asks for text to
        // send; nothing is cleared.
        m_room->StartRoomScan();
        m_room->hear(QStringLiteral("bob"), QStringLiteral("-|?|-"));
        BoxCatcher catcher;
        QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("key"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QCOMPARE(m_pw->text(), QStringLiteral("key"));
        QTRY_COMPARE(catcher.boxes.size(), 1);
        QCOMPARE(catcher.boxes[0].text, QStringLiteral("You must have text to send"));
        QCOMPARE(m_said->toPlainText(), QStringLiteral("bob  :  \n"));
    }

    void quickClickOnSendChecksThePrefixFirst()
    {
        // A press and its release that arrive together, as a touchpad tap
        // gives them: the release is handled before anything queued by the
        // press has run.
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        m_pw->setText(QStringLiteral("key"));
        m_out->setText(QStringLiteral("hello"));
        svw::testing::retype(m_pre->lineEdit(), QStringLiteral("abcd"));

        BoxCatcher catcher;
        QTest::mousePress(m_send, Qt::LeftButton);
        QTest::mouseRelease(m_send, Qt::LeftButton);
        QTRY_COMPARE(catcher.boxes.size(), 1);
        QCOMPARE(catcher.boxes[0].text,
                 QStringLiteral("Your Prefix must have exactly 5 Characters, please reformat"));
        QVERIFY(m_room->said.isEmpty());
        QCOMPARE(m_out->text(), QStringLiteral("hello"));
        QCOMPARE(m_pre->currentText(), QStringLiteral("-|?|-"));
        QTest::qWait(50);
        QCOMPARE(catcher.boxes.size(), 1); // told once

        // A good prefix left the same way sends at once.
        svw::testing::retype(m_pre->lineEdit(), QStringLiteral("-=+=-"));
        QTest::mousePress(m_send, Qt::LeftButton);
        QTest::mouseRelease(m_send, Qt::LeftButton);
        QCOMPARE(m_room->said.size(), 1);
        QVERIFY(m_room->said[0].startsWith(QStringLiteral("-=+=-")));
        QTest::qWait(50);
        QCOMPARE(catcher.boxes.size(), 1);
    }

    void selectionStaysWhileLinesArrive_data()
    {
        QTest::addColumn<bool>("backwards");
        QTest::newRow("selected down to the end") << false;
        QTest::newRow("selected up from the end") << true;
    }
    void selectionStaysWhileLinesArrive()
    {
        QFETCH(bool, backwards);
        m_room->StartRoomScan();
        m_room->hear(QStringLiteral("bob"), QStringLiteral("-|?|-"));
        m_room->hear(QStringLiteral("carol"), QStringLiteral("-|?|-"));
        // Heard lines are shown a slice at a time: the selection is made once
        // both are on show, or the second would arrive into it.
        QTRY_VERIFY(m_said->toPlainText().endsWith(QStringLiteral("carol  :  \n")));
        const QString before = m_said->toPlainText();

        QTextCursor all(m_said->document());
        if (backwards) {
            all.movePosition(QTextCursor::End);
            all.movePosition(QTextCursor::Start, QTextCursor::KeepAnchor);
        } else {
            all.select(QTextCursor::Document);
        }
        m_said->setTextCursor(all);
        m_room->hear(QStringLiteral("dave"), QStringLiteral("-|?|-"));
        QTRY_COMPARE(m_said->toPlainText(), before + QStringLiteral("dave  :  \n"));

        m_said->copy();
        QCOMPARE(QGuiApplication::clipboard()->text(), before);
    }

    void everyPrefixShowsWhole_data()
    {
        QTest::addColumn<QString>("prefix");
        for (const QString& prefix : Solvane::prefixes())
            QTest::newRow(qPrintable(prefix)) << prefix;
        QTest::newRow("typed letters") << "qwert";
        QTest::newRow("typed capitals") << "ABCDE";
    }
    void everyPrefixShowsWhole()
    {
        QFETCH(QString, prefix);
        m_pre->setEditText(prefix);
        QLineEdit* edit = m_pre->lineEdit();
        edit->setCursorPosition(prefix.size());
        const QRect box = m_pre->geometry();
        QCOMPARE(box, QRect(224, 200, 57, 21)); // still the designed place and size

        // The edit field lies inside the box, and the text with its caret at
        // the end fits the field: nothing is scrolled out of sight.
        const QRect field = edit->geometry();
        QVERIFY(QRect(QPoint(0, 0), box.size()).contains(field));
        const QMargins margins = edit->textMargins();
        const int room = field.width() - margins.left() - margins.right() - 2 * 2 /* edit's own */;
        const int needed = QFontMetrics(edit->font()).horizontalAdvance(prefix) + 1 /* caret */;
        QVERIFY2(
            needed <= room,
            qPrintable(
                QStringLiteral("%1 needs %2, field has %3").arg(prefix).arg(needed).arg(room)));
        // Still a text that can be read.
        QVERIFY(edit->font().pointSizeF() >= 6.0 || edit->font().pixelSize() >= 8);
    }

    void captionsInOneFontTouchingNoBox()
    {
        auto* password = m_window->findChild<QLabel*>(QStringLiteral("Label2"));
        auto* prefix = m_window->findChild<QLabel*>(QStringLiteral("Label1"));
        QCOMPARE(password->font(), prefix->font());
        QCOMPARE(password->font().family(), QApplication::font(password).family());

        struct Caption
        {
            QLabel* label;
            QString whole;
            QWidget* box;
        };
        for (const Caption& c : {Caption{password, QStringLiteral("Password:"), m_pw},
                                 Caption{prefix, QStringLiteral("Prefix"), m_pre}}) {
            const QString shown = c.label->text();
            const int width = QFontMetrics(c.label->font()).horizontalAdvance(shown);
            // Where the text is drawn inside the label.
            const QRect text = QStyle::alignedRect(Qt::LeftToRight, c.label->alignment(),
                                                   QSize(width, 1), c.label->contentsRect());
            const int left = c.label->x() + text.left();
            const int right = c.label->x() + text.right();
            QVERIFY2(left >= 0, qPrintable(shown));
            QVERIFY2(right < c.box->x() - 1, qPrintable(shown)); // a pixel at least between
            // Whole, or cut with an ellipsis and whole in the tool tip.
            if (shown != c.whole) {
                QVERIFY2(shown.endsWith(QChar(0x2026)), qPrintable(shown));
                QCOMPARE(c.label->toolTip(), c.whole);
            }
        }
    }

    void controlCharactersShowAsSymbols()
    {
        // Every stand-in for a control character has a glyph in the fonts
        // the program depends on, in the conversation box's font or one that
        // the box falls back on: none shows as an empty box.
        QString controls;
        for (char16_t code = 0; code < 0x20; ++code) {
            if (code != u'\t')
                controls.append(QChar(code));
        }
        controls.append(QChar(0x7F));
        controls.append(QChar(0x81)); // one of the codes Windows-1252 leaves out
        // Separators and a direction override, which would break or reorder
        // the line.
        for (char16_t code : {u'\u2028', u'\u2029', u'\u202E'})
            controls.append(QChar(code));
        const QString shown = shownText(controls);
        QCOMPARE(shown.size(), controls.size());

        QTextLayout layout(shown, m_said->font());
        layout.beginLayout();
        layout.createLine();
        layout.endLayout();
        qsizetype glyphs = 0;
        for (const QGlyphRun& run : layout.glyphRuns()) {
            for (quint32 glyph : run.glyphIndexes()) {
                QVERIFY2(glyph != 0, qPrintable(run.rawFont().familyName()));
                ++glyphs;
            }
        }
        QCOMPARE(glyphs, shown.size());
    }

    void linkFromTheKeyboard()
    {
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        auto* web = m_window->findChild<QLabel*>(QStringLiteral("Web"));
        int opened = 0;
        m_window->setWebWindowOpener([&](const QString&, QWidget*) { ++opened; });
        m_window->setBeeper([] {});

        // Tab from Send reaches the link, as the window's tab order has it.
        m_send->setFocus(Qt::TabFocusReason);
        QTest::keyClick(m_send, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), web);
        QVERIFY(web->font().underline()); // the focused link shows it

        m_pw->setText(QStringLiteral("key"));
        m_out->setText(QStringLiteral("stays"));
        QTest::keyClick(web, Qt::Key_Return);
        QTest::keyClick(web, Qt::Key_Space);
        QCOMPARE(opened, 2);
        QVERIFY(m_room->said.isEmpty()); // Enter on the link is not Send
        QCOMPARE(m_out->text(), QStringLiteral("stays"));

        QTest::keyClick(web, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("cmdClear"));
        QVERIFY(!web->font().underline());
    }

private:
    std::unique_ptr<ScratchDirectory> m_scratch;
    FakeRoom* m_room = nullptr;
    QPointer<Solvane> m_window;
    QComboBox* m_pre = nullptr;
    QLineEdit* m_pw = nullptr;
    QLineEdit* m_out = nullptr;
    QPlainTextEdit* m_said = nullptr;
    QPushButton* m_send = nullptr;
};

QTEST_MAIN(ChatWindowUse)
#include "tst_chat_window_use.moc"
