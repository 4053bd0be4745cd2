// SPDX-License-Identifier: GPL-3.0-or-later
// IRC lines without a socket: parsing (tags, prefixes, trailing parameters,
// malformed lines), text decoding, formatting commands safely, names and
// nick alternatives, and the pacing of outgoing lines.

#include "irc_message.h"
#include "irc_names.h"
#include "irc_pacer.h"

#include <QTest>

using namespace svw;
using namespace Qt::StringLiterals;

class TestIrcMessage : public QObject
{
    Q_OBJECT

private slots:
    void parsesLines_data();
    void parsesLines();
    void parsesTags();
    void refusesMalformedLines_data();
    void refusesMalformedLines();
    void decodesUtf8ElseWindows1252();
    void tagEscapesRoundTrip();
    void formatsCommands();
    void refusesUnsafeCommands();
    void checksNamesAndFoldsCase();
    void findsAlternateNicks();
    void pacesLinesAndBytes();
};

void TestIrcMessage::parsesLines_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("nick");
    QTest::addColumn<QString>("userHost");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QStringList>("params");

    QTest::newRow("privmsg") << QByteArray(":al!~a@host.net PRIVMSG #c :hello there\r\n")
                             << "al!~a@host.net"
                             << "al"
                             << "~a@host.net"
                             << "PRIVMSG" << QStringList{"#c", "hello there"};
    QTest::newRow("server numeric")
        << QByteArray(":irc.test 001 bob :Welcome bob!u@h") << "irc.test"
        << "irc.test"
        << "@"
        << "001" << QStringList{"bob", "Welcome bob!u@h"};
    QTest::newRow("no prefix") << QByteArray("PING :irc.test") << ""
                               << ""
                               << "@"
                               << "PING" << QStringList{"irc.test"};
    QTest::newRow("empty trailing") << QByteArray(":a!b@c TOPIC #c :") << "a!b@c"
                                    << "a"
                                    << "b@c"
                                    << "TOPIC" << QStringList{"#c", ""};
    QTest::newRow("trailing keeps colons and spaces")
        << QByteArray(":a!b@c PRIVMSG #c :: x  :y ") << "a!b@c"
        << "a"
        << "b@c"
        << "PRIVMSG" << QStringList{"#c", ": x  :y "};
    QTest::newRow("middle params only")
        << QByteArray(":s 005 n NICKLEN=9 CASEMAPPING=ascii") << "s"
        << "s"
        << "@"
        << "005" << QStringList{"n", "NICKLEN=9", "CASEMAPPING=ascii"};
    QTest::newRow("runs of spaces") << QByteArray(":s  MODE   #c  +o   n") << "s"
                                    << "s"
                                    << "@"
                                    << "MODE" << QStringList{"#c", "+o", "n"};
    QTest::newRow("lower-case command") << QByteArray("privmsg #c :x") << ""
                                        << ""
                                        << "@"
                                        << "PRIVMSG" << QStringList{"#c", "x"};
    QTest::newRow("no params") << QByteArray("QUIT") << ""
                               << ""
                               << "@"
                               << "QUIT" << QStringList{};
    QTest::newRow("nick only prefix") << QByteArray(":bob NICK bobby") << "bob"
                                      << "bob"
                                      << "@"
                                      << "NICK" << QStringList{"bobby"};
    QTest::newRow("LF only") << QByteArray(":a!b@c JOIN #c\n") << "a!b@c"
                             << "a"
                             << "b@c"
                             << "JOIN" << QStringList{"#c"};
}

void TestIrcMessage::parsesLines()
{
    QFETCH(QByteArray, line);
    const std::optional<IrcMessage> message = parseIrcLine(line);
    QVERIFY(message);
    QFETCH(QString, prefix);
    QFETCH(QString, nick);
    QFETCH(QString, userHost);
    QFETCH(QString, command);
    QFETCH(QStringList, params);
    QCOMPARE(message->prefix, prefix);
    QCOMPARE(message->nick(), nick);
    QCOMPARE(message->user() + "@" + message->host(), userHost);
    QCOMPARE(message->command, command);
    QCOMPARE(message->params, params);
    QVERIFY(message->tags.isEmpty());
}

