// SPDX-License-Identifier: GPL-3.0-or-later
#include "room_memory.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QStandardPaths>

namespace svw {

namespace {

const QString kLast = QStringLiteral("rooms/last");
const QString kRecent = QStringLiteral("rooms/recent");
// One JSON object, by address: an address is no valid key of its own.
const QString kSecretsNeeded = QStringLiteral("rooms/secretsNeeded");

QJsonObject secretsNeededOf(const QString& file)
{
    return QJsonDocument::fromJson(
               QSettings(file, QSettings::IniFormat).value(kSecretsNeeded).toString().toUtf8())
        .object();
}

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

void RoomMemory::rememberSecretsNeeded(const QString& address, const SecretsNeeded& needed)
{
    QJsonObject all = secretsNeededOf(m_file);
    if (needed.isEmpty()) {
        all.remove(address);
    } else {
        all.insert(address,
                   QJsonObject{{QLatin1String("fields"), QJsonArray::fromStringList(needed.fields)},
                               {QLatin1String("saslAccount"), needed.saslAccount},
                               {QLatin1String("clientCertificate"), needed.clientCertificate},
                               {QLatin1String("server"), needed.server},
                               {QLatin1String("nick"), needed.nick}});
    }
    QSettings settings(m_file, QSettings::IniFormat);
    settings.setValue(kSecretsNeeded,
                      QString::fromUtf8(QJsonDocument(all).toJson(QJsonDocument::Compact)));
    settings.sync();
}

RoomMemory::SecretsNeeded RoomMemory::secretsNeeded(const QString& address) const
{
    const QJsonObject entry = secretsNeededOf(m_file).value(address).toObject();
    SecretsNeeded needed;
    const QJsonArray fields = entry.value(QLatin1String("fields")).toArray();
    for (const QJsonValue field : fields)
        needed.fields.append(field.toString());
    needed.saslAccount = entry.value(QLatin1String("saslAccount")).toString();
    needed.clientCertificate = entry.value(QLatin1String("clientCertificate")).toString();
    needed.server = entry.value(QLatin1String("server")).toString();
    needed.nick = entry.value(QLatin1String("nick")).toString();
    return needed;
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
