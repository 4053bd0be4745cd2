// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace svw {

// The rooms the user entered, kept in the user's configuration
// ($XDG_CONFIG_HOME/svw/svw.conf): the last one, entered again at the next
// start, and a short list of recent ones. Addresses only: secrets never go
// into this file.
class RoomMemory
{
public:
    explicit RoomMemory(const QString& file = defaultFile());

    static QString defaultFile();
    static constexpr qsizetype kRecentRooms = 8;

    QString lastRoom() const;
    QStringList recentRooms() const; // most recent first, each once

    // Makes `address` the last room and the first of the recent ones.
    void remember(const QString& address);

    // Which secrets a room needs, by the names of their fields in
    // RoomCredentials ("serverPassword", "saslPassword"), and the account
    // to identify as: not the secrets, so that they can be asked for when
    // no keyring keeps them. Besides, what else of the user's own the room
    // is entered with and its address does not hold (no secrets either).
    struct SecretsNeeded
    {
        QStringList fields;
        QString saslAccount;
        QString clientCertificate; // its path: no secret, and no keyring needed to keep it
        QString server;            // an XMPP room's "host[:port]"
        QString nick;              // an XMPP room's nick
        bool isEmpty() const
        {
            return fields.isEmpty() && saslAccount.isEmpty() && clientCertificate.isEmpty() &&
                   server.isEmpty() && nick.isEmpty();
        }
    };
    void rememberSecretsNeeded(const QString& address, const SecretsNeeded& needed);
    SecretsNeeded secretsNeeded(const QString& address) const;

    QString file() const { return m_file; }

private:
    QString m_file;
};

// The room the program starts in, and whether anybody chose it.
struct StartRoom
{
    QString address;
    bool chosen = false; // false: the local room, because nothing else was chosen
    enum class From { Environment, Argument, Memory, Default } from = From::Default;
};

// SVW_ROOM when it is set (`environment`), else the room given as the
// program's argument, else the remembered room, else the local room.
StartRoom startRoom(const std::optional<QString>& environment, const QString& argument,
                    const RoomMemory& memory);

} // namespace svw
