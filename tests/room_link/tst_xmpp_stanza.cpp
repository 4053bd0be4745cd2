// SPDX-License-Identifier: GPL-3.0-or-later
// What an XMPP room makes of the stanzas the server sends, the room address
// a user writes, and the session every room keeps (waiting lines, lines
// not yet confirmed, when the user hears of an outage).

#include "room_factory.h"
#include "room_session.h"
#include "xmpp_stanza.h"

#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace svw;
using Kind = XmppRoomEvent::Kind;

namespace {

const QString kRoom = u"talk@conference.example.org"_s;

xmpp_ctx_t* context()
{
    static xmpp_ctx_t* ctx = [] {
        xmpp_initialize();
        return xmpp_ctx_new(nullptr, nullptr);
    }();
    return ctx;
}

XmppRoomEvent read(const char* xml, const QString& ownNick = u"ann"_s)
{
    xmpp_stanza_t* stanza = xmpp_stanza_new_from_string(context(), xml);
    const XmppRoomEvent event = readRoomStanza(stanza, kRoom, ownNick);
    if (stanza)
        xmpp_stanza_release(stanza);
    return event;
}

} // namespace

class TestXmppStanza : public QObject
{
    Q_OBJECT

private slots:
    void linesAndHistory();
    void ownPresence();
    void refusals();
    void queries();
    void roomChoice_data();
    void roomChoice();
    void factoryTakesAccountFromEnvironment();
    void dialogAccountWinsOverEnvironment();
    void roomAddressReadsBack();
    void advertisedLimit();
    void messageBytes();
    void sessionKeepsLinesInOrder();
    void sessionTellsOutagesOnce();
};

void TestXmppStanza::linesAndHistory()
{
    XmppRoomEvent event =
        read("<message type='groupchat' id='m1' from='Talk@conference.example.org/"
             "bob/x'><body>abcde  hi </body></message>");
    QCOMPARE(event.kind, Kind::Line);
    QCOMPARE(event.nick, u"bob/x"_s); // a nick may hold '/'
    QCOMPARE(event.text, u"abcde  hi "_s);
    QCOMPARE(event.id, u"m1"_s);

    // Lines said before we came carry a delay, the old form too.
    QCOMPARE(
        read("<message type='groupchat' from='talk@conference.example.org/bob'><body>old</body>"
             "<delay xmlns='urn:xmpp:delay' stamp='2026-01-01T00:00:00Z'/></message>")
            .kind,
        Kind::History);
    QCOMPARE(
        read("<message type='groupchat' from='talk@conference.example.org/bob'><body>old</body>"
             "<x xmlns='jabber:x:delay' stamp='20260101T00:00:00'/></message>")
            .kind,
        Kind::History);
    // Not a line of our room: another room, a private message, the room's
    // own subject or notice, an empty body that is still a line.
    QCOMPARE(read("<message type='groupchat' from='other@conference.example.org/bob'><body>x</body>"
                  "</message>")
                 .kind,
             Kind::Ignore);
    QCOMPARE(read("<message type='chat' from='talk@conference.example.org/bob'><body>x</body>"
                  "</message>")
                 .kind,
             Kind::Ignore);
    QCOMPARE(read("<message type='groupchat' from='talk@conference.example.org'><body>Room is "
                  "logged</body></message>")
                 .kind,
             Kind::Ignore);
    QCOMPARE(read("<message type='groupchat' from='talk@conference.example.org/bob'><subject>s"
                  "</subject></message>")
                 .kind,
             Kind::Ignore);
    event =
        read("<message type='groupchat' from='talk@conference.example.org/bob'><body/></message>");
    QCOMPARE(event.kind, Kind::Line);
    QCOMPARE(event.text, QString());
}

