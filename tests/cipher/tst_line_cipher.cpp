// SPDX-License-Identifier: GPL-3.0-or-later
#include "line_cipher.h"

#include <QTest>

using namespace svw;

namespace {

QString fromCodes(std::initializer_list<int> codes)
{
    QString s;
    for (int c : codes)
        s.append(charOfAnsiCode(AnsiCode(c)));
    return s;
}

QList<int> codesOf(const QString& s)
{
    QList<int> codes;
    for (QChar ch : s)
        codes.append(ansiCodeOf(ch).value_or(-1));
    return codes;
}

QString encode(const QString& plain, const QString& key)
{
    const EncodeOutcome out = encodeToString(plain, key);
    // A refusal fails the calling test: two refusals must not compare equal.
    if (out.error)
        QTest::qFail(qPrintable("unexpected refusal: " + out.error->message()), __FILE__, __LINE__);
    return out.line;
}

} // namespace

class TestLineCipher : public QObject
{
    Q_OBJECT

private slots:
    void everyPairWithinTheCodePageRoundTrips()
    {
        // One line per key code b, holding every text code a with a + b <= 255.
        for (int b = 0; b < 256; ++b) {
            QString plain;
            for (int a = 0; a + b <= 255; ++a)
                plain.append(charOfAnsiCode(AnsiCode(a)));
            const QString key(1, charOfAnsiCode(AnsiCode(b)));
            if (plain.isEmpty())
                continue;
            const QString cipher = encode(plain, key);
            QCOMPARE(cipher.size(), plain.size());
            for (int a = 0; a < plain.size(); ++a)
                QCOMPARE(ansiCodeOf(cipher[a]), std::optional<AnsiCode>(AnsiCode(a + b)));
            DecodeResult r;
            QCOMPARE(decodeToString(cipher, key, &r), plain);
            QVERIFY(!r.stoppedEarly);
        }
    }

    void knownCipherBytes_data()
    {
        QTest::addColumn<QString>("plain");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QList<int>>("cipher");
        QTest::newRow("one key character adds the same amount")
            << "abc"
            << "!" << QList<int>{97 + 33, 98 + 33, 99 + 33};
        QTest::newRow("key restarts after its last character")
            << "aaaaaaa"
            << "abc" << QList<int>{194, 195, 196, 194, 195, 196, 194};
        QTest::newRow("key longer than the line uses its start")
            << "Hi"
            << "ab-longer" << QList<int>{72 + 97, 105 + 98};
        QTest::newRow("space and lower-case a give 129") << " "
                                                         << "a" << QList<int>{129};
        QTest::newRow("upper half of the code page")
            << QStringLiteral("\u00BA") << "!" << QList<int>{0xBA + 33};
        QTest::newRow("sum of exactly 255, the last code")
            << QStringLiteral("\u00DE") << "!" << QList<int>{255};
        QTest::newRow("key as typed: case matters") << "xx"
                                                    << "aA" << QList<int>{120 + 97, 120 + 65};
    }

    void knownCipherBytes()
    {
        QFETCH(QString, plain);
        QFETCH(QString, key);
        QFETCH(QList<int>, cipher);
        QCOMPARE(codesOf(encode(plain, key)), cipher);
    }

    void everyLineStartsAtTheFirstKeyCharacter()
    {
        // x = 120, y = 121: "abcd" pairs a, c with x and b, d with y.
        QCOMPARE(codesOf(encode("abcd", "xy")), (QList<int>{217, 219, 219, 221}));
        // "abc" leaves the key at "y"; the next line starts at "x" again
        // (d + x = 220, not d + y = 221).
        QCOMPARE(codesOf(encode("abc", "xy")), (QList<int>{217, 219, 219}));
        QCOMPARE(codesOf(encode("d", "xy")), QList<int>{220});
        // The same text twice gives the same line twice.
        const QList<int> sameText{227, 216, 221, 220, 144, 235, 213, 239, 228};
        QCOMPARE(codesOf(encode("same text", "pw")), sameText);
        QCOMPARE(codesOf(encode("same text", "pw")), sameText);
    }

