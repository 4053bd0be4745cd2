// SPDX-License-Identifier: GPL-3.0-or-later
#include "room_memory.h"

#include <QDir>
#include <QSettings>
#include <QStandardPaths>

namespace svw {

namespace {

const QString kLast = QStringLiteral("rooms/last");
const QString kRecent = QStringLiteral("rooms/recent");

} // namespace

RoomMemory::RoomMemory(const QString& file) : m_file(file) {}

QString RoomMemory::defaultFile()
{
    // Qt's GenericConfigLocation is $XDG_CONFIG_HOME, else ~/.config.
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
        .filePath(QStringLiteral("svw/svw.conf"));
}

QString RoomMemory::lastRoom() const
{
    return QSettings(m_file, QSettings::IniFormat).value(kLast).toString();
}

QStringList RoomMemory::recentRooms() const
{
    return QSettings(m_file, QSettings::IniFormat).value(kRecent).toStringList();
}

void RoomMemory::remember(const QString& address)
{
    QStringList recent = recentRooms();
    recent.removeAll(address);
    recent.prepend(address);
    while (recent.size() > kRecentRooms)
        recent.removeLast();
    QSettings settings(m_file, QSettings::IniFormat);
    settings.setValue(kLast, address);
    settings.setValue(kRecent, recent);
    settings.sync();
}

StartRoom startRoom(const std::optional<QString>& environment, const QString& argument,
                    const RoomMemory& memory)
{
    using From = StartRoom::From;
    if (environment)
        return {*environment, true, From::Environment};
    if (!argument.isEmpty())
        return {argument, true, From::Argument};
    if (const QString last = memory.lastRoom(); !last.isEmpty())
        return {last, true, From::Memory};
    return {QString(), false, From::Default};
}

} // namespace svw