void TestIrcMessage::parsesTags()
{
    const auto message = parseIrcLine(
        "@time=2024-01-01T00:00:00.000Z;msgid=a\\sb\\:c\\\\d\\r\\n;+draft/x;vendor/k=\\q;;e= "
        ":n!u@h PRIVMSG #c :hi");
    QVERIFY(message);
    QCOMPARE(message->tags.value("time"), QString("2024-01-01T00:00:00.000Z"));
    QCOMPARE(message->tags.value("msgid"), QString("a b;c\\d\r\n"));
    QVERIFY(message->tags.contains("+draft/x"));
    QCOMPARE(message->tags.value("+draft/x"), QString());
    QCOMPARE(message->tags.value("vendor/k"), QString("q"));
    QCOMPARE(message->tags.value("e"), QString());
    QCOMPARE(message->tags.size(), 5);
    QCOMPARE(message->command, QString("PRIVMSG"));
    QCOMPARE(message->params, (QStringList{"#c", "hi"}));

    // A lone backslash at the end of a value is dropped.
    QCOMPARE(parseIrcLine("@k=ab\\ PING x")->tags.value("k"), QString("ab"));
}

void TestIrcMessage::refusesMalformedLines_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("empty") << QByteArray("");
    QTest::newRow("only CR LF") << QByteArray("\r\n");
    QTest::newRow("prefix only") << QByteArray(":server");
    QTest::newRow("empty prefix") << QByteArray(": PING x");
    QTest::newRow("tags only") << QByteArray("@a=b");
    QTest::newRow("empty tag section") << QByteArray("@ PING x");
    QTest::newRow("tag without key") << QByteArray("@=v PING x");
    QTest::newRow("two-digit numeric") << QByteArray(":s 01 n :x");
    QTest::newRow("four-digit numeric") << QByteArray(":s 0001 n :x");
    QTest::newRow("command with digit") << QByteArray("PRIV1MSG #c :x");
    QTest::newRow("colon as command") << QByteArray(":s :x");
}

void TestIrcMessage::refusesMalformedLines()
{
    QFETCH(QByteArray, line);
    QVERIFY(!parseIrcLine(line));
}

void TestIrcMessage::decodesUtf8ElseWindows1252()
{
    QCOMPARE(decodeIrcText("gr\xc3\xbc\xc3\x9f \xe2\x82\xac"), QString(u"grüß €"_s));
    // Not UTF-8: each byte is a Windows-1252 character, 0x80 the euro sign.
    QCOMPARE(decodeIrcText("gr\xfc\xdf \x80\x9f"), QString(u"grüß €Ÿ"_s));
    // One bad byte makes the whole text Windows-1252, valid sequences included.
    QCOMPARE(decodeIrcText("\xc3\xbc\xff"), QString(u"Ã¼ÿ"_s));
    QCOMPARE(decodeIrcText("plain"), QString("plain"));

    // Parameters decode one by one: a UTF-8 channel with a Windows-1252 text.
    const auto message = parseIrcLine(":n!u@h PRIVMSG #caf\xc3\xa9 :caf\xe9");
    QVERIFY(message);
    QCOMPARE(message->params, (QStringList{u"#café"_s, u"café"_s}));
}

void TestIrcMessage::tagEscapesRoundTrip()
{
    const QString awkward = "a;b c\\d\re\nf";
    QCOMPARE(escapeIrcTagValue(awkward), QString("a\\:b\\sc\\\\d\\re\\nf"));
    QCOMPARE(unescapeIrcTagValue(escapeIrcTagValue(awkward)), awkward);
}

