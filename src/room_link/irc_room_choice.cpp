// SPDX-License-Identifier: GPL-3.0-or-later
#include "irc_room_choice.h"

#include "irc_names.h"
#include "irc_room.h"

#include <QFile>
#include <QFileInfo>
#include <QSslCertificate>
#include <QSslKey>
#include <QUrl>

namespace svw {

using namespace Qt::StringLiterals;

namespace {

// The account to identify as: what the room dialog gave, else, for those who
// start the program from a shell, SVW_IRC_ACCOUNT with
// SVW_IRC_ACCOUNT_PASSWORD (SASL PLAIN) and SVW_IRC_CERT (EXTERNAL).
bool applyAccount(const RoomCredentials& credentials, IrcRoomSettings* settings, QString* error)
{
    const bool fromDialog = !credentials.saslAccount.isEmpty() ||
                            !credentials.saslPassword.isEmpty() ||
                            !credentials.clientCertificate.isEmpty();
    settings->saslAccount =
        fromDialog ? credentials.saslAccount : qEnvironmentVariable("SVW_IRC_ACCOUNT");
    settings->saslPassword =
        fromDialog ? credentials.saslPassword : qEnvironmentVariable("SVW_IRC_ACCOUNT_PASSWORD");
    const QString certificateFile =
        fromDialog ? credentials.clientCertificate : qEnvironmentVariable("SVW_IRC_CERT");
    const QString source = fromDialog ? u"The account"_s : u"SVW_IRC_ACCOUNT"_s;

    if (certificateFile.isEmpty()) {
        if (settings->saslAccount.isEmpty() != settings->saslPassword.isEmpty()) {
            if (error) {
                *error = settings->saslAccount.isEmpty()
                             ? u"A password for SASL is given without an account: name the "
                               u"account too (SVW_IRC_ACCOUNT)."_s
                             : u"%1 \"%2\" is given without its password "
                               u"(SVW_IRC_ACCOUNT_PASSWORD), or a client certificate "
                               u"(SVW_IRC_CERT)."_s.arg(source, settings->saslAccount);
            }
            return false;
        }
        return true;
    }
    const QString fileSource =
        fromDialog ? u"The client certificate file"_s : u"The file named by SVW_IRC_CERT"_s;
    if (!settings->address.tls) {
        if (error) {
            *error = u"A client certificate is shown only over TLS: use an ircs:// address "
                     u"with it."_s;
        }
        return false;
    }
    QFile file(certificateFile);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = u"%1, \"%2\", cannot be read."_s.arg(fileSource, certificateFile);
        return false;
    }
    const QByteArray pem = file.readAll();
    const QList<QSslCertificate> certificates = QSslCertificate::fromData(pem, QSsl::Pem);
    QSslKey key(pem, QSsl::Rsa, QSsl::Pem);
    if (key.isNull())
        key = QSslKey(pem, QSsl::Ec, QSsl::Pem);
    if (certificates.isEmpty() || key.isNull()) {
        if (error) {
            *error =
                u"%1, \"%2\", must hold a certificate and its private key (RSA or EC, "
                u"not protected by a passphrase) in PEM form."_s.arg(fileSource, certificateFile);
        }
        return false;
    }
    settings->clientCertificate = certificates.constFirst();
    settings->clientKey = key;
    return true;
}

} // namespace

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
                         chosenNick, nickFromName(chosenNick, kIrcMinNickLength));
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
    if (!applyAccount(credentials, &settings, error))
        return nullptr;

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
