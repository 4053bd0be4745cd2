// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QString>

#include <optional>

namespace svw {

// An IRC channel as the room dialog holds it: where it is and who to be
// there, and never a password. The address written from it is what the
// program shows, copies and remembers.
struct IrcPlace
{
    bool tls = true;
    QString host;
    quint16 port = 0; // 0: the scheme's usual port
    QString channel;
    QString channelKey; // the channel's key (+k); empty: none
    QString nick;       // empty: the user's default nick
};

// irc[s]://[nick@]host[:port]/#channel[?key=KEY]: the port only when it is
// not the scheme's usual one, the key percent-encoded. `withNick` false
// gives the invitation a friend uses with a nick of their own.
QString ircPlaceAddress(const IrcPlace& place, bool withNick = true);

// Reads an address in that form (a server password in it is dropped: the
// dialog keeps passwords apart). Nothing, with `error` a sentence for the
// user, when it is not an IRC address one can enter.
std::optional<IrcPlace> readIrcPlace(const QString& address, QString* error);

// What the others must choose to meet the user there, in words.
QString ircMeetingText(const IrcPlace& place, const QString& networkName);

// A well-known public network: its name and the server to reach it over TLS.
struct IrcNetwork
{
    QString name;
    QString host;
    quint16 port = 0;
};

// The networks of the list shipped with the program, in its order. `json`
// is an array of {"name", "host", "port"}; entries missing a field are left
// out.
QList<IrcNetwork> ircNetworksFromJson(const QByteArray& json);
const QList<IrcNetwork>& knownIrcNetworks();

} // namespace svw