void TestIrcMessage::formatsCommands()
{
    QCOMPARE(formatIrcCommand("PRIVMSG", {"#c", "hi"}, true), QByteArray("PRIVMSG #c :hi\r\n"));
    QCOMPARE(formatIrcCommand("nick", {"bob"}), QByteArray("NICK bob\r\n"));
    QCOMPARE(formatIrcCommand("PRIVMSG", {"#c", "two words"}),
             QByteArray("PRIVMSG #c :two words\r\n"));
    QCOMPARE(formatIrcCommand("PRIVMSG", {"#c", ":colon"}), QByteArray("PRIVMSG #c ::colon\r\n"));
    QCOMPARE(formatIrcCommand("TOPIC", {"#c", ""}), QByteArray("TOPIC #c :\r\n"));
    QCOMPARE(formatIrcCommand("CAP", {"END"}), QByteArray("CAP END\r\n"));
    QCOMPARE(formatIrcCommand("PRIVMSG", {"#c", u"€ ü"_s}, true),
             QByteArray("PRIVMSG #c :\xe2\x82\xac \xc3\xbc\r\n"));

    // What is formatted parses back to the same parameters.
    const QStringList params{"#chan", " lead, :inner: and trail"};
    const auto bytes = formatIrcCommand("PRIVMSG", params, true);
    QVERIFY(bytes);
    QCOMPARE(parseIrcLine(*bytes)->params, params);

    // Exactly 512 bytes with CR LF fits; one more does not.
    const QString head = "PRIVMSG #c :";
    const QString fits(512 - 2 - head.size(), 'x');
    QCOMPARE(formatIrcCommand("PRIVMSG", {"#c", fits}, true)->size(), 512);
    QString error;
    QVERIFY(!formatIrcCommand("PRIVMSG", {"#c", fits + "x"}, true, &error));
    QVERIFY(error.contains("513"));
}

void TestIrcMessage::refusesUnsafeCommands()
{
    QString error;
    for (const QString& text : {QString("a\rQUIT"), QString("a\nQUIT"), QString("a") + QChar(0)}) {
        error.clear();
        QVERIFY(!formatIrcCommand("PRIVMSG", {"#c", text}, true, &error));
        QVERIFY(error.contains("line break"));
    }
    QVERIFY(!formatIrcCommand("PRIVMSG", {"#a b", "x"}, true, &error)); // middle with space
    QVERIFY(!formatIrcCommand("PRIVMSG", {":#c", "x"}, true, &error));  // middle with colon
    QVERIFY(!formatIrcCommand("PRIVMSG", {"", "x"}, true, &error));     // empty middle
    QVERIFY(!formatIrcCommand("PRIV MSG", {"x"}, false, &error));
    QVERIFY(!formatIrcCommand("", {"x"}, false, &error));
}

