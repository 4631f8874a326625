#include "text/parser.h"

#include <QTest>

#include <string>

using namespace jf;

class TestParser : public QObject
{
    Q_OBJECT

private slots:
    void firstWord_data();
    void firstWord();
    void splitTokens_data();
    void splitTokens();
    void splitTokensRefillsTheList();
    void longLinesWork();
};

void TestParser::firstWord_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("word");
    QTest::newRow("leading blanks") << QByteArray("  v 1.0 2.0 3.0") << QByteArray("v");
    QTest::newRow("leading tab") << QByteArray("\tusemtl red") << QByteArray("usemtl");
    QTest::newRow("comment") << QByteArray("#comment more") << QByteArray("#comment");
    QTest::newRow("empty") << QByteArray("") << QByteArray("");
    QTest::newRow("blanks only") << QByteArray("   ") << QByteArray("");
    QTest::newRow("tab blank tab") << QByteArray("\t \t") << QByteArray("");
    QTest::newRow("word to the end") << QByteArray("v") << QByteArray("v");
    QTest::newRow("vn") << QByteArray("vn 0 0 1") << QByteArray("vn");
    QTest::newRow("carriage return is content") << QByteArray("\r") << QByteArray("\r");
    QTest::newRow("NUL is content") << QByteArray("a\0b c", 5) << QByteArray("a\0b", 3);
}

void TestParser::firstWord()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, word);
    const std::string text(line.constData(), static_cast<std::size_t>(line.size()));
    QCOMPARE(QByteArray::fromStdString(std::string(FirstWord(text))), word);
}

void TestParser::splitTokens_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QList<QByteArray>>("items");
    QTest::newRow("blanks and a tab")
        << QByteArray("v  1.5\t-2 3") << QList<QByteArray>{"v", "1.5", "-2", "3"};
    QTest::newRow("quad") << QByteArray("f 1/1/1 2/2/2 3/3/3 4/4/4")
                          << QList<QByteArray>{"f", "1/1/1", "2/2/2", "3/3/3", "4/4/4"};
    QTest::newRow("two tabs separate once") << QByteArray("a\t\tb") << QList<QByteArray>{"a", "b"};
    QTest::newRow("trimmed") << QByteArray(" a ") << QList<QByteArray>{"a"};
    QTest::newRow("blanks only") << QByteArray(" \t ") << QList<QByteArray>{};
    QTest::newRow("empty") << QByteArray() << QList<QByteArray>{};
    QTest::newRow("other bytes are content")
        << QByteArray("f\x01 \xff\xfe x\r") << QList<QByteArray>{"f\x01", "\xff\xfe", "x\r"};
}

void TestParser::splitTokens()
{
    QFETCH(QByteArray, line);
    QFETCH(QList<QByteArray>, items);
    const std::string text = line.toStdString();
    const std::string before = text;
    TokenList tokens;
    SplitTokens(text, tokens);
    QCOMPARE(tokens.Count(), static_cast<std::size_t>(items.size()));
    for (std::size_t i = 1; i <= tokens.Count(); ++i)
        QCOMPARE(QByteArray::fromStdString(std::string(tokens.Item(i))), items[qsizetype(i - 1)]);
    QCOMPARE(text, before);
}

void TestParser::splitTokensRefillsTheList()
{
    TokenList tokens;
    SplitTokens("f 1 2 3 4", tokens);
    SplitTokens("v 1", tokens);
    QCOMPARE(tokens.Count(), std::size_t(2));
    QCOMPARE(tokens.Item(2), std::string_view("1"));
}

void TestParser::longLinesWork()
{
    // Far beyond the 32,767 characters that a 16-bit count would allow.
    const std::string word(100000, 'x');
    QCOMPARE(FirstWord(word).size(), word.size());
    std::string line = "f " + word + "\t" + word + " ";
    TokenList tokens;
    SplitTokens(line, tokens);
    QCOMPARE(tokens.Count(), std::size_t(3));
    QCOMPARE(tokens.Item(3).size(), word.size());
}

QTEST_APPLESS_MAIN(TestParser)
#include "tst_text_parser.moc"
