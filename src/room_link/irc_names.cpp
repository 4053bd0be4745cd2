// SPDX-License-Identifier: GPL-3.0-or-later
#include "irc_names.h"

#include <algorithm>

namespace svw {

namespace {

bool isNickSpecial(QChar c)
{
    return QStringView(u"[]\\`_^{|}").contains(c);
}

bool isAsciiLetter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

bool isAsciiDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

bool mayStartNick(QChar c)
{
    return isAsciiLetter(c) || isNickSpecial(c);
}

bool mayFollowInNick(QChar c)
{
    return mayStartNick(c) || isAsciiDigit(c) || c == u'-';
}

} // namespace

bool isValidIrcNick(const QString& nick, int maxLength)
{
    if (nick.isEmpty() || nick.size() > maxLength || !mayStartNick(nick.front()))
        return false;
    for (QChar c : nick) {
        if (!mayFollowInNick(c))
            return false;
    }
    return true;
}

QString nickFromName(const QString& name, int maxLength)
{
    QString nick;
    for (QChar c : name) {
        if (mayFollowInNick(c))
            nick.append(c);
    }
    if (nick.isEmpty())
        return QStringLiteral("svw");
    if (!mayStartNick(nick.front()))
        nick.prepend(u'x');
    return nick.left(std::max(1, maxLength));
}

bool isValidIrcChannel(const QString& channel)
{
    if (channel.size() < 2 || (channel.front() != u'#' && channel.front() != u'&'))
        return false;
    if (channel.toUtf8().size() > kIrcMaxChannelBytes)
        return false;
    for (QChar c : channel) {
        if (c == u' ' || c == u',' || c == u':' || c.category() == QChar::Other_Control ||
            c.category() == QChar::Other_Format)
            return false;
    }
    return true;
}

QString alternateNick(const QString& nick, int attempt, int maxLength)
{
    // Two digits at most, so that a nick taken after a clash stays within
    // what fitsOneLine() allowed for.
    const QString suffix = QString::number((std::max(1, attempt) - 1) % 99 + 1);
    const qsizetype keep = qMax<qsizetype>(1, maxLength - suffix.size());
    return nick.left(keep) + suffix;
}

IrcCaseMapping caseMappingFromName(const QString& name)
{
    return name.compare(u"ascii", Qt::CaseInsensitive) == 0 ? IrcCaseMapping::Ascii
                                                            : IrcCaseMapping::Rfc1459;
}

QString ircFolded(const QString& name, IrcCaseMapping mapping)
{
    QString out = name;
    for (QChar& c : out) {
        // The upper-case letters, and under rfc1459 also []\^, sit 32 below
        // their lower-case forms.
        const bool upper = (c >= u'A' && c <= u'Z') || (mapping == IrcCaseMapping::Rfc1459 &&
                                                        QStringView(u"[]\\^").contains(c));
        if (upper)
            c = QChar(c.unicode() + 32);
    }
    return out;
}

} // namespace svw
