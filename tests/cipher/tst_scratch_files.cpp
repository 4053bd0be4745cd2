// SPDX-License-Identifier: GPL-3.0-or-later
#include "scratch_sequences.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace svw;

namespace {

QByteArray bytesOf(const QString& name)
{
    QFile f(name);
    if (!f.open(QIODevice::ReadOnly))
        return "<missing>";
    return f.readAll();
}

void writeBytes(const QString& name, const QByteArray& bytes)
{
    QFile f(name);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

QString cipherOf(const QString& plain, const QString& key)
{
    return encodeToString(plain, key).line;
}

} // namespace

// Every test runs in a working directory of its own, as the program does.
class TestScratchFiles : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_previous;

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_dir->path()));
    }

    void cleanup()
    {
        QDir::setCurrent(m_previous);
        m_dir.reset();
    }

    void sendingLeavesHeaderAndCipherBytesInTemp()
    {
        // "Hi" with "ab": 72 + 97 = 169, 105 + 98 = 203.
        const SentLine sent = encipherThroughScratch("Hi", "ab");
        QVERIFY(sent.ok());
        QCOMPARE(sent.cipherLine, QStringLiteral("\u00A9\u00CB"));
        QCOMPARE(bytesOf("temp"), QByteArray("\"SVW Sent\"\r\n\xA9\xCB"));
        QVERIFY(!QFile::exists("Got"));
        QVERIFY(!QFile::exists("message"));
    }

    void eachSendRecreatesTemp()
    {
        QVERIFY(encipherThroughScratch("a much longer line of text", "pw").ok());
        const SentLine sent = encipherThroughScratch("ok", "pw");
        QVERIFY(sent.ok());
        QCOMPARE(bytesOf("temp"), "\"SVW Sent\"\r\n" + toAnsiBytes(cipherOf("ok", "pw")));
        QCOMPARE(sent.cipherLine, cipherOf("ok", "pw"));
    }

    void aLinkUnderTheNameIsReplacedNotWrittenThrough()
    {
        writeBytes("elsewhere", "precious");
        QVERIFY(QFile::link("elsewhere", "temp"));
        QVERIFY(encipherThroughScratch("hello", "pw").ok());
        QCOMPARE(bytesOf("elsewhere"), QByteArray("precious"));
        QVERIFY(!QFileInfo("temp").isSymLink());
        QCOMPARE(bytesOf("temp"), "\"SVW Sent\"\r\n" + toAnsiBytes(cipherOf("hello", "pw")));
    }

    void cipherBytesOfTheWholeCodePageSurviveTheFile()
    {
        // Cipher codes 129..255 (the five unassigned codes among them) pass the file whole.
        QString plain;
        for (int a = 1; a <= 127; ++a)
            plain.append(charOfAnsiCode(AnsiCode(a)));
        const QString key(1, charOfAnsiCode(128));
        const SentLine sent = encipherThroughScratch(plain, key);
        QVERIFY(sent.ok());
        QByteArray expected = "\"SVW Sent\"\r\n";
        for (int a = 1; a <= 127; ++a)
            expected.append(char(a + 128));
        QCOMPARE(bytesOf("temp"), expected);
        QCOMPARE(sent.cipherLine, fromAnsiBytes(expected.mid(12)));
        QCOMPARE(decipherThroughScratch(sent.cipherLine, key).plainLine, plain.left(12));
    }

    void receivingWritesGotAndMessage()
    {
        const QString cipher = cipherOf("See you at 8, ok?", "secret");
        const ReceivedLine got = decipherThroughScratch(cipher, "secret");
        QVERIFY(!got.fileError);
        QVERIFY(!got.stoppedEarly);
        QCOMPARE(got.plainLine, QStringLiteral("See you at 8, ok?"));
        QCOMPARE(bytesOf("Got"), "\"SVW Gotten\"\r\n" + toAnsiBytes(cipher) + "\r\n");
        QCOMPARE(bytesOf("message"), QByteArray("\"SVW Message\"\r\nSee you at 8, ok?"));
        QVERIFY(!QFile::exists("temp"));
    }

    void earlyStopLeavesOnlyWhatDeciphered()
    {
        // Codes 150, 150, 50, 150 with key "a" (97): 53, 53, then 50 - 97 < 0.
        QString cipher;
        for (int c : {150, 150, 50, 150})
            cipher.append(charOfAnsiCode(AnsiCode(c)));
        const ReceivedLine got = decipherThroughScratch(cipher, "a");
        QVERIFY(got.stoppedEarly);
        QVERIFY(!got.fileError);
        QCOMPARE(got.plainLine, QStringLiteral("55"));
        QCOMPARE(bytesOf("message"), QByteArray("\"SVW Message\"\r\n55"));
    }

    void nothingDecipheredReadsBackEmpty_data()
    {
        QTest::addColumn<QString>("cipher");
        QTest::addColumn<QString>("key");
        QTest::newRow("prefix alone") << ""
                                      << "pw";
        QTest::newRow("first character fails") << "AB"
                                               << "zz";
        QTest::newRow("empty password") << "ABC"
                                        << "";
    }

    void nothingDecipheredReadsBackEmpty()
    {
        QFETCH(QString, cipher);
        QFETCH(QString, key);
        const ReceivedLine got = decipherThroughScratch(cipher, key);
        QVERIFY(!got.fileError);
        QCOMPARE(got.plainLine, QString());
        QCOMPARE(bytesOf("message"), QByteArray("\"SVW Message\"\r\n"));
    }

    void carriageReturnEndsTheLineButALoneLineFeedStays()
    {
        const ReceivedLine cut = decipherThroughScratch(cipherOf("one\rtwo", "k"), "k");
        QCOMPARE(cut.plainLine, QStringLiteral("one"));
        QCOMPARE(bytesOf("message"), QByteArray("\"SVW Message\"\r\none\rtwo"));

        const ReceivedLine kept = decipherThroughScratch(cipherOf("one\ntwo", "k"), "k");
        QCOMPARE(kept.plainLine, QStringLiteral("one\ntwo"));

        const ReceivedLine crlf = decipherThroughScratch(cipherOf("one\r\ntwo", "k"), "k");
        QCOMPARE(crlf.plainLine, QStringLiteral("one"));
    }

    void headerIsNeverPartOfTheLine()
    {
        for (const QString& text :
             {QStringLiteral("\"SVW Message\""), QStringLiteral("\"quoted\", then more"),
              QStringLiteral("\""), QStringLiteral("SVW Message")}) {
            QCOMPARE(decipherThroughScratch(cipherOf(text, "pw"), "pw").plainLine, text);
        }
    }

    void readBackSkipsTheRestOfTheHeaderRecord()
    {
        ScratchFiles files;
        writeBytes("message", "\"SVW Message\" trailing, junk\r\nthe line\r\nnext");
        QCOMPARE(files.ReadBack("message"), QStringLiteral("the line"));
        writeBytes("message", "\"SVW Message\"\r\n");
        QCOMPARE(files.ReadBack("message"), QString());
        writeBytes("message", "\"SVW Message\"");
        QCOMPARE(files.ReadBack("message"), QString());
        writeBytes("message", "\"unterminated header");
        QCOMPARE(files.ReadBack("message"), QString());
        QVERIFY(!files.error());

        writeBytes("message", "no header at all\r\nline");
        QCOMPARE(files.ReadBack("message"), QString());
        QVERIFY(files.error());
        QCOMPARE(files.error()->file, QStringLiteral("message"));
    }

    void fileOperationsInOrder()
    {
        ScratchFiles files;
        files.WriteHeader("Got", "SVW Gotten");
        files.WriteLine("Got", QStringLiteral("r\u00E9sum\u00E9"));
        files.CloseAll();
        files.OpenAppend("Got");
        files.AppendChar(QChar(0));
        files.AppendChar(QChar(0x20AC));
        files.CloseAll();
        QVERIFY(!files.error());
        QCOMPARE(bytesOf("Got"), QByteArray("\"SVW Gotten\"\r\nr\xE9sum\xE9\r\n\x00\x80", 24));
        QCOMPARE(files.ReadBack("Got"), QStringLiteral("r\u00E9sum\u00E9"));

        files.WriteLine("nowhere", "x");
        QVERIFY(files.error());
        QCOMPARE(files.error()->file, QStringLiteral("nowhere"));
    }

    // The sequences always close all before the next step; a caller that does
    // not must still find every appended character in its own file.
    void appendedCharactersStayWithTheirFileWhateverComesNext()
    {
        ScratchFiles files;
        files.WriteHeader("Got", "SVW Gotten");
        files.CloseAll();
        files.OpenAppend("Got");
        files.AppendChar('a');
        QCOMPARE(files.ReadBack("Got"), QStringLiteral("a"));

        files.WriteHeader("message", "SVW Message");
        files.CloseAll();
        files.OpenAppend("Got");
        files.AppendChar('b');
        files.OpenAppend("message");
        files.AppendChar('c');
        files.CloseAll();
        QVERIFY(!files.error());
        QCOMPARE(bytesOf("Got"), QByteArray("\"SVW Gotten\"\r\nab"));
        QCOMPARE(bytesOf("message"), QByteArray("\"SVW Message\"\r\nc"));

        // Reopening the append file from the start ends the appending.
        files.OpenAppend("Got");
        files.AppendChar('d');
        files.WriteHeader("Got", "SVW Gotten");
        files.AppendChar('e');
        QVERIFY(files.error());
        QCOMPARE(files.error()->file, QStringLiteral("Got"));
        files.CloseAll();
        QCOMPARE(bytesOf("Got"), QByteArray("\"SVW Gotten\"\r\n"));
    }

    void aDirectoryInTheWayIsReported()
    {
        QVERIFY(QDir().mkdir("temp"));
        const SentLine sent = encipherThroughScratch("hello", "pw");
        QVERIFY(!sent.ok());
        QVERIFY(sent.fileError);
        QCOMPARE(sent.fileError->file, QStringLiteral("temp"));
        QVERIFY(sent.fileError->message().contains("directory"));
        QVERIFY(sent.cipherLine.isEmpty());
    }

    void missingFilesAndDirectoriesAreReported()
    {
        ScratchFiles files;
        QCOMPARE(files.ReadBack("message"), QString());
        QVERIFY(files.error());
        QVERIFY(!files.error()->reason.isEmpty());

        const SentLine sent = encipherThroughScratch("hello", "pw", "no/such/dir");
        QVERIFY(sent.fileError);
        QCOMPARE(sent.fileError->file, QStringLiteral("temp"));
        QVERIFY(sent.cipherLine.isEmpty());
    }

    void receivingStillDeciphersWhenTheFilesFail()
    {
        QVERIFY(QDir().mkdir("message"));
        const ReceivedLine got = decipherThroughScratch(cipherOf("still here\rcut", "pw"), "pw");
        QVERIFY(got.fileError);
        QCOMPARE(got.fileError->file, QStringLiteral("message"));
        QCOMPARE(got.plainLine, QStringLiteral("still here"));
    }

    void refusedSendsSayWhy()
    {
        const SentLine sent = encipherThroughScratch(QStringLiteral("caf\u00E9"), "zz");
        QVERIFY(!sent.ok());
        QVERIFY(sent.cipherError);
        QCOMPARE(sent.cipherError->kind, CipherError::Kind::SumAbove255);
        QVERIFY(sent.cipherLine.isEmpty());
        QCOMPARE(bytesOf("temp"), QByteArray("\"SVW Sent\"\r\n"));

        const ReceivedLine got = decipherThroughScratch(QString(kMaxCipherLength + 1, 'x'), "pw");
        QVERIFY(got.cipherError);
        QVERIFY(got.plainLine.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestScratchFiles)
#include "tst_scratch_files.moc"
