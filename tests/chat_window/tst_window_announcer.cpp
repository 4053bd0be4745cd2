// SPDX-License-Identifier: GPL-3.0-or-later
// What the chat window tells screen readers without moving the focus: the
// announcements it makes, what they hold and how long they stay. Whether a
// screen reader speaks them is tst_chat_window_speech's matter.

#include "chat_window_test_support.h"
#include "line_cipher.h"
#include "solvane.h"
#include "window_announcer.h"

#include <QAccessible>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>

using namespace svw;
using svw::testing::FakeRoom;
using svw::testing::ScratchDirectory;

namespace {

QString enciphered(const QString& text)
{
    const EncodeOutcome out = encodeToString(text, QStringLiteral("Key"));
    Q_ASSERT(!out.error);
    return QStringLiteral("-|?|-") + out.line;
}

QString announcedName(QWidget* item)
{
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(item);
    return face ? face->text(QAccessible::Name) : QStringLiteral("<no interface>");
}

} // namespace

class WindowAnnouncements : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_scratch = std::make_unique<ScratchDirectory>();
        m_room = new FakeRoom;
        m_window = new Solvane(m_room);
        m_window->findChild<QLineEdit*>(QStringLiteral("pw"))->setText(QStringLiteral("Key"));
        m_window->findChild<QAction*>(QStringLiteral("mnuDE"))->trigger();
        m_announcer = m_window->findChild<WindowAnnouncer*>();
        QVERIFY(m_announcer);
        // "Listening ..." is said first; the tests start after it.
        QTRY_COMPARE(m_announcer->announcements().size(), 1);
    }
    void cleanup()
    {
        delete m_window.data();
        m_scratch.reset();
    }

    void aFloodIsNotReadWhole_data()
    {
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QString>("said");
        QTest::newRow("one") << QStringList{"ann  :  hi"} << "ann  :  hi";
        QTest::newRow("as many as are read") << QStringList{"a", "b", "c"} << "a\nb\nc";
        QTest::newRow("one more") << QStringList{"a", "b", "c", "d"} << "a\nb\nc\nand 1 more line";
        QTest::newRow("more") << QStringList{"a", "b", "c", "d", "e", "f"}
                              << "a\nb\nc\nand 3 more lines";
    }
    void aFloodIsNotReadWhole()
    {
        QFETCH(QStringList, texts);
        QFETCH(QString, said);
        QCOMPARE(announcementText(texts), said);
    }

    void linesOfOneTurnAreOneNotification()
    {
        QSignalSpy announced(m_announcer, &WindowAnnouncer::announced);
        m_room->hear(QStringLiteral("bob"), enciphered(QStringLiteral("one")));
        m_room->hear(QStringLiteral("carol"), enciphered(QStringLiteral("two")));
        QTRY_COMPARE(announced.size(), 1);
        QTest::qWait(0);
        QCOMPARE(announced.size(), 1);
        QCOMPARE(announced.at(0).at(0).toString(), QStringLiteral("bob  :  one\ncarol  :  two"));

        const QList<QWidget*> items = m_announcer->announcements();
        QCOMPARE(items.size(), 2);
        QWidget* item = items.last();
        // A notification a screen reader finds in the window, never seen.
        QCOMPARE(QAccessible::queryAccessibleInterface(item)->role(), QAccessible::Notification);
        QCOMPARE(announcedName(item), QStringLiteral("bob  :  one\ncarol  :  two"));
        QVERIFY(m_window->isAncestorOf(item));
        QVERIFY(!item->isVisible());
        QVERIFY(!(item->focusPolicy() & Qt::TabFocus));
    }

    void eachAnnouncementKeepsItsTextUntilItGoes()
    {
        // A screen reader reads a notification's name after it appeared: a
        // later one must not take its text.
        for (int i = 1; i <= 10; ++i) {
            m_room->hear(QStringLiteral("bob"), enciphered(QString::number(i)));
            QTRY_COMPARE(announcedName(m_announcer->announcements().constLast()),
                         QStringLiteral("bob  :  %1").arg(i));
        }
        const QList<QWidget*> kept = m_announcer->announcements();
        QCOMPARE(kept.size(), 8);
        for (int i = 0; i < kept.size(); ++i)
            QCOMPARE(announcedName(kept[i]), QStringLiteral("bob  :  %1").arg(3 + i));
        QCOMPARE(m_window->findChildren<QWidget*>(QStringLiteral("announcement")).size(), 8);
    }

    void notesTroubleAndSwitchesAreAnnounced()
    {
        QSignalSpy announced(m_announcer, &WindowAnnouncer::announced);
        const auto next = [&] {
            return announced.wait(5000) ? announced.takeFirst().at(0).toString() : QString();
        };
        emit m_room->roomNotice(QStringLiteral("NickServ: you are now identified"));
        QCOMPARE(next(), QStringLiteral("* NickServ: you are now identified"));

        emit m_room->roomTrouble(QStringLiteral("#grove is out of reach."));
        QCOMPARE(next(), QStringLiteral("#grove is out of reach.\n\nThis is not reported again "
                                        "until the room works."));
        // Newer trouble in the same box is told too.
        emit m_room->roomTrouble(QStringLiteral("#grove is still out of reach."));
        QVERIFY(next().startsWith(QStringLiteral("#grove is still out of reach.")));

        m_window->findChild<QAction*>(QStringLiteral("mnuSeal"))->trigger();
        QCOMPARE(next(), QStringLiteral("Sealing is on: lines are sealed"));
        m_window->findChild<QAction*>(QStringLiteral("mnuStop"))->trigger();
        QCOMPARE(next(), QStringLiteral("Not listening"));
    }

private:
    std::unique_ptr<ScratchDirectory> m_scratch;
    FakeRoom* m_room = nullptr;
    QPointer<Solvane> m_window;
    WindowAnnouncer* m_announcer = nullptr;
};

QTEST_MAIN(WindowAnnouncements)
#include "tst_window_announcer.moc"