void TestXmppStanza::ownPresence()
{
    // The room confirms our join with status 110, under the nick it chose.
    XmppRoomEvent event = read("<presence from='talk@conference.example.org/ann2'><x xmlns='http://"
                               "jabber.org/protocol/muc#user'><item role='participant'/><status "
                               "code='110'/><status code='210'/></x></presence>");
    QCOMPARE(event.kind, Kind::Joined);
    QCOMPARE(event.nick, u"ann2"_s);
    // Someone else arriving is not our join, nor is the room's own presence.
    QCOMPARE(read("<presence from='talk@conference.example.org'><x xmlns='http://jabber.org/"
                  "protocol/muc#user'><status code='110'/></x></presence>")
                 .kind,
             Kind::Ignore);
    QCOMPARE(read("<presence from='talk@conference.example.org/bob'><x xmlns='http://jabber.org/"
                  "protocol/muc#user'><item role='participant'/></x></presence>")
                 .kind,
             Kind::Ignore);
    event = read("<presence type='unavailable' from='talk@conference.example.org/ann'><x xmlns='"
                 "http://jabber.org/protocol/muc#user'><item role='none'><reason>spam</reason>"
                 "</item><status code='307'/><status code='110'/></x></presence>");
    QCOMPARE(event.kind, Kind::Kicked);
    QCOMPARE(event.reason, u"spam"_s);
    QCOMPARE(read("<presence type='unavailable' from='talk@conference.example.org/ann'><x xmlns='"
                  "http://jabber.org/protocol/muc#user'><item affiliation='outcast'/><status "
                  "code='301'/><status code='110'/></x></presence>")
                 .kind,
             Kind::Banned);
    // Another occupant kicked: not us.
    QCOMPARE(read("<presence type='unavailable' from='talk@conference.example.org/bob'><x xmlns='"
                  "http://jabber.org/protocol/muc#user'><item role='none'/><status code='307'/>"
                  "</x></presence>")
                 .kind,
             Kind::Ignore);
    event = read("<presence type='unavailable' from='talk@conference.example.org/ann'><x xmlns='"
                 "http://jabber.org/protocol/muc#user'><item nick='anne'/><status code='303'/>"
                 "<status code='110'/></x></presence>");
    QCOMPARE(event.kind, Kind::NickChanged);
    QCOMPARE(event.nick, u"anne"_s);
}

void TestXmppStanza::refusals()
{
    QCOMPARE(read("<presence type='error' from='talk@conference.example.org/ann'><error "
                  "type='cancel'><conflict xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error>"
                  "</presence>")
                 .kind,
             Kind::NickTaken);
    XmppRoomEvent event = read(
        "<presence type='error' from='talk@conference.example.org/ann'><error type='auth'>"
        "<forbidden xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/><text xmlns='urn:ietf:params:xml:"
        "ns:xmpp-stanzas'>go</text></error></presence>");
    QCOMPARE(event.kind, Kind::JoinRefused);
    QVERIFY2(event.reason.contains(u"banned"_s) && event.reason.contains(u"go"_s),
             qPrintable(event.reason));
    event = read("<message type='error' id='m7' from='talk@conference.example.org'><error "
                 "type='auth'><forbidden xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error>"
                 "</message>");
    QCOMPARE(event.kind, Kind::LineRefused);
    QCOMPARE(event.id, u"m7"_s);
}

void TestXmppStanza::queries()
{
    QCOMPARE(
        read("<iq type='get' id='v' from='x@y/z'><query xmlns='jabber:iq:version'/></iq>").kind,
        Kind::VersionQuery);
    QCOMPARE(read("<iq type='get' id='p' from='x@y/z'><ping xmlns='urn:xmpp:ping'/></iq>").kind,
             Kind::OtherQuery);
    // Answers are never answered.
    QCOMPARE(read("<iq type='result' id='p' from='x@y/z'/>").kind, Kind::Ignore);
}

void TestXmppStanza::roomChoice_data()
{
    QTest::addColumn<QString>("choice");
    QTest::addColumn<QString>("room");
    QTest::newRow("join") << u"xmpp:Talk@Conference.example.org?join"_s
                          << u"talk@conference.example.org"_s;
    QTest::newRow("bare") << u"xmpp:talk@muc.example"_s << u"talk@muc.example"_s;
    QTest::newRow("escaped") << u"xmpp:t%C3%A9@muc.example?join"_s << u"t\u00e9@muc.example"_s;
    QTest::newRow("no node") << u"xmpp:muc.example?join"_s << QString();
    QTest::newRow("resource") << u"xmpp:talk@muc.example/ann?join"_s << QString();
    QTest::newRow("other action") << u"xmpp:talk@muc.example?message"_s << QString();
    QTest::newRow("authority") << u"xmpp://ann@example.org/talk@muc.example?join"_s << QString();
    QTest::newRow("quote") << u"xmpp:ta'lk@muc.example?join"_s << QString();
}

