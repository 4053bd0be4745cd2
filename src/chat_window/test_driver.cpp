// SPDX-License-Identifier: GPL-3.0-or-later
#include "test_driver.h"

#include "solvane.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QSocketNotifier>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

namespace svw::test_driver {

namespace {

void report(const QByteArray& line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

QByteArray encoded(const QString& text)
{
    return text.toUtf8().toPercentEncoding();
}

QString decoded(const QByteArray& field)
{
    return QString::fromUtf8(QByteArray::fromPercentEncoding(field));
}

class BoxReporter : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (auto* ask = qobject_cast<QInputDialog*>(watched); ask && event->type() == QEvent::Show)
            answer(ask);
        auto* box = qobject_cast<QMessageBox*>(watched);
        if (box && event->type() == QEvent::Show) {
            report("box " + encoded(box->windowTitle()) + ' ' + encoded(box->text()));
            QPointer<QMessageBox> guard(box);
            QTimer::singleShot(0, box, [guard] {
                if (!guard)
                    return;
                if (QAbstractButton* ok = guard->button(QMessageBox::Ok))
                    ok->click();
                else
                    guard->close();
            });
        }
        return false;
    }

private:
    static void answer(QInputDialog* ask);
};

// A question the program asks (a password) is answered with
// SVW_TEST_ANSWER, or declined when that is not set.
void BoxReporter::answer(QInputDialog* ask)
{
    report("ask " + encoded(ask->labelText()));
    QPointer<QInputDialog> guard(ask);
    QTimer::singleShot(0, ask, [guard] {
        if (!guard)
            return;
        if (qEnvironmentVariableIsSet("SVW_TEST_ANSWER")) {
            guard->setTextValue(qEnvironmentVariable("SVW_TEST_ANSWER"));
            guard->accept();
        } else {
            guard->reject();
        }
    });
}

class Driver : public QObject
{
public:
    // Owned by the application, not the window, so that it outlives a
    // window that a command closes.
    explicit Driver(Solvane* window)
        : QObject(qApp), m_window(window), m_stdin(0, QSocketNotifier::Read, this)
    {
        auto* said = window->findChild<QPlainTextEdit*>(QStringLiteral("txtSaid"));
        QTextDocument* document = said->document();
        connect(document, &QTextDocument::contentsChange, this,
                [document](int position, int, int added) {
                    if (added > 0) {
                        QTextCursor range(document);
                        range.setPosition(position);
                        range.setPosition(position + added, QTextCursor::KeepAnchor);
                        QString text = range.selectedText();
                        text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
                        report("said " + encoded(text));
                    }
                });
        connect(said, &QPlainTextEdit::textChanged, this, [this, document] {
            if (document->isEmpty() && !m_wasEmpty)
                report("cleared");
            m_wasEmpty = document->isEmpty();
        });
        connect(&m_stdin, &QSocketNotifier::activated, this, &Driver::readCommands);
        window->activateWindow();
        report("ready");
    }

private:
    void readCommands()
    {
        char chunk[4096];
        const ssize_t got = ::read(0, chunk, sizeof chunk);
        if (got <= 0) {
            m_stdin.setEnabled(false);
            return;
        }
        m_pending.append(chunk, got);
        runPending();
    }

    // Commands run one after the other: one that waits (a message box, the
    // window becoming active) does not start the next inside it; lines that
    // arrive meanwhile are kept and run after it. A click is the exception:
    // what it opens (a dialog) runs an event loop of its own until it
    // closes, and the commands that follow work that dialog, so they run in
    // that loop.
    void runPending()
    {
        if (m_running)
            return;
        // While a click is being handled, the commands after it are for the
        // dialog it opens, once that shows (handling it may run event loops
        // of its own before).
        if (m_clicking && !QApplication::activeModalWidget()) {
            QTimer::singleShot(10, this, &Driver::runPending);
            return;
        }
        m_running = true;
        qsizetype end;
        while (m_window && (end = m_pending.indexOf('\n')) >= 0) {
            const QByteArray line = m_pending.left(end);
            m_pending.remove(0, end + 1);
            ensureActive();
            run(line.trimmed());
            if (m_click) {
                QPointer<QAbstractButton> button = std::exchange(m_click, nullptr);
                m_running = false;
                QTimer::singleShot(0, this, [this, button] {
                    // The commands already read go on inside what the click
                    // opens, or right after it when it opens nothing.
                    QTimer::singleShot(0, this, &Driver::runPending);
                    m_clicking = true;
                    if (button)
                        button->click();
                    m_clicking = false;
                    runPending();
                });
                return;
            }
            // What the command set going (a check queued by a change of
            // focus, a line to the room) happens before the next one, as
            // between a user's key presses.
            QCoreApplication::processEvents();
        }
        m_running = false;
        if (!m_window)
            m_stdin.setEnabled(false);
    }

    // A dialog the window opened is the one that takes the keys while it
    // is open.
    void ensureActive()
    {
        if (!m_window)
            return;
        QWidget* target = QApplication::activeModalWidget();
        if (!target)
            target = m_window;
        if (target->isActiveWindow())
            return;
        target->activateWindow();
        QElapsedTimer waited;
        waited.start();
        while (target && !target->isActiveWindow() && !waited.hasExpired(2000))
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }

