// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the chat window tests share: a room that records what is said into
// it, a catcher for message boxes, and a private working directory for the
// scratch files.

#include "chat_room_control.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace svw::testing {

// A room on nothing: records every line said into it and reports lines only
// while its scan is on, as a real room does.
class FakeRoom : public ChatRoomControl
{
public:
    bool SendRoomLine(const QString& line) override
    {
        if (refuseFrom >= 0 && said.size() >= refuseFrom) {
            setErrorString(refusal);
            return false;
        }
        said.append(line);
        return true;
    }
    void StartRoomScan() override { scanning = true; }
    void StopRoomScan() override { scanning = false; }
    bool fitsOneLine(const QString& line) const override
    {
        return lineLimit < 0 || line.size() <= lineLimit;
    }
    QString roomDescription() const override { return description; }

    // A line said in the room by `sender`.
    void hear(const QString& sender, const QString& text)
    {
        if (scanning)
            emit RoomLine(sender, text);
    }
    // A line played back late, said at `when`.
    void hearLate(const QString& sender, const QString& text, const QDateTime& when)
    {
        setLineSaidAt(when);
        hear(sender, text);
        setLineSaidAt({});
    }

    QStringList said;
    bool scanning = false;
    qsizetype lineLimit = -1;  // longest room line, in characters; -1: no limit
    qsizetype refuseFrom = -1; // refuse every line from this many lines said on
    QString refusal = QStringLiteral("the room is closed");
    QString description; // where the room is and who we are there
};

struct SeenBox
{
    QString caption;
    QString text;
    QMessageBox::Icon icon;
    QList<QAbstractButton*>::size_type buttons;
};

// Records and closes (with OK) every message box that shows while it lives,
// modal or not. Arm it before the action that may show one.
class BoxCatcher : public QObject
{
public:
    BoxCatcher()
    {
        connect(&m_poll, &QTimer::timeout, this, &BoxCatcher::check);
        m_poll.start(2);
    }

    QList<SeenBox> boxes;

private:
    void check()
    {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            if (!box || !box->isVisible() || box->property("caught").toBool())
                continue;
            box->setProperty("caught", true);
            boxes.append({box->windowTitle(), box->text(), box->icon(), box->buttons().size()});
            box->button(QMessageBox::Ok)->click();
        }
    }

    QTimer m_poll;
};

// Makes a fresh temporary directory the working directory for the life of
// the object, so the scratch files of one test never meet another's.
class ScratchDirectory
{
public:
    ScratchDirectory() : m_previous(QDir::currentPath())
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(QDir::setCurrent(m_dir.path()));
    }
    ~ScratchDirectory() { QDir::setCurrent(m_previous); }

    QString path() const { return m_dir.path(); }

    bool exists(const QString& name) const { return QFile::exists(m_dir.filePath(name)); }

    QByteArray bytes(const QString& name) const
    {
        QFile file(m_dir.filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    QString m_previous;
    QTemporaryDir m_dir;
};

// Types `text` where the focus is, as key presses; works for characters that
// QTest::keyClicks refuses (anything outside ASCII).
inline void typeText(QWidget* target, const QString& text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        // A character outside the basic plane is one key press.
        const qsizetype length = text[i].isHighSurrogate() ? 2 : 1;
        QTest::sendKeyEvent(QTest::Click, target, Qt::Key_unknown, text.mid(i, length),
                            Qt::NoModifier);
        i += length - 1;
    }
}

// Replaces the text of a box by typing, as a user would.
inline void retype(QLineEdit* edit, const QString& text)
{
    edit->setFocus(Qt::OtherFocusReason);
    edit->selectAll();
    if (text.isEmpty())
        QTest::keyClick(edit, Qt::Key_Backspace);
    else
        typeText(edit, text);
}

} // namespace svw::testing
