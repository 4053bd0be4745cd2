// SPDX-License-Identifier: GPL-3.0-or-later
#include "xmpp_address.h"

#include <QUrl>

using namespace Qt::StringLiterals;

namespace svw {

QString readXmppRoomJid(const QString& jid, QString* why)
{
    const qsizetype at = jid.indexOf(u'@');
    if (at <= 0 || at == jid.size() - 1 || jid.indexOf(u'@', at + 1) >= 0) {
        *why = u"it names no room (\"room@server\")"_s;
        return {};
    }
    if (jid.contains(u'/')) {
        *why = u"a room's address has no \"/\" part"_s;
        return {};
    }
    for (const QChar c : jid) {
        if (c.isSpace() || c < u' ' || c == u'"' || c == u'&' || c == u'\'' || c == u'<' ||
            c == u'>' || c == u':') {
            *why = u"\"%1\" is not allowed in a room's address"_s.arg(c);
            return {};
        }
    }
    return jid.toLower();
}

bool isXmppRoomChoice(const QString& choice)
{
    return choice.startsWith(u"xmpp:"_s, Qt::CaseInsensitive);
}

QString xmppRoomFromChoice(const QString& choice, QString* error)
{
    const auto refuse = [&](const QString& why) {
        *error = u"SVW_ROOM is \"%1\", but %2: write an XMPP room as "
                 u"\"xmpp:room@conference.example.org?join\"."_s.arg(choice, why);
        return QString();
    };
    if (!isXmppRoomChoice(choice))
        return refuse(u"it is not an xmpp: address"_s);
    QString rest = choice.mid(5);
    // "xmpp://account@host/room@..." names the account to use; the account
    // comes from SVW_XMPP_JID here, so that part is not taken.
    if (rest.startsWith(u"//"_s))
        return refuse(u"the account belongs in SVW_XMPP_JID, not in the address"_s);
    const qsizetype query = rest.indexOf(u'?');
    const QString action = query < 0 ? QString() : rest.mid(query + 1);
    rest = query < 0 ? rest : rest.left(query);
    if (!action.isEmpty() && action != u"join"_s)
        return refuse(u"\"?%1\" is not \"?join\""_s.arg(action));
    QString why;
    const QString room = readXmppRoomJid(QUrl::fromPercentEncoding(rest.toUtf8()), &why);
    return room.isEmpty() ? refuse(why) : room;
}

QString xmppRoomAddress(const QString& roomJid)
{
    // Only what would read as something else is encoded ('%' as an escape,
    // '?' as the action, '#' as a fragment), so the address stays readable.
    QString written;
    for (const QChar c : roomJid) {
        if (c == u'%' || c == u'?' || c == u'#')
            written += u'%' + QString::number(c.unicode(), 16).toUpper();
        else
            written += c;
    }
    return u"xmpp:"_s + written + u"?join"_s;
}

bool isXmppAccountJid(const QString& jid)
{
    const qsizetype at = jid.indexOf(u'@');
    return at > 0 && at < jid.size() - 1 && jid.indexOf(u'@', at + 1) < 0 && !jid.contains(u'/') &&
           !jid.contains(u' ');
}

bool readXmppServer(const QString& text, QString* host, quint16* port)
{
    const qsizetype colon = text.lastIndexOf(u':');
    bool portOk = true;
    *host = colon < 0 ? text : text.left(colon);
    *port = colon < 0 ? 0 : text.mid(colon + 1).toUShort(&portOk);
    return portOk && !host->isEmpty() && (colon < 0 || *port != 0);
}

} // namespace svw