void TestXmppStanza::roomChoice()
{
    QFETCH(QString, choice);
    QFETCH(QString, room);
    QString error;
    QCOMPARE(xmppRoomFromChoice(choice, &error), room);
    QCOMPARE(error.isEmpty(), !room.isEmpty());
    QVERIFY(isXmppRoomChoice(choice));
}

void TestXmppStanza::factoryTakesAccountFromEnvironment()
{
    const QString choice = u"xmpp:talk@conference.localhost?join"_s;
    qunsetenv("SVW_XMPP_JID");
    qunsetenv("SVW_XMPP_PASSWORD");
    qunsetenv("SVW_NICK");
    qputenv("SVW_XMPP_SERVER", "127.0.0.1:1"); // nothing listens: no network needed
    QString error;
    QVERIFY(!createChatRoomControl(choice, u"login"_s, &error));
    QVERIFY2(error.contains(u"SVW_XMPP_JID"_s), qPrintable(error));
    qputenv("SVW_XMPP_JID", "ann@localhost");
    error.clear();
    QVERIFY(!createChatRoomControl(choice, u"login"_s, &error));
    QVERIFY2(error.contains(u"SVW_XMPP_PASSWORD"_s), qPrintable(error));
    // The dialog's password serves the account; the nick is the account's
    // local part, not the login name.
    RoomCredentials credentials;
    credentials.saslPassword = u"pw"_s;
    error.clear();
    auto room = createChatRoomControl(choice, u"login"_s, credentials, &error);
    QVERIFY2(room, qPrintable(error));
    QCOMPARE(room->roomDescription(), u"talk@conference.localhost on XMPP as ann"_s);
    qputenv("SVW_NICK", "anne");
    qputenv("SVW_XMPP_PASSWORD", "pw");
    room = createChatRoomControl(choice, u"login"_s, &error);
    QVERIFY2(room, qPrintable(error));
    QVERIFY(room->roomDescription().endsWith(u" as anne"_s));
    qputenv("SVW_XMPP_CAFILE", "/nonexistent/ca.pem");
    QVERIFY(!createChatRoomControl(choice, u"login"_s, &error));
    QVERIFY2(error.contains(u"SVW_XMPP_CAFILE"_s), qPrintable(error));
    qunsetenv("SVW_XMPP_CAFILE");
    qputenv("SVW_XMPP_SERVER", "127.0.0.1:http");
    QVERIFY(!createChatRoomControl(choice, u"login"_s, &error));
    QVERIFY2(error.contains(u"SVW_XMPP_SERVER"_s), qPrintable(error));
    for (const char* name : {"SVW_XMPP_JID", "SVW_XMPP_PASSWORD", "SVW_NICK", "SVW_XMPP_SERVER"})
        qunsetenv(name);
}

void TestXmppStanza::dialogAccountWinsOverEnvironment()
{
    const QString choice = u"xmpp:talk@conference.localhost?join"_s;
    qputenv("SVW_XMPP_JID", "env@localhost");
    qputenv("SVW_NICK", "envnick");
    qputenv("SVW_XMPP_SERVER", "127.0.0.1:1"); // nothing listens: no network needed
    qunsetenv("SVW_XMPP_PASSWORD");
    RoomCredentials given;
    // No password anywhere: the account is named, so that it can be asked for.
    QCOMPARE(accountLackingPassword(choice, given), u"env@localhost"_s);
    given.saslAccount = u"zoe@localhost"_s;
    QCOMPARE(accountLackingPassword(choice, given), u"zoe@localhost"_s);
    QCOMPARE(accountLackingPassword(u"irc://h/#c"_s, given), QString());
    given.saslPassword = u"pw"_s;
    QCOMPARE(accountLackingPassword(choice, given), QString());
    given.saslPassword.clear();
    qputenv("SVW_XMPP_PASSWORD", "pw");
    QCOMPARE(accountLackingPassword(choice, given), QString());

    given.nick = u"zed"_s;
    given.server = u"127.0.0.1:2"_s;
    QString error;
    auto room = createChatRoomControl(choice, u"login"_s, given, &error);
    QVERIFY2(room, qPrintable(error));
    QCOMPARE(room->roomDescription(), u"talk@conference.localhost on XMPP as zed"_s);
    // The dialog's server is read as SVW_XMPP_SERVER is, and named when wrong.
    given.server = u"127.0.0.1:none"_s;
    QVERIFY(!createChatRoomControl(choice, u"login"_s, given, &error));
    QVERIFY2(error.contains(u"127.0.0.1:none"_s) && !error.contains(u"SVW_XMPP_SERVER"_s),
             qPrintable(error));
    given.server.clear();
    given.saslAccount = u"no-domain"_s;
    QVERIFY(!createChatRoomControl(choice, u"login"_s, given, &error));
    QVERIFY2(error.contains(u"account"_s), qPrintable(error));
    for (const char* name : {"SVW_XMPP_JID", "SVW_XMPP_PASSWORD", "SVW_NICK", "SVW_XMPP_SERVER"})
        qunsetenv(name);
}

