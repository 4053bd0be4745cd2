// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the IRC room asks of a server before registering: capabilities
// (IRCv3 CAP) and, with an account, SASL authentication.

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

namespace svw {

// The capabilities the room asks for when the server offers them, in the
// order it asks. Another one is one more line here; the room then finds it
// in its enabled set once the server acknowledged it.
inline const QStringList kWantedIrcCapabilities = {
    QStringLiteral("echo-message"),      // our own lines come back in the channel's order
    QStringLiteral("sasl"),              // identify to an account before the welcome
    QStringLiteral("server-time"),       // when a line played back was said
    QStringLiteral("batch"),             // which lines are played back, and netsplits
    QStringLiteral("znc.in/playback"),   // a bouncer plays back what we missed, on request
    QStringLiteral("chathistory"),       // the server keeps the channel's history
    QStringLiteral("draft/chathistory"), // the same, as servers name it while a draft
};

// Whether `offered` comes from a bouncer (ZNC offers capabilities of its own
// name). A bouncer echoes our lines and answers our PINGs itself, before the
// server took anything, so neither proves a line said.
template<typename Offered> bool offeredByBouncer(const Offered& offered)
{
    for (auto it = offered.cbegin(); it != offered.cend(); ++it) {
        if (it.key().startsWith(QLatin1String("znc.in/")))
            return true;
    }
    return false;
}

// A capability list as servers send it ("sasl=PLAIN,EXTERNAL echo-message"),
// name to value (empty when it has none), added to `offered`.
void addOfferedCapabilities(const QString& list, QHash<QString, QString>* offered);

// What to ask for of `offered`: the wanted ones it holds, in the wanted
// order. SASL is asked for only when `saslMechanism` is not empty and the
// server lists that mechanism (or lists none, as servers before CAP 302 do).
QStringList capabilitiesToRequest(const QHash<QString, QString>& offered,
                                  const QString& saslMechanism);

// The SASL way to identify: EXTERNAL with a client certificate, PLAIN with
// an account and its password, none otherwise.
QString saslMechanismFor(bool haveCertificate, const QString& account, const QString& password);

// The answer to the server's "AUTHENTICATE +": PLAIN carries the account
// twice (as whom to act and whose password it is) and the password;
// EXTERNAL carries the account only when one is named, else nothing.
QByteArray saslResponse(const QString& mechanism, const QString& account, const QString& password);

// The AUTHENTICATE arguments that carry `response`: base64 in pieces of 400
// bytes, then "+" when the last piece was a whole 400 (or the response is
// empty), so the server knows it has it all.
QStringList saslChunks(const QByteArray& response);

} // namespace svw
