// SPDX-License-Identifier: GPL-3.0-or-later
#include "window_announcer.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QTimer>
#include <QWidget>

#include <algorithm>

namespace svw {

namespace {

const char kAnnouncementProperty[] = "svwAnnouncement";
const QString kAnnouncementName = QStringLiteral("announcement");

// Long enough for a screen reader to have read the newest ones; older ones
// go, so a long conversation does not pile them up.
constexpr std::size_t kKeptAnnouncements = 8;

// Each announcement cuts short the one being spoken; a room that floods the
// window would otherwise keep a screen reader from finishing any.
constexpr qint64 kAnnouncementGapMs = 250;

QAccessibleInterface* announcementFactory(const QString& className, QObject* object)
{
    if (className == QLatin1String("QWidget") && object->property(kAnnouncementProperty).toBool())
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Notification);
    return nullptr;
}

} // namespace

QString announcementText(const QStringList& texts)
{
    if (texts.size() <= kAnnouncedTexts)
        return texts.join(QLatin1Char('\n'));
    const qsizetype more = texts.size() - kAnnouncedTexts;
    return texts.mid(0, kAnnouncedTexts).join(QLatin1Char('\n')) + QLatin1Char('\n') +
           (more == 1 ? QStringLiteral("and 1 more line")
                      : QStringLiteral("and %1 more lines").arg(more));
}

WindowAnnouncer::WindowAnnouncer(QWidget* host) : QObject(host), m_host(host)
{
    static const bool installed = [] {
        QAccessible::installFactory(announcementFactory);
        return true;
    }();
    Q_UNUSED(installed);
}

void WindowAnnouncer::announce(const QString& text)
{
    if (text.isEmpty())
        return;
    m_pending.append(text);
    if (m_scheduled)
        return;
    m_scheduled = true;
    const qint64 wait =
        m_lastSaid.isValid() ? std::max<qint64>(0, kAnnouncementGapMs - m_lastSaid.elapsed()) : 0;
    QTimer::singleShot(wait, this, &WindowAnnouncer::sayPending);
}

QList<QWidget*> WindowAnnouncer::announcements() const
{
    QList<QWidget*> items;
    for (const QPointer<QWidget>& item : m_items) {
        if (item)
            items.append(item);
    }
    return items;
}

void WindowAnnouncer::sayPending()
{
    m_scheduled = false;
    m_lastSaid.start();
    const QString text = announcementText(std::exchange(m_pending, {}));
    if (text.isEmpty())
        return;

    // Never shown: the eye has the conversation box. The property is set
    // before anything asks for the widget's accessible interface.
    auto* item = new QWidget;
    item->setProperty(kAnnouncementProperty, true);
    item->setObjectName(kAnnouncementName);
    item->setAccessibleName(text);
    item->setParent(m_host);
    item->hide();
    m_items.emplace_back(item);
    while (m_items.size() > kKeptAnnouncements) {
        delete m_items.front().data();
        m_items.pop_front();
    }

    // What a screen reader hears of a notification: that it appeared.
    QAccessibleEvent shown(item, QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&shown);
    emit announced(text);
}

} // namespace svw
