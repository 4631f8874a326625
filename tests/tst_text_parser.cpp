#include "text/parser.h"

#include <QTest>

#include <string>

using namespace jf;

class TestParser : public QObject
{
    Q_OBJECT

private slots:
    void splitTokens_data();
    void splitTokens();
};

// Only blanks and tabs separate; every other byte, CR and NUL included, is part of a word.
void TestParser::splitTokens_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QList<QByteArray>>("items");
    QTest::newRow("blanks and a tab")
        << QByteArray("  v  1.5\t-2 3") << QList<QByteArray>{"v", "1.5", "-2", "3"};
    QTest::newRow("two tabs separate once") << QByteArray("\ta\t\tb ") << QList<QByteArray>{"a", "b"};
    QTest::newRow("word to the end") << QByteArray("v") << QList<QByteArray>{"v"};
    QTest::newRow("blanks only") << QByteArray(" \t ") << QList<QByteArray>{};
    QTest::newRow("empty") << QByteArray() << QList<QByteArray>{};
    QTest::newRow("other bytes are content")
        << QByteArray("\r \xff\xfe x\r") << QList<QByteArray>{"\r", "\xff\xfe", "x\r"};
    QTest::newRow("NUL is content") << QByteArray("a\0b c", 5)
                                    << QList<QByteArray>{QByteArray("a\0b", 3), "c"};
    // Far beyond the 32,767 characters that a 16-bit count would allow.
    const QByteArray word(100000, 'x');
    QTest::newRow("long words") << "f " + word + "\t" + word + " " << QList<QByteArray>{"f", word, word};
}

void TestParser::splitTokens()
{
    QFETCH(QByteArray, line);
    QFETCH(QList<QByteArray>, items);
    const std::string text = line.toStdString();
    QCOMPARE(QByteArray::fromStdString(std::string(FirstWord(text))), items.value(0));
    TokenList tokens;
    SplitTokens("f 1 2 3 4 5 6", tokens); // a list in use is refilled, not added to
    SplitTokens(text, tokens);
    QCOMPARE(tokens.Count(), static_cast<std::size_t>(items.size()));
    for (std::size_t i = 1; i <= tokens.Count(); ++i)
        QCOMPARE(QByteArray::fromStdString(std::string(tokens.Item(i))), items[qsizetype(i - 1)]);
}

QTEST_APPLESS_MAIN(TestParser)
#include "tst_text_parser.moc"
