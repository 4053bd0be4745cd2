// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include <deque>

class QWidget;

namespace svw {

// What one announcement says for the texts of one turn of the event loop: a
// flood is not read out whole, the newest lines wait in the box.
QString announcementText(const QStringList& texts);

// How many texts an announcement reads out whole.
inline constexpr qsizetype kAnnouncedTexts = 3;

// Tells a screen reader what the window shows without moving the focus: each
// line of the conversation, each note, the room's trouble. A screen reader
// does not read text added to a box the user is not in, and this Qt has no
// announcement of its own; what screen readers do present, wherever the
// user is, is a notification that appears. Each announcement is such an
// object, hidden from the eye, under `host`, named by its text. The texts
// given in one turn of the event loop make one announcement, so a burst of
// lines is not cut off line by line; while lines pour in, announcements come
// at most a few times a second, each with what arrived meanwhile.
class WindowAnnouncer : public QObject
{
    Q_OBJECT

public:
    explicit WindowAnnouncer(QWidget* host);

    void announce(const QString& text);

    // The announcements still in the tree, oldest first; a screen reader
    // reads each one's name after it appeared, so a newer one does not
    // replace an older one's text.
    QList<QWidget*> announcements() const;

signals:
    void announced(const QString& text);

private:
    void sayPending();

    QWidget* m_host;
    QStringList m_pending;
    bool m_scheduled = false;
    QElapsedTimer m_lastSaid;
    std::deque<QPointer<QWidget>> m_items;
};

} // namespace svw