void TestXmppStanza::roomAddressReadsBack()
{
    for (const QString& room :
         {u"talk@conference.example.org"_s, u"#chan%irc.example.net@gateway.example"_s,
          u"what?@muc.example"_s, u"caf\u00e9@muc.example"_s}) {
        const QString address = xmppRoomAddress(room);
        QVERIFY2(address.startsWith(u"xmpp:"_s) && address.endsWith(u"?join"_s),
                 qPrintable(address));
        QString error;
        QCOMPARE(xmppRoomFromChoice(address, &error), room);
    }
    // A port of 0 is none: "host:0" would reach nothing.
    QString host;
    quint16 port = 0;
    QVERIFY(!readXmppServer(u"xmpp.example.org:0"_s, &host, &port));
}

void TestXmppStanza::advertisedLimit()
{
    const auto limit = [](const char* text) {
        return advertisedStanzaLimit(context(), text);
    };
    QCOMPARE(limit("<features xmlns='http://etherx.jabber.org/streams'><bind "
                   "xmlns='urn:ietf:params:xml:ns:xmpp-bind'/><limits "
                   "xmlns='urn:xmpp:stream-limits:0'><max-bytes> 262144 </max-bytes>"
                   "<idle-seconds>600</idle-seconds></limits></features>"),
             std::optional<qint64>(262144));
    // Features without limits: no limit (one said before may no longer hold).
    QCOMPARE(limit("<features xmlns='http://etherx.jabber.org/streams'><bind "
                   "xmlns='urn:ietf:params:xml:ns:xmpp-bind'/></features>"),
             std::optional<qint64>(0));
    // A limit in another namespace, or one that is no number, is none.
    QCOMPARE(limit("<features xmlns='http://etherx.jabber.org/streams'><limits "
                   "xmlns='urn:example:other'><max-bytes>100</max-bytes></limits></features>"),
             std::optional<qint64>(0));
    QCOMPARE(
        limit("<features xmlns='http://etherx.jabber.org/streams'><limits "
              "xmlns='urn:xmpp:stream-limits:0'><max-bytes>-5</max-bytes></limits></features>"),
        std::optional<qint64>(0));
    // Not the stream's features: nothing changes.
    QCOMPARE(limit("<message xmlns='jabber:client'><limits xmlns='urn:xmpp:stream-limits:0'>"
                   "<max-bytes>100</max-bytes></limits></message>"),
             std::nullopt);
    QCOMPARE(limit("<features xmlns='urn:example:features'/>"), std::nullopt);
    QCOMPARE(limit("<features"), std::nullopt);
}

