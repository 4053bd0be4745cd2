// SPDX-License-Identifier: GPL-3.0-or-later
// What a screen reader says of the chat window while the user types: Orca
// itself, on this test's own accessibility bus, and what its debug log says
// it receives and speaks. Run under a private D-Bus session and X display
// (see CMakeLists.txt).

#include "chat_window_test_support.h"
#include "line_cipher.h"
#include "solvane.h"

#include <QAccessible>
#include <QDeadlineTimer>
#include <QLineEdit>
#include <QMenuBar>
#include <QPointer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace svw;
using svw::testing::FakeRoom;
using svw::testing::ScratchDirectory;

namespace {

class StandingRoom : public FakeRoom
{
public:
    void stand(RoomState state) { setRoomState(state); }
};

QString enciphered(const QString& text, const QString& key)
{
    const EncodeOutcome out = encodeToString(text, key);
    Q_ASSERT(!out.error);
    return out.line;
}

constexpr int kOrcaPatienceMs = 20000;

// Orca's debug log, read as it grows. Checks look only at what was logged
// since the last mark, so an earlier line never answers for a later event.
class OrcaLog
{
public:
    explicit OrcaLog(QString path) : m_path(std::move(path)) {}

    void mark()
    {
        refresh();
        m_from = m_text.size();
    }

    // Waits, for a bounded time, for a line since the mark that holds every
    // fragment.
    bool awaitLine(const QStringList& fragments)
    {
        QDeadlineTimer patience(kOrcaPatienceMs);
        while (!sawLine(fragments)) {
            if (patience.hasExpired())
                return false;
            QTest::qWait(20);
        }
        return true;
    }

    // Waits for Orca to speak a text beginning with `start`.
    bool awaitSpeech(const QString& start)
    {
        return awaitLine({QStringLiteral("SPEECH OUTPUT: '") + start});
    }

    QString tail()
    {
        refresh();
        return m_text.right(3000);
    }

private:
    bool sawLine(const QStringList& fragments)
    {
        refresh();
        const QStringView fresh = QStringView(m_text).mid(m_from);
        for (const QStringView line : fresh.split(QLatin1Char('\n'))) {
            if (std::all_of(fragments.begin(), fragments.end(),
                            [&](const QString& f) { return line.contains(f); }))
                return true;
        }
        return false;
    }

    void refresh()
    {
        QFile file(m_path);
        if (!file.open(QIODevice::ReadOnly) || !file.seek(m_read))
            return;
        const QByteArray grown = file.readAll();
        // Only whole lines: the last one may still be half written.
        const qsizetype end = grown.lastIndexOf('\n') + 1;
        m_text += QString::fromUtf8(grown.left(end));
        m_read += end;
    }

    QString m_path;
    qint64 m_read = 0;
    QString m_text;
    qsizetype m_from = 0;
};

} // namespace

