// SPDX-License-Identifier: GPL-3.0-or-later
#include "xmpp_stanza.h"

#include <QByteArray>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace svw {

namespace {

constexpr const char* kMucUserNs = "http://jabber.org/protocol/muc#user";
constexpr const char* kStanzaErrorNs = "urn:ietf:params:xml:ns:xmpp-stanzas";

QString text(const char* value)
{
    return value ? QString::fromUtf8(value) : QString();
}

bool is(const char* value, const char* expected)
{
    return value && qstrcmp(value, expected) == 0;
}

QString childText(xmpp_stanza_t* stanza, const char* name)
{
    xmpp_stanza_t* child = stanza ? xmpp_stanza_get_child_by_name(stanza, name) : nullptr;
    if (!child)
        return QString();
    char* raw = xmpp_stanza_get_text(child);
    if (!raw)
        return u""_s;
    QString result = QString::fromUtf8(raw);
    xmpp_free(xmpp_stanza_get_context(child), raw);
    return result;
}

// Splits "room@domain/resource"; the resource keeps any '/' it holds.
bool splitFrom(const QString& from, QString* bare, QString* resource)
{
    const qsizetype slash = from.indexOf(u'/');
    *bare = (slash < 0 ? from : from.left(slash)).toLower();
    *resource = slash < 0 ? QString() : from.mid(slash + 1);
    return slash >= 0;
}

// The defined condition of a stanza error ("conflict", "forbidden"), and
// the server's words for it when it gave any.
QString errorCondition(xmpp_stanza_t* stanza, QString* words)
{
    xmpp_stanza_t* error = xmpp_stanza_get_child_by_name(stanza, "error");
    if (!error)
        return u"undefined-condition"_s;
    *words = childText(error, "text");
    for (xmpp_stanza_t* child = xmpp_stanza_get_children(error); child;
         child = xmpp_stanza_get_next(child)) {
        if (xmpp_stanza_is_tag(child) && is(xmpp_stanza_get_ns(child), kStanzaErrorNs) &&
            !is(xmpp_stanza_get_name(child), "text"))
            return text(xmpp_stanza_get_name(child));
    }
    return u"undefined-condition"_s;
}

QString refusalReason(const QString& condition, const QString& words)
{
    QString reason;
    if (condition == u"forbidden"_s)
        reason = u"you are banned from the room"_s;
    else if (condition == u"registration-required"_s)
        reason = u"the room is for its members only"_s;
    else if (condition == u"not-authorized"_s)
        reason = u"the room wants a password"_s;
    else if (condition == u"service-unavailable"_s)
        reason = u"the room is full"_s;
    else if (condition == u"item-not-found"_s)
        reason = u"the room does not exist or is locked"_s;
    else if (condition == u"not-acceptable"_s)
        reason = u"the room does not accept this nick"_s;
    else
        reason = u"the server answered \"%1\""_s.arg(condition);
    return words.isEmpty() ? reason : reason + u" ("_s + words + u')';
}

XmppRoomEvent readMessage(xmpp_stanza_t* stanza, const QString& nick)
{
    XmppRoomEvent event;
    event.id = text(xmpp_stanza_get_id(stanza));
    const char* type = xmpp_stanza_get_type(stanza);
    if (is(type, "error")) {
        QString words;
        const QString condition = errorCondition(stanza, &words);
        event.kind = XmppRoomEvent::Kind::LineRefused;
        event.reason = condition == u"forbidden"_s || condition == u"not-acceptable"_s
                           ? u"the room does not let you speak"_s
                           : refusalReason(condition, words);
        if (!words.isEmpty() && !event.reason.contains(words))
            event.reason += u" ("_s + words + u')';
        return event;
    }
    // Lines come from an occupant; the room itself speaks only of itself.
    if (!is(type, "groupchat") || nick.isEmpty())
        return event;
    const QString body = childText(stanza, "body");
    if (body.isNull())
        return event;
    event.nick = nick;
    event.text = body;
    const bool delayed = xmpp_stanza_get_child_by_name_and_ns(stanza, "delay", "urn:xmpp:delay") ||
                         xmpp_stanza_get_child_by_name_and_ns(stanza, "x", "jabber:x:delay");
    event.kind = delayed ? XmppRoomEvent::Kind::History : XmppRoomEvent::Kind::Line;
    return event;
}

XmppRoomEvent readPresence(xmpp_stanza_t* stanza, const QString& nick, const QString& ownNick)
{
    XmppRoomEvent event;
    event.nick = nick;
    const char* type = xmpp_stanza_get_type(stanza);
    if (is(type, "error")) {
        QString words;
        const QString condition = errorCondition(stanza, &words);
        event.kind = condition == u"conflict"_s ? XmppRoomEvent::Kind::NickTaken
                                                : XmppRoomEvent::Kind::JoinRefused;
        event.reason = refusalReason(condition, words);
        return event;
    }
    xmpp_stanza_t* user = xmpp_stanza_get_child_by_name_and_ns(stanza, "x", kMucUserNs);
    if (!user)
        return event;
    bool self = nick == ownNick;
    QList<int> codes;
    xmpp_stanza_t* item = nullptr;
    for (xmpp_stanza_t* child = xmpp_stanza_get_children(user); child;
         child = xmpp_stanza_get_next(child)) {
        if (is(xmpp_stanza_get_name(child), "status"))
            codes << text(xmpp_stanza_get_attribute(child, "code")).toInt();
        else if (is(xmpp_stanza_get_name(child), "item"))
            item = child;
    }
    self = self || codes.contains(110);
    if (!self)
        return event;
    event.reason = childText(item, "reason");
    if (!is(type, "unavailable")) {
        event.kind = XmppRoomEvent::Kind::Joined;
        return event;
    }
    if (codes.contains(303)) {
        event.kind = XmppRoomEvent::Kind::NickChanged;
        event.nick = text(item ? xmpp_stanza_get_attribute(item, "nick") : nullptr);
        if (event.nick.isEmpty())
            event.kind = XmppRoomEvent::Kind::Left;
    } else if (codes.contains(301)) {
        event.kind = XmppRoomEvent::Kind::Banned;
    } else if (codes.contains(307)) {
        event.kind = XmppRoomEvent::Kind::Kicked;
    } else {
        event.kind = XmppRoomEvent::Kind::Left;
    }
    return event;
}

} // namespace

