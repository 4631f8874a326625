#include "text/exactnumber.h"
#include "text/number.h"

#include <QRandomGenerator>
#include <QTest>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

using namespace jf;

class TestNumber : public QObject
{
    Q_OBJECT

private slots:
    void textToNumber_data();
    void textToNumber();
    void printNumber_data();
    void printNumber();
    void printedNumbersReadBack();
    void printZones();
    void canonical_data();
    void canonical();
    void keysFollowTheExactValue();
};

void TestNumber::textToNumber_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<double>("value");
    QTest::addColumn<bool>("overflow");
    QTest::newRow("plain") << QByteArray("1.5") << 1.5 << false;
    QTest::newRow("leading plus") << QByteArray("+1") << 1.0 << false;
    QTest::newRow("trailing period") << QByteArray("2.") << 2.0 << false;
    QTest::newRow("leading period") << QByteArray(".5") << 0.5 << false;
    QTest::newRow("negative leading period") << QByteArray("-.25") << -0.25 << false;
    QTest::newRow("exponent") << QByteArray("1e2") << 100.0 << false;
    QTest::newRow("capital exponent with sign") << QByteArray("2.e+1") << 20.0 << false;
    QTest::newRow("exponent without digits stops") << QByteArray("3.1+e2") << 3.1 << false;
    QTest::newRow("lone e is not part of it") << QByteArray("7e") << 7.0 << false;
    QTest::newRow("e and sign without digits") << QByteArray("7e-x") << 7.0 << false;
    QTest::newRow("blanks tabs line feeds ignored") << QByteArray(" 1 2\t.\n5") << 12.5 << false;
    QTest::newRow("no number") << QByteArray("abc") << 0.0 << false;
    QTest::newRow("sign only") << QByteArray("-") << 0.0 << false;
    QTest::newRow("period only") << QByteArray(".") << 0.0 << false;
    QTest::newRow("period then exponent") << QByteArray(".e5") << 0.0 << false;
    QTest::newRow("double sign") << QByteArray("+-1") << 0.0 << false;
    QTest::newRow("no hexadecimal") << QByteArray("0x10") << 0.0 << false;
    QTest::newRow("no inf") << QByteArray("inf") << 0.0 << false;
    QTest::newRow("no nan") << QByteArray("nan") << 0.0 << false;
    QTest::newRow("comma stops") << QByteArray("1,5") << 1.0 << false;
    QTest::newRow("second period stops") << QByteArray("1.2.3") << 1.2 << false;
    QTest::newRow("correctly rounded") << QByteArray("9007199254740993") << 9007199254740992.0 << false;
    QTest::newRow("smallest normal") << QByteArray("2.2250738585072014e-308") << 2.2250738585072014e-308
                                     << false;
    QTest::newRow("1000 digits") << QByteArray(1000, '1') << 0.0 << true;
    QTest::newRow("beyond a double") << QByteArray("1e999") << 0.0 << true;
    QTest::newRow("negative beyond a double") << QByteArray("-1e309") << 0.0 << true;
    QTest::newRow("below a double") << QByteArray("1e-999") << 0.0 << false;
    QTest::newRow("twenty-digit exponent") << QByteArray("1e-99999999999999999999") << 0.0 << false;
    QTest::newRow("zero with a huge exponent") << QByteArray("0e99999999999999999999") << 0.0 << false;
    QTest::newRow("many zeros then digits")
        << (QByteArray("0.") + QByteArray(400, '0') + "1e400") << 0.1 << false;
}

void TestNumber::textToNumber()
{
    QFETCH(QByteArray, text);
    QFETCH(double, value);
    QFETCH(bool, overflow);
    const NumberReading reading = jf::textToNumber(text.toStdString());
    QCOMPARE(reading.overflow, overflow);
    if (!overflow)
        QCOMPARE(reading.value, value);
}

void TestNumber::printNumber_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QByteArray>("printed");
    QTest::newRow("half") << 0.5 << QByteArray(" 0.5 ");
    QTest::newRow("negative") << -2.0 << QByteArray("-2 ");
    QTest::newRow("whole") << 3.0 << QByteArray(" 3 ");
    QTest::newRow("negative zero") << -0.0 << QByteArray(" 0 ");
    QTest::newRow("shortest digits") << 0.1 + 0.2 << QByteArray(" 0.30000000000000004 ");
    QTest::newRow("large") << 1e20 << QByteArray(" 1e+20 ");
    QTest::newRow("small negative") << -1.5e-7 << QByteArray("-1.5e-07 ");
}