class ChatWindowSpeech : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The test's own session and display, or nothing here is private.
        QVERIFY2(qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS"),
                 "run under dbus-run-session");
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        QVERIFY(m_home.isValid());

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
            env.insert(QString::fromLatin1(name), m_home.filePath(QString::fromLatin1(name)));
        // Orca turns the desktop's accessibility setting on: in memory only.
        env.insert(QStringLiteral("GSETTINGS_BACKEND"), QStringLiteral("memory"));
        m_orca.setProcessEnvironment(env);
        m_orca.setProcessChannelMode(QProcess::MergedChannels);
        m_log = std::make_unique<OrcaLog>(m_home.filePath(QStringLiteral("orca.log")));
        m_orca.start(QStringLiteral(SVW_SYSTEM_PYTHON),
                     {QStringLiteral(SVW_ORCA_LAUNCHER),
                      m_home.filePath(QStringLiteral("orca.log")),
                      m_home.filePath(QStringLiteral("orca-settings"))});
        QVERIFY2(m_orca.waitForStarted(), qPrintable(m_orca.errorString()));
        QVERIFY2(m_log->awaitLine({QStringLiteral("ORCA: Starting ATSPI registry")}),
                 qPrintable(QStringLiteral("Orca did not start: ") +
                            QString::fromLocal8Bit(m_orca.readAll()) + m_log->tail()));

        m_scratch = std::make_unique<ScratchDirectory>();
        m_room = new StandingRoom;
        m_window = new Solvane(m_room);
        m_send = m_window->findChild<QLineEdit*>(QStringLiteral("txtSend"));
        m_window->findChild<QLineEdit*>(QStringLiteral("pw"))->setText(QStringLiteral("Key"));
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        m_send->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), m_send);
        // Orca follows the user into the box: it hears this program.
        QVERIFY2(m_log->awaitSpeech(QStringLiteral("Text to send")), qPrintable(m_log->tail()));
    }

    void cleanupTestCase()
    {
        delete m_window.data();
        m_scratch.reset();
        if (m_orca.state() != QProcess::NotRunning) {
            m_orca.terminate();
            if (!m_orca.waitForFinished(10000)) {
                m_orca.kill();
                m_orca.waitForFinished();
            }
        }
    }

    void listeningIsAState()
    {
        m_log->mark();
        m_window->findChild<QAction*>(QStringLiteral("mnuDE"))->trigger();
        QVERIFY2(
            m_log->awaitLine({QStringLiteral("object:state-changed:checked for [radio button | "
                                             "Listen for Decrypt]"),
                              QStringLiteral("(1, 0, ")}),
            qPrintable(m_log->tail()));
        QVERIFY2(
            m_log->awaitLine(
                {QStringLiteral("object:state-changed:checked for [radio button | Stop Listening]"),
                 QStringLiteral("(0, 0, ")}),
            qPrintable(m_log->tail()));
    }

    void arrivingLinesAreSpoken()
    {
        QVERIFY(m_room->scanning);
        m_log->mark();
        m_room->hear(QStringLiteral("bob"),
                     QStringLiteral("-|?|-") +
                         enciphered(QStringLiteral("the kettle is on"), QStringLiteral("Key")));
        QVERIFY2(m_log->awaitSpeech(QStringLiteral("notification bob  :  the kettle")),
                 qPrintable(m_log->tail()));
        // Where the user types, Orca would not have read the box on its own.
        QCOMPARE(QApplication::focusWidget(), m_send);

        // What the room tells besides lines shows as a note, and is heard.
        m_log->mark();
        emit m_room->roomNotice(QStringLiteral("NickServ: you are now identified"));
        QVERIFY2(
            m_log->awaitSpeech(QStringLiteral("notification * NickServ: you are now identified")),
            qPrintable(m_log->tail()));
    }

    void sealSaysItsState()
    {
        QAction* seal = m_window->findChild<QAction*>(QStringLiteral("mnuSeal"));
        for (const bool on : {true, false}) {
            m_log->mark();
            seal->trigger();
            QCOMPARE(seal->isChecked(), on);
            QVERIFY2(m_log->awaitLine(
                         {QStringLiteral("object:state-changed:checked for [check box | Seal]"),
                          on ? QStringLiteral("(1, 0, ") : QStringLiteral("(0, 0, ")}),
                     qPrintable(m_log->tail()));
            QVERIFY2(m_log->awaitSpeech(on ? QStringLiteral("notification Sealing is on")
                                           : QStringLiteral("notification Sealing is off")),
                     qPrintable(m_log->tail()));
        }
    }

    void outOfReachBoxIsSpoken()
    {
        m_log->mark();
        m_room->stand(RoomState::OutOfReach);
        emit m_room->roomTrouble(
            QStringLiteral("#grove on irc.example.net has been out of reach for 20 s."));
        QVERIFY2(m_log->awaitSpeech(QStringLiteral(
                     "notification #grove on irc.example.net has been out of reach for 20 s.")),
                 qPrintable(m_log->tail()));
        // Heard, and still not in the way of the user's typing.
        QCOMPARE(QApplication::focusWidget(), m_send);
        QCOMPARE(QApplication::activeWindow(), m_window.data());
    }

private:
    QTemporaryDir m_home;
    QProcess m_orca;
    std::unique_ptr<OrcaLog> m_log;
    std::unique_ptr<ScratchDirectory> m_scratch;
    StandingRoom* m_room = nullptr;
    QPointer<Solvane> m_window;
    QLineEdit* m_send = nullptr;
};

QTEST_MAIN(ChatWindowSpeech)
#include "tst_chat_window_speech.moc"
