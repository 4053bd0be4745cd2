// SPDX-License-Identifier: GPL-3.0-or-later
// What the conversation box shows of a text from outside: one line of the
// box, in the order it was said, whatever characters it carries.

#include "shown_text.h"

#include <QTest>

using namespace svw;
using namespace Qt::StringLiterals;

class ShownText : public QObject
{
    Q_OBJECT

private slots:
    void separatorsNeverBreakALine_data()
    {
        QTest::addColumn<QString>("plain");
        QTest::addColumn<QString>("shown");
        QTest::newRow("paragraph separator")
            << u"see you\u2029ann  :  I quit"_s << u"see you\u00B6ann  :  I quit"_s;
        QTest::newRow("line separator") << u"a\u2028b"_s << u"a\u2424b"_s;
        QTest::newRow("next line (C1)") << u"a\u0085b"_s << u"a\uFFFDb"_s;
        QTest::newRow("line feed, return") << u"a\r\nb"_s << u"a\u240D\u240Ab"_s;
        QTest::newRow("vertical tab, form feed") << u"a\u000B\u000Cb"_s << u"a\u240B\u240Cb"_s;
    }
    void separatorsNeverBreakALine()
    {
        QFETCH(QString, plain);
        QFETCH(QString, shown);
        QCOMPARE(shownText(plain), shown);
    }

    void directionAndInvisibleFormatShowAsSymbols_data()
    {
        QTest::addColumn<QString>("plain");
        QTest::addColumn<QString>("shown");
        // "evil.exe" would read "exe.live" after a right-to-left override.
        QTest::newRow("override") << u"li\u202Eexe.ve"_s << u"li\uFFFDexe.ve"_s;
        QTest::newRow("embeddings, pop")
            << u"\u202A\u202B\u202C\u202Dx"_s << u"\uFFFD\uFFFD\uFFFD\uFFFDx"_s;
        QTest::newRow("isolates") << u"\u2066\u2067\u2068\u2069x"_s
                                  << u"\uFFFD\uFFFD\uFFFD\uFFFDx"_s;
        QTest::newRow("marks") << u"\u200E\u200F\u061Cx"_s << u"\uFFFD\uFFFD\uFFFDx"_s;
        QTest::newRow("zero width, BOM, soft hyphen")
            << u"a\u200Bb\uFEFFc\u00ADd\u2060e"_s << u"a\uFFFDb\uFFFDc\uFFFDd\uFFFDe"_s;
        // Outside the basic plane: a tag character hides text from the eye.
        QTest::newRow("tag") << u"a\U000E0041b"_s << u"a\uFFFDb"_s;
        QTest::newRow("half a pair")
            << u"a"_s + QChar(0xD800) + u"b"_s + QChar(0xDC00) << u"a\uFFFDb\uFFFD"_s;
    }
    void directionAndInvisibleFormatShowAsSymbols()
    {
        QFETCH(QString, plain);
        QFETCH(QString, shown);
        QCOMPARE(shownText(plain), shown);
    }

    void writingStaysAsItIs()
    {
        // Joiners build emoji and shape scripts; characters outside the
        // basic plane and right-to-left letters are text.
        const QString text =
            u"\U0001F469\u200D\U0001F4BB \u0645\u06CC\u200C\u062E\u0648\u0627\u0647\u0645 "
            u"\u05E9\u05DC\u05D5\u05DD \U0001F30D Gr\u00FC\u00DFe\tok"_s;
        QCOMPARE(shownText(text), text);
    }

    void linesAndNotes()
    {
        // The sender is a nick from the room: the same rules.
        QCOMPARE(shownLine(u"mallory\u2029h2"_s, u"hi\u202E"_s), u"mallory\u00B6h2  :  hi\uFFFD"_s);
        // A note keeps its own line feeds, nothing else.
        QCOMPARE(shownNote(u"Nick \u2029eve\u202E taken.\n\nTry again."_s),
                 u"Nick \u00B6eve\uFFFD taken.\n\nTry again."_s);
    }
};

QTEST_APPLESS_MAIN(ShownText)
#include "tst_shown_text.moc"
