#include "number.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace jf {

namespace {

constexpr bool isIgnored(char c)
{
    return c == ' ' || c == '\t' || c == '\n';
}
constexpr bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The decimal exponent of the leading significant digit of a scanned number, given its cleaned
// characters; used only to tell an overflow from an underflow, so saturating arithmetic is enough.
std::int64_t leadingExponent(std::string_view clean)
{
    std::size_t i = 0;
    if (i < clean.size() && (clean[i] == '+' || clean[i] == '-'))
        ++i;
    std::int64_t lead = 0;
    bool significant = false;
    bool fraction = false;
    for (; i < clean.size(); ++i) {
        const char c = clean[i];
        if (c == '.') {
            fraction = true;
        } else if (isDigit(c)) {
            if (!fraction) {
                if (significant)
                    ++lead;
                else if (c != '0')
                    significant = true;
            } else if (!significant) {
                --lead;
                if (c != '0')
                    significant = true;
            }
        } else {
            break;
        }
    }
    std::int64_t exponent = 0;
    if (i < clean.size()) {
        ++i; // e or E
        bool negative = false;
        if (clean[i] == '+' || clean[i] == '-')
            negative = clean[i++] == '-';
        constexpr std::int64_t kCap = std::int64_t(1) << 50;
        for (; i < clean.size(); ++i)
            exponent = std::min(kCap, exponent * 10 + (clean[i] - '0'));
        if (negative)
            exponent = -exponent;
    }
    return lead + exponent;
}

} // namespace

NumberReading textToNumber(std::string_view text)
{
    // Fields of a record hold no blanks, tabs or line feeds: there from_chars, which reads the same
    // longest prefix, does the whole job. Its own further forms (inf, nan) start with a letter and
    // are kept out by the first-character test.
    if (!text.empty()) {
        const char* first = text.data();
        const char* const last = first + text.size();
        const char* digits = (*first == '+' || *first == '-') ? first + 1 : first;
        const bool plainStart =
            digits < last &&
            (isDigit(*digits) || (*digits == '.' && digits + 1 < last && isDigit(digits[1])));
        if (plainStart && std::none_of(first, last, isIgnored)) {
            double value = 0.0;
            const auto [end, ec] = std::from_chars(*first == '+' ? first + 1 : first, last, value);
            if (ec == std::errc()) {
                NumberReading reading;
                reading.value = value;
                return reading;
            }
            // Out of range: the slow path below tells an overflow from an underflow.
        }
    }

    // Scan the longest number prefix, remembering whether ignored characters lie inside it; only
    // then does the scan need a cleaned copy.
    const char* p = text.data();
    const char* const end = p + text.size();
    const char* numberStart = nullptr;
    const char* numberEnd = nullptr;
    bool sawIgnored = false;
    bool sawIgnoredInside = false;
    int mantissaDigits = 0;
    enum State { Start, Sign, Int, DotFirst, Frac, ExpMark, ExpSign, Exp } state = Start;
    for (; p != end; ++p) {
        const char c = *p;
        if (isIgnored(c)) {
            sawIgnored = true;
            continue;
        }
        if (numberStart && sawIgnored)
            sawIgnoredInside = true;
        bool accepted = true;
        switch (state) {
        case Start:
            if (c == '+' || c == '-')
                state = Sign;
            else if (isDigit(c))
                state = Int;
            else if (c == '.')
                state = DotFirst;
            else
                accepted = false;
            break;
        case Sign:
            if (isDigit(c))
                state = Int;
            else if (c == '.')
                state = DotFirst;
            else
                accepted = false;
            break;
        case Int:
            if (isDigit(c))
                state = Int;
            else if (c == '.')
                state = Frac;
            else if (c == 'e' || c == 'E')
                state = ExpMark;
            else
                accepted = false;
            break;
        case DotFirst:
        case Frac:
            if (isDigit(c))
                state = Frac;
            else if (state == Frac && (c == 'e' || c == 'E'))
                state = ExpMark;
            else
                accepted = false;
            break;
        case ExpMark:
            if (c == '+' || c == '-')
                state = ExpSign;
            else if (isDigit(c))
                state = Exp;
            else
                accepted = false;
            break;
        case ExpSign:
        case Exp:
            if (isDigit(c))
                state = Exp;
            else
                accepted = false;
            break;
        }
        if (!accepted)
            break;
        if (!numberStart)
            numberStart = p;
        if (isDigit(c) && (state == Int || state == Frac)) {
            ++mantissaDigits;
            numberEnd = p + 1;
        } else if (state == Exp) {
            numberEnd = p + 1;
        }
        sawIgnored = false;
    }
    NumberReading reading;
    if (mantissaDigits == 0 || !numberEnd)
        return reading;

    std::string cleaned;
    std::string_view number(numberStart, numberEnd - numberStart);
    if (sawIgnoredInside) {
        cleaned.reserve(number.size());
        for (char c : number)
            if (!isIgnored(c))
                cleaned.push_back(c);
        number = cleaned;
    }
    const bool negative = number.front() == '-';
    const std::string_view digits = number.front() == '+' ? number.substr(1) : number;
    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    (void)ptr;
    if (ec == std::errc::result_out_of_range) {
        if (leadingExponent(number) >= 0) {
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
