// SPDX-License-Identifier: GPL-3.0-or-later
#include "ansi_code.h"

#include <QSet>
#include <QTest>

using namespace svw;

class TestAnsiCode : public QObject
{
    Q_OBJECT

private slots:
    void everyCodeIsOneCharacterAndBack()
    {
        QSet<char16_t> seen;
        for (int code = 0; code < 256; ++code) {
            const QChar ch = charOfAnsiCode(AnsiCode(code));
            QVERIFY2(!seen.contains(ch.unicode()), qPrintable(QString::number(code)));
            seen.insert(ch.unicode());
            QCOMPARE(ansiCodeOf(ch), std::optional<AnsiCode>(AnsiCode(code)));
        }
    }

    void windows1252Characters_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("unicode");
        QTest::newRow("A") << 65 << 0x41;
        QTest::newRow("euro") << 0x80 << 0x20AC;
        QTest::newRow("low double quote") << 0x84 << 0x201E;
        QTest::newRow("S caron") << 0x8A << 0x160;
        QTest::newRow("trade mark") << 0x99 << 0x2122;
        QTest::newRow("Y diaeresis") << 0x9F << 0x178;
        QTest::newRow("no-break space") << 0xA0 << 0xA0;
        QTest::newRow("masculine ordinal") << 0xBA << 0xBA;
        QTest::newRow("N tilde") << 0xD1 << 0xD1;
        QTest::newRow("y diaeresis") << 0xFF << 0xFF;
        // Unassigned in Windows-1252: the control characters of the same number.
        QTest::newRow("129") << 129 << 129;
        QTest::newRow("141") << 141 << 141;
        QTest::newRow("143") << 143 << 143;
        QTest::newRow("144") << 144 << 144;
        QTest::newRow("157") << 157 << 157;
    }

    void windows1252Characters()
    {
        QFETCH(int, code);
        QFETCH(int, unicode);
        QCOMPARE(charOfAnsiCode(AnsiCode(code)).unicode(), char16_t(unicode));
    }

    void charactersOutsideTheCodePage()
    {
        QVERIFY(!ansiCodeOf(QChar(0x80))); // a C1 control whose code is the euro sign's
        QVERIFY(!ansiCodeOf(QChar(0x9F)));
        QVERIFY(!ansiCodeOf(QChar(0x4E2D))); // a CJK ideograph
        QVERIFY(!ansiCodeOf(QChar(0x0100))); // A macron, just past Latin-1
        QVERIFY(!ansiCodeOf(QChar(0xD83D))); // half of a surrogate pair
    }

    void byteConversions()
    {
        const QString text = QStringLiteral("a\u20AC\u00D1\u4E2D\u0081");
        QCOMPARE(toAnsiBytes(text), QByteArray("a\x80\xD1?\x81"));
        QCOMPARE(fromAnsiBytes(QByteArray("a\x80\xD1\x81\x00", 5)),
                 QStringLiteral("a\u20AC\u00D1\u0081") + QChar(0));
    }

    void describingCharacters()
    {
        QCOMPARE(describeCharacter(u"x\u20ACy", 1), QStringLiteral("\"\u20AC\" (U+20AC)"));
        QCOMPARE(describeCharacter(u"\U0001F600", 0), QStringLiteral("\"\U0001F600\" (U+1F600)"));
        QCOMPARE(describeCharacter(u"\u0007", 0), QStringLiteral("U+0007"));
        QCOMPARE(describeCharacter(u"ab", 5), QString());
    }
};

QTEST_GUILESS_MAIN(TestAnsiCode)
#include "tst_ansi_code.moc"
