// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

namespace svw {

// IRC lines are at most 512 bytes, CR LF included; IRCv3 message tags have
// their own budget in front of that.
inline constexpr int kIrcMaxLineBytes = 512;

// One IRC message as read from the wire, with IRCv3 tags.
struct IrcMessage
{
    QMap<QString, QString> tags; // values unescaped; a tag without value maps to ""
    QString prefix;              // "nick!user@host" or a server name, without ':'
    QString command;             // upper-cased: "PRIVMSG", "001"
    QStringList params;          // the trailing parameter, if any, is the last

    // The parts of a "nick!user@host" prefix; nick() is the whole prefix when
    // it names a server.
    QString nick() const;
    QString user() const;
    QString host() const;

    QString param(qsizetype index) const { return params.value(index); }
    // The last parameter (usually the trailing text); empty when there is none.
    QString lastParam() const { return params.isEmpty() ? QString() : params.constLast(); }
};

// Text from the wire: UTF-8 when the bytes are valid UTF-8, else
// Windows-1252, which is what older clients send.
QString decodeIrcText(QByteArrayView bytes);

// Parses one line without its CR LF (a trailing CR or LF is tolerated).
// Returns nothing for a line that is not an IRC message (no command, a
// malformed tag section, a prefix with nothing after it).
std::optional<IrcMessage> parseIrcLine(QByteArrayView line);

// IRCv3 tag value escaping, both ways.
QString unescapeIrcTagValue(QStringView value);
QString escapeIrcTagValue(QStringView value);

// Formats a command for the wire, CR LF included, encoding text as UTF-8.
// Every parameter but the last must be a non-empty word without spaces that
// does not begin with ':'; the last is sent as trailing parameter (after ':')
// when `lastIsTrailing` is set or when it needs to be. No parameter may hold
// CR, LF or NUL, and the whole line must fit in 512 bytes. Returns nothing and
// sets `error` when the command cannot be sent as it stands.
std::optional<QByteArray> formatIrcCommand(const QString& command, const QStringList& params,
                                           bool lastIsTrailing = false, QString* error = nullptr);

} // namespace svw
