#include "text/exactnumber.h"
#include "text/number.h"

#include <QTest>

#include <string>

using namespace jf;

namespace {

std::uint64_t keyOf(std::string_view text, std::uint64_t salt = 45000)
{
    ExactNumberScanner scanner;
    for (char c : text)
        if (!scanner.feed(c))
            break;
    return scanner.key(salt);
}

} // namespace

// How numbers read, print and seed the noise.
class TestNumber : public QObject
{
    Q_OBJECT

private slots:
    void textToNumber_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<double>("value");
        QTest::addColumn<bool>("overflow");
        const auto row = [](const char* name, const QByteArray& text, double value, bool overflow = false) {
            QTest::newRow(name) << text << value << overflow;
        };
        row("plain", "1.5", 1.5);
        row("leading plus", "+1", 1.0);
        row("negative leading period", "-.25", -0.25);
        row("plus then leading period", "+.5", 0.5);
        row("exponent with sign", "2.e+1", 20.0);
        row("e and sign without digits are not part of it", "7e-x", 7.0);
        row("a sign after the digits stops", "3.1+e2", 3.1);
        row("blanks tabs line feeds ignored", " 1 2\t.\n5", 12.5);
        // Whatever is not the start of a number reads as 0, never as a failure.
        row("no number", "inf", 0.0);
        row("period then exponent", ".e5", 0.0);
        row("double sign", "+-1", 0.0);
        row("sign and period alone", "-.", 0.0);
        row("second period stops", "1.2.3", 1.2);
        row("a NUL byte stops",
            QByteArray("2\0"
                       "7",
                       3),
            2.0);
        row("a byte that is not UTF-8 stops", "3\xe9", 3.0);
        row("correctly rounded", "9007199254740993", 9007199254740992.0);
        row("smallest normal", "2.2250738585072014e-308", 2.2250738585072014e-308);
        row("many zeros then digits", "0." + QByteArray(400, '0') + "1e400", 0.1);
        row("zero with a huge exponent", "0e99999999999999999999", 0.0);
        row("1000 digits", QByteArray(1000, '1'), 0.0, true);
        row("negative beyond a double", "-1e309", 0.0, true);
    }
    void textToNumber()
    {
        QFETCH(QByteArray, text);
        QFETCH(double, value);
        QFETCH(bool, overflow);
        const NumberReading reading = jf::textToNumber(text.toStdString());
        QCOMPARE(reading.overflow, overflow);
        QCOMPARE(reading.value, value);
        // A record's field holds no blanks; there the field reading must agree.
        if (!text.contains(' ') && !text.contains('\t') && !text.contains('\n')) {
            const NumberReading field = fieldToNumber(text.toStdString());
            QCOMPARE(field.overflow, overflow);
            QCOMPARE(field.value, value);
        }
    }

    // That every printed double reads back to itself is the fuzz target's to find; these are the forms.
    void printNumber_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QByteArray>("printed");
        QTest::newRow("half, with its leading zero") << 0.5 << QByteArray(" 0.5 ");
        QTest::newRow("negative zero") << -0.0 << QByteArray(" 0 ");
        QTest::newRow("shortest digits") << 0.1 + 0.2 << QByteArray(" 0.30000000000000004 ");
        QTest::newRow("large") << 1e20 << QByteArray(" 1e+20 ");
        QTest::newRow("small negative") << -1.5e-7 << QByteArray("-1.5e-07 ");
    }
    void printNumber()
    {
        QFETCH(double, value);
        QFETCH(QByteArray, printed);
        char buffer[kPrintedNumberMax];
        const char* end = jf::printNumber(value, buffer);
        QCOMPARE(QByteArray(buffer, end - buffer), printed);
    }

    // Seeds follow the exact value of a text, not the double it reads as.
    void seedKeys_data()
    {
        QTest::addColumn<QByteArray>("a");
        QTest::addColumn<QByteArray>("b");
        QTest::addColumn<bool>("same");
        const auto row = [](const char* name, const char* a, const char* b, bool same) {
            QTest::newRow(name) << QByteArray(a) << QByteArray(b) << same;
        };
        row("fraction and exponent", "1.5", "15e-1", true);
        row("negative zero is zero", "0", "-0.000e7", true);
        row("a sign after digits ends the number", "00-1000", "0", true);
        row("leading zeros", "001000", "1e3", true);
        row("tabs ignored", "\t15\t2\t3", "1523", true);
        row("exponent without digits", "15e", "15", true);
        row("no number is zero", "#x", "0", true);
        row("thirty digits", "123456789012345678901234567890", "12345678901234567890123456789e1", true);
        row("capital E, beyond a double, second exponent ignored", "15E325E31", "15e325", true);
        row("beyond a double, apart", "15e325", "15e326", false);
        // A double would merge these two.
        row("beyond the sixteenth digit", "1234567890123456789", "1234567890123456788", false);
        row("sign", "1.5", "-1.5", false);
        // The exponent counts modulo 2^64: a twenty-digit one neither fails nor wraps silently into 0.
        row("twenty-digit exponent", "1e99999999999999999999", "1", false);
        row("twenty-digit exponents one digit apart", "1e-1712345678901234567890",
            "1e-1712345678901234567891", false);
    }
    void seedKeys()
    {
        QFETCH(QByteArray, a);
        QFETCH(QByteArray, b);
        QFETCH(bool, same);
        QCOMPARE(keyOf(a.toStdString()) == keyOf(b.toStdString()), same);
        QVERIFY2(keyOf(a.toStdString()) != keyOf(a.toStdString(), 45001), "the day is part of every seed");
    }
};

QTEST_APPLESS_MAIN(TestNumber)
#include "tst_text_number.moc"