void TestIrcMessage::checksNamesAndFoldsCase()
{
    for (const char* good : {"alice", "a", "[x]", "_under", "b-o-b", "n1ck", "`^{|}\\"})
        QVERIFY2(isValidIrcNick(good), good);
    for (const char* bad : {"", "1abc", "-dash", "a b", "a.b", "a!b", "a@b", "a,b", "é"})
        QVERIFY2(!isValidIrcNick(bad), bad);
    QVERIFY(isValidIrcNick("abcdefghij", 10));
    QVERIFY(!isValidIrcNick("abcdefghij", 9));

    QCOMPARE(nickFromName("john.doe"), QString("johndoe"));
    QCOMPARE(nickFromName("9lives"), QString("x9lives"));
    QCOMPARE(nickFromName("..."), QString("svw"));
    QVERIFY(isValidIrcNick(nickFromName(u"Jörg-2"_s)));
    // Cut to what a nick may be, whatever the name's length.
    QCOMPARE(nickFromName(QString(70, 'a')), QString(64, 'a'));
    QCOMPARE(nickFromName("9abcdefghijk", kIrcMinNickLength), QString("x9abcdefg"));

    for (const char* good : {"#c", "&local", "##x", "#café",
                             "#a234567890123456789012345678901234567890123456789012345678901234"})
        QVERIFY2(isValidIrcChannel(QString::fromUtf8(good)), good);
    for (const QString& bad :
         {QString("c"), QString("#"), QString("#a b"), QString("#a,b"), QString("#a:b"),
          QString("#a\x07"), QString("+c"), "#" + QString(kIrcMaxChannelBytes, 'x')})
        QVERIFY2(!isValidIrcChannel(bad), qPrintable(bad));

    QCOMPARE(ircFolded("Nick[]\\^", IrcCaseMapping::Rfc1459), QString("nick{}|~"));
    QCOMPARE(ircFolded("Nick[]\\^", IrcCaseMapping::Ascii), QString("nick[]\\^"));
    QCOMPARE(caseMappingFromName("ascii"), IrcCaseMapping::Ascii);
    QCOMPARE(caseMappingFromName("rfc1459"), IrcCaseMapping::Rfc1459);
    QCOMPARE(caseMappingFromName("strict-rfc1459"), IrcCaseMapping::Rfc1459);
}

void TestIrcMessage::findsAlternateNicks()
{
    QCOMPARE(alternateNick("alice", 1, 9), QString("alice1"));
    QCOMPARE(alternateNick("alice", 12, 9), QString("alice12"));
    // Within the server's limit: the nick is cut to make room for the number.
    QCOMPARE(alternateNick("abcdefghi", 1, 9), QString("abcdefgh1"));
    QCOMPARE(alternateNick("abcdefghi", 10, 9), QString("abcdefg10"));
    // The number never grows past two digits, so lines keep fitting.
    QCOMPARE(alternateNick("al", 100, 9), QString("al1"));
    for (int attempt = 1; attempt < 300; ++attempt) {
        const QString nick = alternateNick("abcdefghi", attempt, 9);
        QVERIFY(nick.size() <= 9);
        QVERIFY(isValidIrcNick(nick));
    }
}

void TestIrcMessage::pacesLinesAndBytes()
{
    // A burst of three, then one line every 1000 ms.
    IrcPacer lines(IrcPacing{3, 1000, 0, 0});
    lines.reset(0);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(lines.delayMs(0), 0);
        lines.consume(0, 10);
    }
    QCOMPARE(lines.delayMs(0), 1000);
    QCOMPARE(lines.delayMs(400), 600);
    QCOMPARE(lines.delayMs(1000), 0);
    lines.consume(1000, 10);
    QCOMPARE(lines.delayMs(1000), 1000);
    // A long pause refills the burst, but never beyond it.
    QCOMPARE(lines.delayMs(60000), 0);
    for (int i = 0; i < 3; ++i)
        lines.consume(60000, 10);
    QCOMPARE(lines.delayMs(60000), 1000);

    // Bytes: 100 at once, 100 a second; a long line may overdraw and is
    // then paid back before the next goes.
    IrcPacer bytes(IrcPacing{100, 0, 100, 100});
    bytes.reset(0);
    QCOMPARE(bytes.delayMs(0), 0);
    bytes.consume(0, 300);
    QCOMPARE(bytes.delayMs(0), 2000);
    QCOMPARE(bytes.delayMs(1500), 500);
    QCOMPARE(bytes.delayMs(2000), 0);

    // Both limits: the later one rules.
    IrcPacer both(IrcPacing{1, 500, 100, 0});
    both.reset(0);
    both.consume(0, 150);
    QCOMPARE(both.delayMs(0), 1500);

    IrcPacer none(IrcPacing::unlimited());
    none.reset(0);
    for (int i = 0; i < 1000; ++i)
        none.consume(0, 512);
    QCOMPARE(none.delayMs(0), 0);
}

QTEST_GUILESS_MAIN(TestIrcMessage)
#include "tst_irc_message.moc"