XmppRoomEvent readRoomStanza(xmpp_stanza_t* stanza, const QString& roomJid, const QString& ownNick)
{
    XmppRoomEvent event;
    if (!stanza || !xmpp_stanza_is_tag(stanza))
        return event;
    const char* name = xmpp_stanza_get_name(stanza);
    if (is(name, "iq")) {
        const char* type = xmpp_stanza_get_type(stanza);
        if (!is(type, "get") && !is(type, "set"))
            return event;
        event.id = text(xmpp_stanza_get_id(stanza));
        event.kind = xmpp_stanza_get_child_by_name_and_ns(stanza, "query", "jabber:iq:version")
                         ? XmppRoomEvent::Kind::VersionQuery
                         : XmppRoomEvent::Kind::OtherQuery;
        return event;
    }
    QString bare;
    QString nick;
    splitFrom(text(xmpp_stanza_get_from(stanza)), &bare, &nick);
    if (bare != roomJid.toLower())
        return event;
    if (is(name, "message"))
        return readMessage(stanza, nick);
    // Presence from the room's bare address is about the room, not a
    // nick in it: never taken for our own.
    if (is(name, "presence") && !nick.isEmpty())
        return readPresence(stanza, nick, ownNick);
    return event;
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
    const QString jid = QUrl::fromPercentEncoding(rest.toUtf8());
    const qsizetype at = jid.indexOf(u'@');
    if (at <= 0 || at == jid.size() - 1 || jid.indexOf(u'@', at + 1) >= 0)
        return refuse(u"it names no room (\"room@server\")"_s);
    if (jid.contains(u'/'))
        return refuse(u"a room's address has no \"/\" part (the nick comes from SVW_NICK)"_s);
    for (const QChar c : jid) {
        if (c.isSpace() || c < u' ' || c == u'"' || c == u'&' || c == u'\'' || c == u'<' ||
            c == u'>' || c == u':')
            return refuse(u"\"%1\" is not allowed in a room's address"_s.arg(c));
    }
    return jid.toLower();
}

} // namespace svw