    void wrongKey()
    {
        const QString cipher = encode("hello there", "abc");
        // Keys agreeing with the right key at some positions get those right.
        DecodeResult r;
        const QString plain = decodeToString(cipher, u"abd", &r);
        QVERIFY(!r.stoppedEarly);
        QCOMPARE(plain.size(), cipher.size());
        for (int k = 0; k < plain.size(); ++k) {
            if (k % 3 == 2)
                QCOMPARE(plain[k].unicode(),
                         char16_t(QStringLiteral("hello there")[k].unicode() - 1));
            else
                QCOMPARE(plain[k], QStringLiteral("hello there")[k]);
        }

        // A key code above the first cipher code stops at once.
        const QString stopped = decodeToString(fromCodes({100, 200}), u"e", &r);
        QVERIFY(stopped.isEmpty());
        QVERIFY(r.stoppedEarly);
        QCOMPARE(r.stopPosition, 1);

        // Stops at the first negative difference, keeping what came before.
        QCOMPARE(decodeToString(fromCodes({150, 150, 50, 150}), u"a", &r), fromCodes({53, 53}));
        QVERIFY(r.stoppedEarly);
        QCOMPARE(r.stopPosition, 3);
    }

    void decodingEdges()
    {
        DecodeResult r;
        QCOMPARE(decodeToString(fromCodes({97}), u"a", &r), QString(QChar(0)));
        QVERIFY(!r.stoppedEarly);

        QCOMPARE(decodeToString(fromCodes({97, 98}), u"", &r), QString());
        QVERIFY(r.stoppedEarly);
        QCOMPARE(r.stopPosition, 1);

        QCOMPARE(decodeToString(QString(), u"", &r), QString());
        QVERIFY(!r.stoppedEarly);

        // A character that no code stands for cannot be deciphered.
        QCOMPARE(decodeToString(QStringLiteral("\u00A1\u4E2D\u00A1"), u"a", &r), QString("@"));
        QVERIFY(r.stoppedEarly);
        QCOMPARE(r.stopPosition, 2);
        QVERIFY(!r.error);
    }

    void refusedLines_data()
    {
        QTest::addColumn<QString>("plain");
        QTest::addColumn<QString>("key");
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("position");
        QTest::addColumn<QString>("named");
        using K = CipherError::Kind;
        QTest::newRow("empty line") << ""
                                    << "pw" << int(K::EmptyLine) << 0 << "";
        QTest::newRow("empty key") << "hi"
                                   << "" << int(K::EmptyKey) << 0 << "";
        QTest::newRow("text outside the code page")
            << QStringLiteral("ab\u4E2Dc") << "pw" << int(K::TextOutsideCodePage) << 3
            << QStringLiteral("U+4E2D");
        QTest::newRow("emoji") << QStringLiteral("\U0001F600") << "pw"
                               << int(K::TextOutsideCodePage) << 1 << QStringLiteral("U+1F600");
        QTest::newRow("key outside the code page")
            << "hi" << QStringLiteral("p\u0100") << int(K::KeyOutsideCodePage) << 2
            << QStringLiteral("U+0100");
        QTest::newRow("sum above 255") << QStringLiteral("ab\u00E9") << "zzz" << int(K::SumAbove255)
                                       << 3 << QStringLiteral("U+00E9");
        // 214 + 42: one past the last code, which must not wrap round to 0.
        QTest::newRow("sum of exactly 256") << QStringLiteral("a\u00D6") << "**"
                                            << int(K::SumAbove255) << 2 << QStringLiteral("U+00D6");
        QTest::newRow("line too long")
            << QString(kMaxCipherLength + 1, 'a') << "pw" << int(K::LineTooLong) << 0 << "32767";
        QTest::newRow("key too long")
            << "hi" << QString(kMaxCipherLength + 1, 'k') << int(K::KeyTooLong) << 0 << "32767";
    }

    void refusedLines()
    {
        QFETCH(QString, plain);
        QFETCH(QString, key);
        QFETCH(int, kind);
        QFETCH(int, position);
        QFETCH(QString, named);
        int emitted = 0;
        const auto error = EncodeLine(plain, key, [&](QChar) { ++emitted; });
        QVERIFY(error.has_value());
        QCOMPARE(int(error->kind), kind);
        QCOMPARE(error->position, position);
        QVERIFY2(error->message().contains(named), qPrintable(error->message()));
        QCOMPARE(emitted, 0); // a refused line leaves nothing behind
    }

    void longestLinesAreAccepted()
    {
        const QString plain(kMaxCipherLength, 'q');
        const QString key(kMaxCipherLength, '!');
        const QString cipher = encode(plain, key);
        QCOMPARE(cipher.size(), kMaxCipherLength);
        QCOMPARE(decodeToString(cipher, key), plain);

        DecodeResult r;
        QVERIFY(decodeToString(cipher + 'x', key, &r).isEmpty());
        QVERIFY(r.error);
        QCOMPARE(r.error->kind, CipherError::Kind::LineTooLong);
    }
};

QTEST_GUILESS_MAIN(TestLineCipher)
#include "tst_line_cipher.moc"
