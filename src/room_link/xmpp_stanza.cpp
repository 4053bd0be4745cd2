// SPDX-License-Identifier: GPL-3.0-or-later
#include "xmpp_stanza.h"

#include <QByteArray>
#include <QList>

#include <limits>

using namespace Qt::StringLiterals;

namespace svw {

namespace {

constexpr const char* kMucUserNs = "http://jabber.org/protocol/muc#user";
constexpr const char* kStanzaErrorNs = "urn:ietf:params:xml:ns:xmpp-stanzas";
constexpr const char* kStreamNs = "http://etherx.jabber.org/streams";
constexpr const char* kStreamLimitsNs = "urn:xmpp:stream-limits:0";
// As long as the ids xmpp_uuid_gen() gives the messages we send.
constexpr const char* kSampleId = "00000000-0000-4000-8000-000000000000";

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

xmpp_stanza_t* newRoomMessage(xmpp_ctx_t* ctx, const QString& roomJid, const QString& line,
                              const char* id)
{
    xmpp_stanza_t* message = xmpp_message_new(ctx, "groupchat", roomJid.toUtf8().constData(), id);
    xmpp_message_set_body(message, line.toUtf8().constData());
    return message;
}

qint64 roomMessageBytes(xmpp_ctx_t* ctx, const QString& roomJid, const QString& line)
{
    xmpp_stanza_t* message = newRoomMessage(ctx, roomJid, line, kSampleId);
    char* buffer = nullptr;
    size_t length = 0;
    const bool written = xmpp_stanza_to_text(message, &buffer, &length) == XMPP_EOK;
    xmpp_stanza_release(message);
    if (!written)
        return std::numeric_limits<qint64>::max(); // cannot be measured: cannot be sent either
    xmpp_free(ctx, buffer);
    return qint64(length);
}

std::optional<qint64> advertisedStanzaLimit(xmpp_ctx_t* ctx, const char* text)
{
    xmpp_stanza_t* features = text ? xmpp_stanza_new_from_string(ctx, text) : nullptr;
    if (!features)
        return std::nullopt;
    std::optional<qint64> limit;
    if (is(xmpp_stanza_get_name(features), "features") &&
        is(xmpp_stanza_get_ns(features), kStreamNs)) {
        limit = 0;
        xmpp_stanza_t* limits =
            xmpp_stanza_get_child_by_name_and_ns(features, "limits", kStreamLimitsNs);
        bool read = false;
        const qint64 bytes = childText(limits, "max-bytes").trimmed().toLongLong(&read);
        if (read && bytes > 0)
            limit = bytes;
    }
    xmpp_stanza_release(features);
    return limit;
}

} // namespace svw
