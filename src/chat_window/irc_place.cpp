// SPDX-License-Identifier: GPL-3.0-or-later
#include "irc_place.h"

#include "irc_address.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

namespace svw {

namespace {

const QString kKeyMark = QStringLiteral("?key=");

quint16 usualPort(bool tls)
{
    return tls ? kIrcsDefaultPort : kIrcDefaultPort;
}

} // namespace

QString ircPlaceAddress(const IrcPlace& place, bool withNick)
{
    QString address = place.tls ? QStringLiteral("ircs://") : QStringLiteral("irc://");
    if (withNick && !place.nick.isEmpty())
        address += QString::fromUtf8(QUrl::toPercentEncoding(place.nick)) + QLatin1Char('@');
    address +=
        place.host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(place.host) : place.host;
    if (place.port != 0 && place.port != usualPort(place.tls))
        address += QLatin1Char(':') + QString::number(place.port);
    address += QLatin1Char('/') + place.channel;
    // Everything but letters and digits is encoded, so that a key holding
    // '#', '&', '%' or a space reads back the same.
    if (!place.channelKey.isEmpty())
        address += kKeyMark + QString::fromUtf8(QUrl::toPercentEncoding(place.channelKey));
    return address;
}

std::optional<IrcPlace> readIrcPlace(const QString& address, QString* error)
{
    const QString text = address.trimmed();
    QString base = text;
    IrcPlace place;
    if (const qsizetype mark = text.lastIndexOf(kKeyMark); mark >= 0) {
        base = text.left(mark);
        place.channelKey = QUrl::fromPercentEncoding(text.mid(mark + kKeyMark.size()).toUtf8());
    }
    // The nick stands in only where the address names none, which is read
    // from the address itself below.
    const std::optional<IrcAddress> parsed = parseIrcAddress(base, QStringLiteral("svw"), error);
    if (!parsed)
        return std::nullopt;
    place.tls = parsed->tls;
    place.host = parsed->host;
    place.port = parsed->port;
    place.channel = parsed->channel;
    place.nick = QUrl(base).userName(QUrl::FullyDecoded);
    return place;
}

QString ircMeetingText(const IrcPlace& place, const QString& networkName)
{
    const QString server =
        QStringLiteral("%1, port %2%3")
            .arg(place.host)
            .arg(place.port != 0 ? place.port : usualPort(place.tls))
            .arg(place.tls ? QStringLiteral(" with TLS") : QStringLiteral(" without TLS"));
    const QString where = networkName.isEmpty()
                              ? QStringLiteral("the server %1").arg(server)
                              : QStringLiteral("the network %1 (%2)").arg(networkName, server);
    // Before a channel is typed, the sentence still reads as one.
    const QString channel = place.channel.isEmpty()
                                ? QStringLiteral("the same channel")
                                : QStringLiteral("the channel %1").arg(place.channel);
    QString text = QStringLiteral("To meet you, the others choose %1 and %2").arg(where, channel);
    if (!place.channelKey.isEmpty())
        text += QStringLiteral(" with its key");
    return text + QStringLiteral(", each with a nick of their own.");
}

QList<IrcNetwork> ircNetworksFromJson(const QByteArray& json)
{
    QList<IrcNetwork> networks;
    const QJsonArray entries = QJsonDocument::fromJson(json).array();
    for (const QJsonValue entry : entries) {
        const QJsonObject object = entry.toObject();
        IrcNetwork network{object.value(QLatin1String("name")).toString(),
                           object.value(QLatin1String("host")).toString(),
                           quint16(object.value(QLatin1String("port")).toInt())};
        if (!network.name.isEmpty() && !network.host.isEmpty() && network.port != 0)
            networks.append(network);
    }
    return networks;
}

const QList<IrcNetwork>& knownIrcNetworks()
{
    static const QList<IrcNetwork> networks = [] {
        QFile file(QStringLiteral(":/svw/irc_networks.json"));
        return file.open(QIODevice::ReadOnly) ? ircNetworksFromJson(file.readAll())
                                              : QList<IrcNetwork>();
    }();
    return networks;
}

} // namespace svw
