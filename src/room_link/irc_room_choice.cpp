// SPDX-License-Identifier: GPL-3.0-or-later
#include "irc_room_choice.h"

#include "irc_names.h"
#include "irc_room.h"

#include <QFileInfo>
#include <QSslCertificate>
#include <QUrl>

namespace svw {

using namespace Qt::StringLiterals;

std::unique_ptr<ChatRoomControl> createIrcRoom(const QString& choice, const QString& nick,
                                               const RoomCredentials& credentials, QString* error)
{
    // A nick the user chose must be valid as it stands; one taken from the
    // login name is made valid.
    const QString chosenNick = qEnvironmentVariable("SVW_NICK").trimmed();
    const bool nickIsChosen = !chosenNick.isEmpty() && nick == chosenNick;
    const QString fallbackNick = nickIsChosen ? nick : nickFromName(nick);
    // A nick in the address wins over SVW_NICK; without one, a wrong
    // SVW_NICK is what the user must mend, so the message names it.
    if (nickIsChosen && !isValidIrcNick(chosenNick) &&
        QUrl(choice).userName(QUrl::FullyDecoded).isEmpty()) {
        if (error) {
            *error = u"SVW_NICK is \"%1\", which IRC does not take as a nick. A nick begins "
                     u"with a letter or one of []\\`_^{|}, holds only letters, digits, those "
                     u"characters and '-', and is at most 64 characters long (many servers "
                     u"take only 9). Set SVW_NICK to a valid nick, such as \"%2\", or put a "
                     u"nick in the address (irc://nick@host/#channel)."_s.arg(
                         chosenNick, nickFromName(chosenNick));
        }
        return nullptr;
    }
    std::optional<IrcAddress> address = parseIrcAddress(choice, fallbackNick, error);
    if (!address)
        return nullptr;

    IrcRoomSettings settings;
    settings.address = *address;
    if (!credentials.serverPassword.isEmpty())
        settings.address.password = credentials.serverPassword;

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
