// SPDX-License-Identifier: GPL-3.0-or-later
// Whatever an XMPP server or another member may send, as libstrophe hands
// it over (or its log shows it), through what the XMPP room makes of it;
// and any text as an xmpp: room address.

#include "fuzz_check.h"
#include "xmpp_stanza.h"

#include <QByteArray>

#include <cstdint>

using namespace svw;
using Kind = XmppRoomEvent::Kind;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static xmpp_ctx_t* ctx = [] {
        xmpp_initialize();
        return xmpp_ctx_new(nullptr, nullptr);
    }();
    const QByteArray text(reinterpret_cast<const char*>(data), qsizetype(size));

    QString error;
    const QString room = xmppRoomFromChoice(QString::fromUtf8(text), &error);
    check(room.isEmpty() != error.isEmpty());
    if (!room.isEmpty()) {
        check(room.contains(u'@') && !room.contains(u'/') && room == room.toLower());
        // The address written for a room reads back as that room.
        QString again;
        check(xmppRoomFromChoice(xmppRoomAddress(room), &again) == room);
    }

    // Stream features as libstrophe's log shows them: a limit is never
    // negative, and anything else leaves the known limit alone.
    if (const std::optional<qint64> limit = advertisedStanzaLimit(ctx, text.constData()))
        check(*limit >= 0);

    xmpp_stanza_t* stanza = xmpp_stanza_new_from_string(ctx, text.constData());
    if (!stanza)
        return 0;
    const XmppRoomEvent event = readRoomStanza(
        stanza, QStringLiteral("talk@conference.example.org"), QStringLiteral("ann"));
    xmpp_stanza_release(stanza);
    switch (event.kind) {
    case Kind::Line:
    case Kind::History:
    case Kind::Joined:
    case Kind::NickChanged:
        // A line has its speaker; the room never gives us an empty nick.
        check(!event.nick.isEmpty());
        break;
    case Kind::JoinRefused:
        check(!event.reason.isEmpty());
        break;
    default:
        break;
    }
    return 0;
}
