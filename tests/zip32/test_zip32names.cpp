// The engine's pure helpers: wildcard matching, path clean-up, stored
// names and UTF-8 checks, and how long messages are cut.
#include "messages/Messenger.h"
#include "names/Names.h"
#include "platform/Platform.h"

#include <QtTest>

using namespace zip32;


namespace {
std::vector<std::pair<std::string, uint32_t>> g_pieces;
int32_t ZIP32_CALL collect(const char *buffer, uint32_t length)
{
    g_pieces.emplace_back(std::string(buffer, length), static_cast<uint32_t>(std::strlen(buffer)));
    return 0;
}
} // namespace

class TestZip32Names : public QObject {
    Q_OBJECT

private slots:
    void wildcard_data()
    {
        QTest::addColumn<QByteArray>("pattern");
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<bool>("match");
        QTest::newRow("*.* with a dot") << QByteArray("*.*") << QByteArray("a.txt") << true;
        QTest::newRow("*.* without a dot") << QByteArray("*.*") << QByteArray("Makefile") << true;
        QTest::newRow("*.* with many dots") << QByteArray("*.*") << QByteArray("a.b.c") << true;
        QTest::newRow("* matches all") << QByteArray("*") << QByteArray("x") << true;
        QTest::newRow("extension") << QByteArray("*.txt") << QByteArray("a.txt") << true;
        QTest::newRow("other extension") << QByteArray("*.txt") << QByteArray("a.txt.bak") << false;
        QTest::newRow("case matters") << QByteArray("*.TXT") << QByteArray("a.txt") << false;
        QTest::newRow("? one byte") << QByteArray("a?c") << QByteArray("abc") << true;
        QTest::newRow("? one character") << QByteArray("a?c") << QByteArray("a\xc3\xbc" "c") << true;
        QTest::newRow("? not zero") << QByteArray("a?c") << QByteArray("ac") << false;
        QTest::newRow("prefix.*, no dot") << QByteArray("read*.*") << QByteArray("readme") << true;
        QTest::newRow("prefix.*, other name") << QByteArray("read*.*") << QByteArray("other") << false;
        QTest::newRow("backtracking") << QByteArray("*ab*ab") << QByteArray("xabyabab") << true;
        QTest::newRow("literal") << QByteArray("name") << QByteArray("name") << true;
        QTest::newRow("empty name") << QByteArray("*.*") << QByteArray("") << true;
    }
    void wildcard()
    {
        QFETCH(QByteArray, pattern);
        QFETCH(QByteArray, name);
        QFETCH(bool, match);
        QCOMPARE(wildcardMatch(pattern.toStdString(), name.toStdString()), match);
    }

