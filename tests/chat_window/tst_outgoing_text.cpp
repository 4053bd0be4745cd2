// SPDX-License-Identifier: GPL-3.0-or-later
// Cutting a long outgoing text into room lines, and how deciphered text is
// shown.

#include "ansi_code.h"
#include "line_cipher.h"
#include "outgoing_pieces.h"
#include "shown_text.h"

#include <QTest>

using namespace svw;

namespace {

// A room whose lines may hold at most `limit` characters.
FitsOneLine atMost(qsizetype limit)
{
    return [limit](const QString& line) {
        return line.size() <= limit;
    };
}

} // namespace

class OutgoingText : public QObject
{
    Q_OBJECT

private slots:
    void fittingTextIsOnePiece()
    {
        const OutgoingPieces result = splitOutgoingText("hello world", "key", "-|?|-", atMost(16));
        QVERIFY(!result.error);
        QCOMPARE(result.pieces, QStringList{"hello world"});
    }

    void longestPiecesThatFit_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qsizetype>("limit");
        QTest::addColumn<QStringList>("pieces");
        QTest::newRow("even") << "abcdefgh" << qsizetype(9) << QStringList{"abcd", "efgh"};
        QTest::newRow("rest") << "abcdefghij" << qsizetype(8)
                              << QStringList{"abc", "def", "ghi", "j"};
        QTest::newRow("one a line") << "abc" << qsizetype(6) << QStringList{"a", "b", "c"};
        QTest::newRow("spaces inside pieces")
            << "a b c d " << qsizetype(8) << QStringList{"a b", " c ", "d "};
    }

    void longestPiecesThatFit()
    {
        QFETCH(QString, text);
        QFETCH(qsizetype, limit);
        QFETCH(QStringList, pieces);
        const OutgoingPieces result = splitOutgoingText(text, "key", "-|?|-", atMost(limit));
        QVERIFY(!result.error);
        QCOMPARE(result.pieces, pieces);
        QCOMPARE(result.pieces.join(QString()), text);
    }

    void fitIsJudgedOnTheCipher()
    {
        // A room that counts bytes in UTF-8. "a" + "!" = 130, which is "‚"
        // (three bytes); " " + "!" = 65, "A" (one byte). Six bytes fit.
        const FitsOneLine utf8Bytes = [](const QString& line) {
            return line.toUtf8().size() <= 11;
        };
        const OutgoingPieces result = splitOutgoingText("aaaa    ", "!", "-|?|-", utf8Bytes);
        QVERIFY(!result.error);
        QCOMPARE(result.pieces, (QStringList{"aa", "aa", "    "}));
        const OutgoingPieces spaces = splitOutgoingText("      ", "!", "-|?|-", utf8Bytes);
        QCOMPARE(spaces.pieces, (QStringList{"      "}));
    }

    void noRoomLineEndsInWhiteSpace()
    {
        // With key code 1, text code 31 enciphers to a space and 8 to a tab.
        // Three cipher characters fit behind "P": the first cut would fall
        // after the tab, the next after the space; each moves one back.
        const QString key(QChar(1));
        const QChar toTab(8), toSpace(31);
        const QString text = QStringLiteral("ab") + toTab + 'c' + toSpace + QStringLiteral("ef");
        const OutgoingPieces result = splitOutgoingText(text, key, "P", atMost(4));
        QVERIFY(!result.error);
        QCOMPARE(result.pieces, (QStringList{QStringLiteral("ab"), toTab + QStringLiteral("c"),
                                             toSpace + QStringLiteral("ef")}));
    }

    void notEvenOneCharacterFits()
    {
        const OutgoingPieces result = splitOutgoingText("hello", "key", "-|?|-", atMost(5));
        QVERIFY(result.error);
        QVERIFY(result.error->contains(QStringLiteral("\"-|?|-\"")));
        QVERIFY(result.pieces.isEmpty());
    }

    void cipherErrorsNameThePlaceInTheWholeText()
    {
        // "日" at position 6 of the whole text, in the second piece.
        const OutgoingPieces outside =
            splitOutgoingText(QString::fromUtf8("abcde日fg"), "key", "-|?|-", atMost(8));
        QVERIFY(outside.error);
        QVERIFY2(outside.error->contains(QStringLiteral("position 6")), qPrintable(*outside.error));
        QVERIFY(outside.pieces.isEmpty());

        // A fitting line that cannot be enciphered is refused as a whole.
        const OutgoingPieces sum =
            splitOutgoingText(QString::fromUtf8("aÿ"), "k", "-|?|-", atMost(99));
        QVERIFY(sum.error);
        QVERIFY2(sum.error->contains(QString::fromUtf8("ÿ")), qPrintable(*sum.error));
    }

    void pieceStartsTheKeyAgainWhereTheSumWouldOverflow()
    {
        // "ÿ" (255) goes past the code page with every key character but
        // code 0. With "AA" no cut helps: refused, naming its place.
        const OutgoingPieces result =
            splitOutgoingText(QStringLiteral("bbbbÿ"), "AA", "P", atMost(3));
        QVERIFY(result.error);
        QVERIFY2(result.error->contains(QStringLiteral("position 5")), qPrintable(*result.error));
        QVERIFY(result.pieces.isEmpty());

        // Where the first key character is small enough the cut before the
        // character lets it through.
        const QString smallFirst = QString(QChar(0)) + QStringLiteral("z");
        const OutgoingPieces through =
            splitOutgoingText(QString::fromUtf8("bbbÿ"), smallFirst, "P", atMost(4));
        QVERIFY2(!through.error, qPrintable(through.error.value_or(QString())));
        QCOMPARE(through.pieces.join(QString()), QString::fromUtf8("bbbÿ"));
        QCOMPARE(through.pieces.last(), QString::fromUtf8("ÿ"));
    }

    void piecesNeverPassTheCipherLimit()
    {
        const QString text(kMaxCipherLength + 10, QLatin1Char('x'));
        const OutgoingPieces result =
            splitOutgoingText(text, "k", "-|?|-", [](const QString&) { return true; });
        QVERIFY(!result.error);
        QCOMPARE(result.pieces.size(), 2);
        QCOMPARE(result.pieces[0].size(), kMaxCipherLength);
        QCOMPARE(result.pieces[1].size(), 10);
    }

    void shownText()
    {
        QCOMPARE(svw::shownText(u"plain text, Ñ €"), QString::fromUtf8("plain text, Ñ €"));
        QCOMPARE(svw::shownText(QStringLiteral("a\tb\nc")),
                 QStringLiteral("a\tb") + QChar(0x240A) + QStringLiteral("c"));
        const QString controls =
            QString(QChar(0)) + QChar(0x1B) + QChar(0x1F) + QChar(0x7F) + QChar(0x81) + QChar(0x9D);
        const QString pictures = QString(QChar(0x2400)) + QChar(0x241B) + QChar(0x241F) +
                                 QChar(0x2421) + QChar(0xFFFD) + QChar(0xFFFD);
        QCOMPARE(svw::shownText(controls), pictures);
        QCOMPARE(svw::shownLine("bob", u"hi"), QStringLiteral("bob  :  hi"));
    }
};

QTEST_APPLESS_MAIN(OutgoingText)
#include "tst_outgoing_text.moc"