void TestNumber::printNumber()
{
    QFETCH(double, value);
    QFETCH(QByteArray, printed);
    char buffer[kPrintedNumberMax];
    const char* end = jf::printNumber(value, buffer);
    QCOMPARE(QByteArray(buffer, end - buffer), printed);
}

void TestNumber::printedNumbersReadBack()
{
    QRandomGenerator random(7);
    const double extremes[] = {std::numeric_limits<double>::max(), std::numeric_limits<double>::denorm_min(),
                               -std::numeric_limits<double>::min(), 123456789.125};
    for (int i = 0; i < 20000; ++i) {
        std::uint64_t bits = random.generate64();
        double value = 0;
        std::memcpy(&value, &bits, sizeof value);
        if (i < 4)
            value = extremes[i];
        if (!std::isfinite(value))
            continue;
        char buffer[kPrintedNumberMax];
        const char* end = jf::printNumber(value, buffer);
        const NumberReading back = jf::textToNumber(std::string_view(buffer, end - buffer));
        QVERIFY2(!back.overflow && back.value == (value == 0 ? 0.0 : value),
                 qPrintable(QByteArray(buffer, end - buffer)));
    }
}

void TestNumber::printZones()
{
    QCOMPARE(nextPrintZone(0), std::size_t(14));
    QCOMPARE(nextPrintZone(1), std::size_t(14));
    QCOMPARE(nextPrintZone(13), std::size_t(14));
    // An item that ends exactly at a zone's end still gets a blank: the next zone follows.
    QCOMPARE(nextPrintZone(14), std::size_t(28));
}

void TestNumber::canonical_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("form");
    QTest::newRow("digits") << QByteArray("1523") << QByteArray("1523e0");
    QTest::newRow("trailing zeros go to the exponent") << QByteArray("1500") << QByteArray("15e2");
    QTest::newRow("fraction") << QByteArray("-1.50") << QByteArray("-15e-1");
    QTest::newRow("leading zeros") << QByteArray("0.05") << QByteArray("5e-2");
    QTest::newRow("zero") << QByteArray("0.0") << QByteArray("0");
    QTest::newRow("negative zero is zero") << QByteArray("-0") << QByteArray("0");
    QTest::newRow("normal with zero first") << QByteArray("00-1000") << QByteArray("0");
    QTest::newRow("normal seed") << QByteArray("001000") << QByteArray("1e3");
    QTest::newRow("beyond a double stays exact") << QByteArray("15E325E31") << QByteArray("15e325");
    QTest::newRow("normal exponent") << QByteArray("87120189e-17085051") << QByteArray("87120189e-17085051");
    QTest::newRow("exponent without digits") << QByteArray("15e") << QByteArray("15e0");
    QTest::newRow("tabs ignored") << QByteArray("\t15\t2\t3") << QByteArray("1523e0");
    QTest::newRow("thirty digits") << QByteArray("123456789012345678901234567890")
                                   << QByteArray("12345678901234567890123456789e1");
    QTest::newRow("no number") << QByteArray("#x") << QByteArray("0");
}

void TestNumber::canonical()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, form);
    QCOMPARE(QByteArray::fromStdString(canonicalNumber(text.toStdString())), form);
}

static std::uint64_t keyOf(std::string_view text, std::uint64_t salt = 45000)
{
    ExactNumberScanner scanner;
    for (char c : text)
        if (!scanner.feed(c))
            break;
    return scanner.key(salt);
}

void TestNumber::keysFollowTheExactValue()
{
    QCOMPARE(keyOf("1.5"), keyOf("15e-1"));
    QCOMPARE(keyOf("1500"), keyOf("1.5e3"));
    QCOMPARE(keyOf("0"), keyOf("-0.000e7"));
    // Beyond the sixteenth digit a double would merge these; the exact value keeps them apart.
    QVERIFY(keyOf("1234567890123456789") != keyOf("1234567890123456788"));
    QVERIFY(keyOf("1.5") != keyOf("-1.5"));
    QVERIFY(keyOf("1e5") != keyOf("1e6"));
    QVERIFY(keyOf("12") != keyOf("12", 45001));
    // The exponent counts modulo 2^64, so a twenty-digit exponent neither fails nor wraps silently into 0.
    QVERIFY(keyOf("1e99999999999999999999") != keyOf("1"));
}

QTEST_APPLESS_MAIN(TestNumber)
#include "tst_text_number.moc"