    void paths_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("root");
        QTest::addColumn<bool>("ignorePath");
        QTest::addColumn<QByteArray>("normalised");
        QTest::addColumn<QByteArray>("stored");
        QTest::newRow("root /") << QByteArray("/a/b/c.txt") << QByteArray("/") << false << QByteArray("/a/b/c.txt") << QByteArray("a/b/c.txt");
        QTest::newRow("under the root") << QByteArray("/r/x/y") << QByteArray("/r") << false << QByteArray("/r/x/y") << QByteArray("x/y");
        QTest::newRow("root prefix is not a parent") << QByteArray("/rx/y") << QByteArray("/r") << false << QByteArray("/rx/y") << QByteArray("rx/y");
        QTest::newRow("dots and slashes") << QByteArray("//a/./b//../c/") << QByteArray("/") << false << QByteArray("/a/c") << QByteArray("a/c");
        QTest::newRow("never above /") << QByteArray("/../../etc/x") << QByteArray("/") << false << QByteArray("/etc/x") << QByteArray("etc/x");
        QTest::newRow("the root itself") << QByteArray("/r") << QByteArray("/r") << false << QByteArray("/r") << QByteArray("");
        QTest::newRow("ignore path") << QByteArray("/r/x/y.txt") << QByteArray("/r") << true << QByteArray("/r/x/y.txt") << QByteArray("y.txt");
    }
    void paths()
    {
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, root);
        QFETCH(bool, ignorePath);
        QFETCH(QByteArray, normalised);
        QFETCH(QByteArray, stored);
        const std::string n = normalizePath(path.toStdString());
        QCOMPARE(QByteArray::fromStdString(n), normalised);
        const std::string s = storedName(n, root.toStdString(), ignorePath);
        QCOMPARE(QByteArray::fromStdString(s), stored);
        QVERIFY(s.find("..") == std::string::npos);
    }

    void utf8_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<bool>("ascii");
        QTest::newRow("ascii") << QByteArray("plain.txt") << true << true;
        QTest::newRow("umlaut") << QByteArray("\xc3\xbc") << true << false;
        QTest::newRow("four bytes") << QByteArray("\xf0\x9d\x84\x9e") << true << false;
        QTest::newRow("latin-1") << QByteArray("caf\xe9") << false << false;
        QTest::newRow("overlong") << QByteArray("\xc0\xaf") << false << false;
        QTest::newRow("surrogate") << QByteArray("\xed\xa0\x80") << false << false;
        QTest::newRow("beyond U+10FFFF") << QByteArray("\xf4\x90\x80\x80") << false << false;
        QTest::newRow("cut short") << QByteArray("\xe2\x82") << false << false;
    }
    void utf8()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, valid);
        QFETCH(bool, ascii);
        QCOMPARE(isValidUtf8(text.toStdString()), valid);
        QCOMPARE(isAscii(text.toStdString()), ascii);
    }

    // Control characters in a line (from file names) arrive as printable
    // characters: the line stays one line and sends a terminal no command.
    void controlCharactersShown_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("shown");
        QTest::newRow("escape sequence") << QByteArray("a\x1b[31mred") << QByteArray("a\xe2\x90\x9b[31mred");
        QTest::newRow("line breaks and NUL") << QByteArray("one\ntwo\r\0", 9) << QByteArray("one\xe2\x90\x8atwo\xe2\x90\x8d\xe2\x90\x80");
        QTest::newRow("DEL") << QByteArray("x\x7f") << QByteArray("x\xe2\x90\xa1");
        QTest::newRow("C1 controls in UTF-8") << QByteArray("\xc2\x85next\xc2\x9b") << QByteArray("\xef\xbf\xbdnext\xef\xbf\xbd");
        QTest::newRow("bytes not UTF-8 kept beside BEL") << QByteArray("caf\xe9\x85\x07") << QByteArray("caf\xe9\x85\xe2\x90\x87");
        QTest::newRow("UTF-8 kept beside SOH") << QByteArray("\xc3\xbc\xe2\x82\xac\x01") << QByteArray("\xc3\xbc\xe2\x82\xac\xe2\x90\x81");
    }
    void controlCharactersShown()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, shown);
        g_pieces.clear();
        Messenger m(collect);
        m.line(std::string_view(text.constData(), size_t(text.size())));
        QCOMPARE(g_pieces.size(), size_t(1));
        QCOMPARE(QByteArray::fromStdString(g_pieces[0].first), shown + "\n");
    }

    void longLinesAreCut_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<QByteArray>("unit");
        QTest::newRow("short") << 10 << QByteArray("a");
        QTest::newRow("exactly one buffer") << 4095 << QByteArray("a");
        QTest::newRow("one byte over") << 4096 << QByteArray("a");
        QTest::newRow("three-byte characters") << 3000 << QByteArray("\xe2\x82\xac");
        QTest::newRow("four-byte characters") << 2000 << QByteArray("\xf0\x9d\x84\x9e");
    }
    void longLinesAreCut()
    {
        QFETCH(int, length);
        QFETCH(QByteArray, unit);
        std::string text;
        for (int i = 0; i < length; ++i)
            text += unit.toStdString();
        g_pieces.clear();
        Messenger m(collect);
        m.line(text);
        std::string joined;
        for (const auto &[piece, untilNul] : g_pieces) {
            QVERIFY(piece.size() <= Messenger::kMaxPiece);
            QCOMPARE(untilNul, static_cast<uint32_t>(piece.size()));
            QVERIFY(isValidUtf8(piece));
            joined += piece;
        }
        QCOMPARE(joined, text + "\n");
    }
};

QTEST_GUILESS_MAIN(TestZip32Names)
#include "test_zip32names.moc"
