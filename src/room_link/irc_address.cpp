// SPDX-License-Identifier: GPL-3.0-or-later
#include "irc_address.h"

#include "irc_names.h"

#include <QUrl>

namespace svw {

using namespace Qt::StringLiterals;

namespace {

std::optional<IrcAddress> refuse(QString* error, const QString& text, const QString& why)
{
    if (error) {
        *error = u"The IRC room \"%1\" cannot be used: %2 The form is "
                 u"irc://[nick[:password]@]host[:port]/#channel[?key=KEY], or ircs://... for "
                 u"TLS."_s.arg(text, why);
    }
    return std::nullopt;
}

// The channel is written after the path's slash; a bare '#' there begins
// the URL's fragment, so "/#chan" arrives as an empty path and the fragment
// "chan", while "/%23chan" and "/&chan" arrive as the path. In a fragment a
// '?' is not a query's start, so "/#chan?key=x" carries its query inside
// the fragment: it is taken apart here, or the channel would be
// "#chan?key=x".
struct ChannelPart
{
    QString channel;
    std::optional<QString> query; // still percent-encoded
};

std::optional<ChannelPart> channelOf(const QUrl& url)
{
    const QString path = url.path(QUrl::FullyDecoded);
    if (url.hasFragment()) {
        if (!path.isEmpty() && path != u"/")
            return std::nullopt;
        const QString fragment = url.fragment(QUrl::FullyEncoded);
        const qsizetype question = fragment.indexOf(u'?');
        ChannelPart part;
        part.channel = u"#"_s + QUrl::fromPercentEncoding(fragment.left(question).toUtf8());
        if (question >= 0)
            part.query = fragment.mid(question + 1);
        return part;
    }
    ChannelPart part;
    if (path.startsWith(u'/'))
        part.channel = path.mid(1);
    if (url.hasQuery())
        part.query = url.query(QUrl::FullyEncoded);
    return part;
}

// The query holds the channel's key and nothing else.
std::optional<QString> keyOf(const QString& query, QString* why)
{
    // As in any URL, '&' parts the query's items; a key that holds one
    // writes it %26.
    const qsizetype equals = query.indexOf(u'=');
    if (equals < 0 || query.left(equals) != u"key" || query.contains(u'&')) {
        *why = u"the only thing the address takes after '?' is the channel's key, as "
               u"?key=KEY."_s;
        return std::nullopt;
    }
    const QString key = QUrl::fromPercentEncoding(query.mid(equals + 1).toUtf8());
    if (key.isEmpty()) {
        *why = u"the channel key after ?key= is empty."_s;
        return std::nullopt;
    }
    for (QChar c : key) {
        if (c == u' ' || c == u',' || c.category() == QChar::Other_Control) {
            *why = u"a channel key holds no space, comma or control character."_s;
            return std::nullopt;
        }
    }
    if (key.startsWith(u':')) {
        *why = u"a channel key cannot begin with ':'."_s;
        return std::nullopt;
    }
    return key;
}

} // namespace

QString IrcAddress::displayText() const
{
    QString host = this->host;
    if (host.contains(u':'))
        host = u"[%1]"_s.arg(host);
    return u"%1://%2:%3/%4"_s.arg(tls ? u"ircs"_s : u"irc"_s, host).arg(port).arg(channel);
}

bool isIrcRoomChoice(const QString& choice)
{
    const QString scheme = choice.section(u':', 0, 0).trimmed();
    return scheme.compare(u"irc", Qt::CaseInsensitive) == 0 ||
           scheme.compare(u"ircs", Qt::CaseInsensitive) == 0;
}

std::optional<IrcAddress> parseIrcAddress(const QString& text, const QString& fallbackNick,
                                          QString* error)
{
    for (QChar c : text) {
        if (c.isSpace() || c.category() == QChar::Other_Control)
            return refuse(error, text, u"it holds a space or a control character."_s);
    }

    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid())
        return refuse(error, text,
                      u"it is not a well-formed address (%1)."_s.arg(url.errorString()));

    IrcAddress address;
    const QString scheme = url.scheme();
    if (scheme == u"irc")
        address.tls = false;
    else if (scheme == u"ircs")
        address.tls = true;
    else
        return refuse(error, text, u"it must begin with irc:// or ircs://."_s);

    address.host = url.host(QUrl::FullyDecoded);
    if (address.host.isEmpty())
        return refuse(error, text, u"it names no server."_s);

    const int port = url.port(address.tls ? kIrcsDefaultPort : kIrcDefaultPort);
    if (port < 1 || port > 65535)
        return refuse(error, text, u"the port must be a number from 1 to 65535."_s);
    address.port = quint16(port);

    if (url.hasFragment() && url.hasQuery())
        return refuse(error, text,
                      u"the query ('?...') must come after the channel, as "
                      u"/#channel?key=KEY."_s);
    const std::optional<ChannelPart> part = channelOf(url);
    if (!part)
        return refuse(error, text,
                      u"the channel must come right after the server, as /#channel."_s);
    if (part->query) {
        QString why;
        const std::optional<QString> key = keyOf(*part->query, &why);
        if (!key)
            return refuse(error, text, why);
        address.channelKey = *key;
    }
    const QString* channel = &part->channel;
    if (channel->isEmpty())
        return refuse(error, text, u"it names no channel (add /#channel after the server)."_s);
    if (!isValidIrcChannel(*channel)) {
        return refuse(
            error, text,
            u"\"%1\" is not a channel name: it must begin with # or &, be at most %2 "
            u"bytes long and hold no space, comma, colon or control character."_s.arg(*channel)
                .arg(kIrcMaxChannelBytes));
    }
    address.channel = *channel;

    address.password = url.password(QUrl::FullyDecoded);
    const QString urlNick = url.userName(QUrl::FullyDecoded);
    if (url.userInfo().isEmpty() == false && urlNick.isEmpty())
        return refuse(error, text, u"a password is given without a nick."_s);
    address.nick = urlNick.isEmpty() ? fallbackNick : urlNick;
    if (!isValidIrcNick(address.nick)) {
        const QString why =
            address.nick.isEmpty()
                ? u"no nick is given: put one in the address or set SVW_NICK."_s
                : u"\"%1\" is not a valid IRC nick: it must begin with a letter or one of "
                  u"[]\\`_^{|}, hold only letters, digits, those characters and '-', and be at "
                  u"most 64 characters long."_s.arg(address.nick);
        return refuse(error, text, why);
    }
    return address;
}

} // namespace svw
