// SPDX-License-Identifier: GPL-3.0-or-later
#include "irc_room_choice.h"

#include "irc_names.h"
#include "irc_room.h"

#include <QFileInfo>
#include <QSslCertificate>

namespace svw {

using namespace Qt::StringLiterals;

std::unique_ptr<ChatRoomControl> createIrcRoom(const QString& choice, const QString& nick,
                                               QString* error)
{
    // A nick the user chose must be valid as it stands; one taken from the
    // login name is made valid.
    const QString chosenNick = qEnvironmentVariable("SVW_NICK").trimmed();
    const QString fallbackNick =
        !chosenNick.isEmpty() && nick == chosenNick ? nick : nickFromName(nick);
    std::optional<IrcAddress> address = parseIrcAddress(choice, fallbackNick, error);
    if (!address)
        return nullptr;

    IrcRoomSettings settings;
    settings.address = *address;

    const QString caFile = qEnvironmentVariable("SVW_IRC_CAFILE");
    if (!caFile.isEmpty()) {
        if (!QFileInfo(caFile).isReadable()) {
            if (error)
                *error =
                    u"The certificate file \"%1\" named by SVW_IRC_CAFILE cannot be read."_s.arg(
                        caFile);
            return nullptr;
        }
        settings.extraCaCertificates = QSslCertificate::fromPath(caFile, QSsl::Pem);
        if (settings.extraCaCertificates.isEmpty())
            settings.extraCaCertificates = QSslCertificate::fromPath(caFile, QSsl::Der);
        if (settings.extraCaCertificates.isEmpty()) {
            if (error) {
                *error = u"The file \"%1\" named by SVW_IRC_CAFILE holds no certificate in PEM "
                         u"or DER form."_s.arg(caFile);
            }
            return nullptr;
        }
    }
    return std::make_unique<IrcRoom>(settings);
}

} // namespace svw
