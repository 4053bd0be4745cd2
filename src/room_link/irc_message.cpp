// SPDX-License-Identifier: GPL-3.0-or-later
#include "irc_message.h"

#include "ansi_code.h"

#include <QStringDecoder>

namespace svw {

using namespace Qt::StringLiterals;

namespace {

bool isCommandWord(QByteArrayView word)
{
    if (word.isEmpty())
        return false;
    bool allLetters = true;
    bool allDigits = true;
    for (char c : word) {
        allLetters = allLetters && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'));
        allDigits = allDigits && (c >= '0' && c <= '9');
    }
    return allLetters || (allDigits && word.size() == 3);
}

bool holdsLineBreakOrNul(const QString& text)
{
    for (QChar c : text) {
        if (c == u'\r' || c == u'\n' || c == u'\0')
            return true;
    }
    return false;
}

void setError(QString* error, const QString& text)
{
    if (error)
        *error = text;
}

// The rest of `line` from `pos` on, with leading spaces skipped.
qsizetype skipSpaces(QByteArrayView line, qsizetype pos)
{
    while (pos < line.size() && line[pos] == ' ')
        ++pos;
    return pos;
}

qsizetype wordEnd(QByteArrayView line, qsizetype pos)
{
    const qsizetype space = line.indexOf(' ', pos);
    return space < 0 ? line.size() : space;
}

} // namespace

QString IrcMessage::nick() const
{
    qsizetype cut = prefix.size();
    for (QChar mark : {u'!', u'@'}) {
        const qsizetype at = prefix.indexOf(mark);
        if (at >= 0 && at < cut)
            cut = at;
    }
    return prefix.left(cut);
}

QString IrcMessage::user() const
{
    const qsizetype bang = prefix.indexOf(u'!');
    if (bang < 0)
        return {};
    const qsizetype at = prefix.indexOf(u'@', bang);
    return prefix.mid(bang + 1, at < 0 ? -1 : at - bang - 1);
}

QString IrcMessage::host() const
{
    const qsizetype at = prefix.indexOf(u'@');
    return at < 0 ? QString() : prefix.mid(at + 1);
}

QString decodeIrcText(QByteArrayView bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (!utf8.hasError())
        return text;
    return fromAnsiBytes(bytes);
}

QString unescapeIrcTagValue(QStringView value)
{
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value[i];
        if (c != u'\\') {
            out.append(c);
            continue;
        }
        if (++i >= value.size())
            break; // a lone backslash at the end is dropped
        switch (value[i].unicode()) {
        case u':':
            out.append(u';');
            break;
        case u's':
            out.append(u' ');
            break;
        case u'r':
            out.append(u'\r');
            break;
        case u'n':
            out.append(u'\n');
            break;
        default: // "\\" and any other escaped character stand for themselves
            out.append(value[i]);
            break;
        }
    }
    return out;
}

QString escapeIrcTagValue(QStringView value)
{
    QString out;
    out.reserve(value.size());
    for (QChar c : value) {
        switch (c.unicode()) {
        case u';':
            out.append(u"\\:");
            break;
        case u' ':
            out.append(u"\\s");
            break;
        case u'\\':
            out.append(u"\\\\");
            break;
        case u'\r':
            out.append(u"\\r");
            break;
        case u'\n':
            out.append(u"\\n");
            break;
        default:
            out.append(c);
            break;
        }
    }
    return out;
}

std::optional<IrcMessage> parseIrcLine(QByteArrayView line)
{
    while (!line.isEmpty() && (line.back() == '\n' || line.back() == '\r'))
        line.chop(1);

    IrcMessage message;
    qsizetype pos = skipSpaces(line, 0);

    if (pos < line.size() && line[pos] == '@') {
        const qsizetype end = wordEnd(line, pos);
        const QByteArrayView section = line.sliced(pos + 1, end - pos - 1);
        if (section.isEmpty())
            return std::nullopt;
        for (const QByteArray& tag : section.toByteArray().split(';')) {
            if (tag.isEmpty())
                continue;
            const qsizetype eq = tag.indexOf('=');
            const QString key = QString::fromUtf8(eq < 0 ? tag : tag.left(eq));
            if (key.isEmpty())
                return std::nullopt;
            const QString value =
                eq < 0 ? QString() : decodeIrcText(QByteArrayView(tag).sliced(eq + 1));
            message.tags.insert(key, unescapeIrcTagValue(value));
        }
        pos = skipSpaces(line, end);
    }

    if (pos < line.size() && line[pos] == ':') {
        const qsizetype end = wordEnd(line, pos);
        if (end == pos + 1)
            return std::nullopt;
        message.prefix = decodeIrcText(line.sliced(pos + 1, end - pos - 1));
        pos = skipSpaces(line, end);
    }

    const qsizetype commandEnd = wordEnd(line, pos);
    const QByteArrayView command = line.sliced(pos, commandEnd - pos);
    if (!isCommandWord(command))
        return std::nullopt;
    message.command = QString::fromLatin1(command).toUpper();
    pos = skipSpaces(line, commandEnd);

    while (pos < line.size()) {
        if (line[pos] == ':') {
            message.params.append(decodeIrcText(line.sliced(pos + 1)));
            break;
        }
        const qsizetype end = wordEnd(line, pos);
        message.params.append(decodeIrcText(line.sliced(pos, end - pos)));
        pos = skipSpaces(line, end);
    }
    return message;
}

std::optional<QByteArray> formatIrcCommand(const QString& command, const QStringList& params,
                                           bool lastIsTrailing, QString* error)
{
    const QByteArray commandBytes = command.toLatin1();
    if (!isCommandWord(commandBytes)) {
        setError(error, u"\"%1\" is not an IRC command."_s.arg(command));
        return std::nullopt;
    }
    QByteArray out = commandBytes.toUpper();
    for (qsizetype i = 0; i < params.size(); ++i) {
        const QString& param = params[i];
        if (holdsLineBreakOrNul(param)) {
            setError(error, u"IRC cannot carry a line break or a NUL character."_s);
            return std::nullopt;
        }
        const bool last = i == params.size() - 1;
        const bool needsTrailing =
            param.isEmpty() || param.startsWith(u':') || param.contains(u' ');
        out.append(' ');
        if (last && (lastIsTrailing || needsTrailing)) {
            out.append(':');
        } else if (needsTrailing) {
            setError(error, u"The IRC parameter \"%1\" must be one word."_s.arg(param));
            return std::nullopt;
        }
        out.append(param.toUtf8());
    }
    out.append("\r\n");
    if (out.size() > kIrcMaxLineBytes) {
        setError(error, u"The IRC line is %1 bytes long; IRC carries at most %2."_s.arg(out.size())
                            .arg(kIrcMaxLineBytes));
        return std::nullopt;
    }
    return out;
}

} // namespace svw
