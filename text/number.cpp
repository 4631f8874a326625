#include "number.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>

namespace jf {

NumberReading textToNumber(std::string_view text)
{
    if (std::none_of(text.begin(), text.end(), isNumberBlank))
        return fieldToNumber(text);
    return scanNumber(text);
}

NumberReading scanNumber(std::string_view text)
{
    // Locate the number, remembering whether blanks lie inside it (only then does from_chars need
    // a cleaned copy), and the decimal exponent of its leading significant digit, which alone tells
    // an overflow from an underflow: saturating arithmetic is enough for that.
    NumberGrammar grammar;
    const char* numberStart = nullptr;
    const char* numberEnd = nullptr; // past its last digit: a bare exponent mark is no part of it
    bool blankBefore = false;
    bool blankInside = false;
    bool significant = false;
    std::int64_t lead = 0;
    bool exponentNegative = false;
    std::int64_t exponent = 0;
    constexpr std::int64_t kExponentCap = std::int64_t(1) << 50;
    for (const char* p = text.data(); p != text.data() + text.size(); ++p) {
        const char c = *p;
        const NumberPart part = grammar.next(c);
        if (part == NumberPart::Blank) {
            blankBefore = true;
            continue;
        }
        if (part == NumberPart::End)
            break;
        if (!numberStart)
            numberStart = p;
        blankInside |= blankBefore;
        blankBefore = false;
        switch (part) {
        case NumberPart::IntegerDigit:
            if (significant)
                ++lead;
            else
                significant = c != '0';
            numberEnd = p + 1;
            break;
        case NumberPart::FractionDigit:
            if (!significant) {
                --lead;
                significant = c != '0';
            }
            numberEnd = p + 1;
            break;
        case NumberPart::ExponentSign:
            exponentNegative = c == '-';
            break;
        case NumberPart::ExponentDigit:
            exponent = std::min(kExponentCap, exponent * 10 + (c - '0'));
            numberEnd = p + 1;
            break;
        default:
            break;
        }
    }
    NumberReading reading;
    if (!numberEnd) // no digit before an exponent: no number
        return reading;

    std::string cleaned;
    std::string_view number(numberStart, static_cast<std::size_t>(numberEnd - numberStart));
    if (blankInside) {
        cleaned.reserve(number.size());
        for (char c : number)
            if (!isNumberBlank(c))
                cleaned.push_back(c);
        number = cleaned;
    }
    const bool negative = number.front() == '-';
    const std::string_view digits = number.front() == '+' ? number.substr(1) : number;
    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    (void)ptr;
    if (ec == std::errc::result_out_of_range) {
        if (lead + (exponentNegative ? -exponent : exponent) >= 0) {
            reading.overflow = true;
            return reading;
        }
        value = negative ? -0.0 : 0.0;
    }
    reading.value = value;
    return reading;
}

char* printNumber(double value, char* out)
{
    if (value == 0.0)
        value = 0.0; // negative zero prints as 0
    *out++ = value < 0 ? '-' : ' ';
    const auto result = std::to_chars(out, out + kPrintedNumberMax - 2, std::fabs(value));
    out = result.ptr;
    *out++ = ' ';
    return out;
}

} // namespace jf