void TestXmppStanza::messageBytes()
{
    const QString room = u"talk@conference.example.org"_s;
    const qint64 plain = roomMessageBytes(context(), room, u"abcde"_s);
    // The whole stanza counts: the room's address and an id besides the body.
    QVERIFY2(plain > 5 + room.size() + 30, qPrintable(QString::number(plain)));
    // Bytes, not characters; XML escapes at their length on the wire.
    QCOMPARE(roomMessageBytes(context(), room, u"abcd\u00e9"_s), plain + 1);
    QCOMPARE(roomMessageBytes(context(), room, u"abcd\u263a"_s), plain + 2);
    QCOMPARE(roomMessageBytes(context(), room, u"abcd<"_s), plain + 3);
    QCOMPARE(roomMessageBytes(context(), room, u"abcd&"_s), plain + 4);
    // As long as the message really sent with an id of the room's making.
    char* id = xmpp_uuid_gen(context());
    xmpp_stanza_t* message = newRoomMessage(context(), room, u"abcde"_s, id);
    char* text = nullptr;
    size_t length = 0;
    QCOMPARE(xmpp_stanza_to_text(message, &text, &length), XMPP_EOK);
    QCOMPARE(qint64(length), plain);
    xmpp_free(context(), text);
    xmpp_stanza_release(message);
    xmpp_free(context(), id);
}

void TestXmppStanza::sessionKeepsLinesInOrder()
{
    RoomSession session(u"talk"_s, 60'000);
    session.enqueue(u"a"_s);
    session.enqueue(u"b"_s);
    session.enqueue(u"c"_s);
    session.markSent(u"1"_s, *session.takeNext());
    session.markSent(u"2"_s, *session.takeNext());
    QCOMPARE(session.waitingCount(), 1);
    QVERIFY(session.confirm(u"1"_s));
    QVERIFY(!session.confirm(u"1"_s)); // once only
    QVERIFY(!session.confirm(QString()));
    // "2" was not confirmed when the connection went: it goes first again.
    session.requeueUnconfirmed();
    QCOMPARE(session.unconfirmedCount(), 0);
    QCOMPARE(*session.takeNext(), u"b"_s);
    QCOMPARE(*session.takeNext(), u"c"_s);
    QVERIFY(!session.takeNext());
    session.markSent(u"3"_s, QString());
    QVERIFY(!session.forget(u"3"_s).isNull()); // an empty line is still ours
    // A reflection under another id: the oldest line with its text is done.
    session.markSent(u"4"_s, u"same"_s);
    session.markSent(u"5"_s, u"other"_s);
    session.markSent(u"6"_s, u"same"_s);
    QVERIFY(session.confirmText(u"same"_s));
    QVERIFY(!session.confirmText(u"none"_s));
    QVERIFY(!session.confirm(u"4"_s));
    QVERIFY(session.confirm(u"6"_s));
    QCOMPARE(session.unconfirmedCount(), 1);
}

void TestXmppStanza::sessionTellsOutagesOnce()
{
    RoomSession session(u"talk on XMPP"_s, 50);
    QSignalSpy trouble(&session, &RoomSession::trouble);
    QSignalSpy states(&session, &RoomSession::stateChanged);
    QSignalSpy ready(&session, &RoomSession::ready);
    session.reached(u"in"_s);
    QCOMPARE(session.state(), RoomState::Connected);
    QCOMPARE(ready.size(), 1);
    session.lost(u"gone"_s);
    QCOMPARE(session.state(), RoomState::Reaching);
    QVERIFY(trouble.wait(5000)); // told once it has lasted
    QVERIFY(trouble.first().first().toString().contains(u"gone"_s));
    QCOMPARE(session.state(), RoomState::OutOfReach);
    // Still out: not told again, and the indicator stays out of reach.
    session.lost(u"still gone"_s);
    QCOMPARE(session.state(), RoomState::OutOfReach);
    session.reached(u"back"_s);
    QCOMPARE(session.state(), RoomState::Connected);
    // Told at once: no second telling when the wait would have lasted.
    session.troubleNow(u"kicked"_s, u"waits"_s);
    QCOMPARE(trouble.size(), 2);
    QCOMPARE(session.state(), RoomState::OutOfReach);
    // A session lost just before ours, with the same wait, tells first.
    RoomSession earlier(u"other"_s, 50);
    QSignalSpy earlierTrouble(&earlier, &RoomSession::trouble);
    earlier.lost(u"out"_s);
    session.lost(u"out"_s);
    QVERIFY(earlierTrouble.wait(5000));
    QCoreApplication::processEvents();
    QCOMPARE(trouble.size(), 2);
    QCOMPARE(states.size(), 5);
}

QTEST_GUILESS_MAIN(TestXmppStanza)
#include "tst_xmpp_stanza.moc"