    QWidget* control(const QByteArray& name) const
    {
        return m_window->findChild<QWidget*>(QString::fromLatin1(name));
    }

    // The widget inside a box that holds the typed text.
    static QLineEdit* editOf(QWidget* box)
    {
        if (auto* combo = qobject_cast<QComboBox*>(box))
            return combo->lineEdit();
        if (auto* spin = qobject_cast<QAbstractSpinBox*>(box))
            return spin->findChild<QLineEdit*>();
        return qobject_cast<QLineEdit*>(box);
    }

    // Picks the entry `text` of a list or the page `text` of a tab box (its
    // caption without the & of its mnemonic), as a click on it would.
    bool choose(QWidget* control, const QString& text)
    {
        if (auto* combo = qobject_cast<QComboBox*>(control)) {
            const int index = combo->findText(text);
            if (index < 0)
                return false;
            combo->setCurrentIndex(index);
            emit combo->activated(index);
            return true;
        }
        if (auto* tabs = qobject_cast<QTabWidget*>(control)) {
            for (int i = 0; i < tabs->count(); ++i) {
                if (tabs->tabText(i).remove(QLatin1Char('&')) == text) {
                    tabs->setCurrentIndex(i);
                    return true;
                }
            }
        }
        return false;
    }

    void press(QWidget* target, int key, const QString& text = {})
    {
        QKeyEvent down(QEvent::KeyPress, key, Qt::NoModifier, text);
        QKeyEvent up(QEvent::KeyRelease, key, Qt::NoModifier, text);
        QCoreApplication::sendEvent(target, &down);
        if (target)
            QCoreApplication::sendEvent(target, &up);
    }

    QWidget* focused() const
    {
        QWidget* widget = QApplication::focusWidget();
        return widget ? widget : m_window->focusWidget();
    }

    void setFocusTo(QWidget* widget)
    {
        widget->setFocus(Qt::TabFocusReason);
        QCoreApplication::processEvents();
    }

    void run(const QByteArray& line)
    {
        const QList<QByteArray> fields = line.split(' ');
        const QByteArray& command = fields.value(0);
        const QByteArray argument = fields.value(1);
        const QString text = decoded(fields.value(2));

        if (command == "set") {
            QWidget* box = control(argument);
            QLineEdit* edit = editOf(box);
            if (!edit)
                return report("error no box " + argument);
            setFocusTo(box);
            edit->selectAll();
            if (text.isEmpty() && !edit->text().isEmpty())
                press(focused(), Qt::Key_Backspace);
            for (qsizetype i = 0; i < text.size(); ++i) {
                // A character outside the basic plane is typed as one key.
                const qsizetype length = text[i].isHighSurrogate() ? 2 : 1;
                press(focused(), Qt::Key_unknown, text.mid(i, length));
                i += length - 1;
            }
        } else if (command == "focus") {
            if (QWidget* widget = control(argument))
                setFocusTo(widget);
        } else if (command == "key") {
            static const QHash<QByteArray, int> keys{{"Return", Qt::Key_Return},
                                                     {"Enter", Qt::Key_Enter},
                                                     {"Tab", Qt::Key_Tab},
                                                     {"Backtab", Qt::Key_Backtab}};
            if (!keys.contains(argument))
                return report("error no key " + argument);
            press(focused() ? focused() : m_window.data(), keys.value(argument));
        } else if (command == "click") {
            // Pressed once this command is done (see runPending).
            if (auto* button = qobject_cast<QAbstractButton*>(control(argument)))
                m_click = button;
        } else if (command == "choose") {
            QWidget* widget = control(argument);
            if (!widget || !choose(widget, text))
                return report("error cannot choose " + argument);
        } else if (command == "menu") {
            if (auto* item = m_window->findChild<QAction*>(QString::fromLatin1(argument)))
                item->trigger();
        } else if (command == "close") {
            m_window->close();
        } else if (command == "focused") {
            QWidget* widget = focused();
            // The prefix box holds the focus through its line edit.
            if (widget && qobject_cast<QComboBox*>(widget->parentWidget()))
                widget = widget->parentWidget();
            report("focused " + (widget ? widget->objectName().toLatin1() : QByteArray("-")));
        } else if (command == "text") {
            QString shown;
            if (auto* label = qobject_cast<QLabel*>(control(argument)))
                shown = label->text();
            else if (QLineEdit* edit = editOf(control(argument)))
                shown = edit->text();
            report("text " + argument + ' ' + encoded(shown));
        } else if (command == "sync") {
            report("ok " + argument);
        } else if (!command.isEmpty()) {
            report("error unknown command " + command);
        }
    }

    QPointer<Solvane> m_window;
    QSocketNotifier m_stdin;
    QByteArray m_pending;
    bool m_running = false;
    bool m_clicking = false; // a click is being handled
    QPointer<QAbstractButton> m_click;
    bool m_wasEmpty = true;
};

} // namespace

bool requested()
{
    const QByteArray value = qgetenv("SVW_TEST_DRIVER");
    return !value.isEmpty() && value != "0";
}

void reportMessageBoxes(QApplication* app)
{
    app->installEventFilter(new BoxReporter(app));
}

void drive(Solvane* window)
{
    new Driver(window);
}

} // namespace svw::test_driver
