#pragma once

#include "numbergrammar.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace jf {

// The SplitMix64 finaliser: a bijective, well-mixing 64-bit map.
constexpr std::uint64_t mix64(std::uint64_t z)
{
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// The exact value of the number that a text reads as (by the grammar of numbergrammar.h, as
// textToNumber reads it: the longest leading number, else zero), in a canonical form that two texts
// share exactly when they read as the same real number: a sign, the significant digits without
// leading or trailing zeros, and a decimal exponent. Zero has one form, whatever its sign.
//
// The scanner is fed one character at a time, so that callers can filter a record on the fly
// without building the filtered text; feed() returns false once the number can take no more.
class ExactNumberScanner
{
public:
    // `keepDigits` also keeps the digits as text, for canonical(); the hot path leaves it off.
    explicit ExactNumberScanner(bool keepDigits = false) : m_keepDigits(keepDigits) {}

    bool feed(char c);
    // Feeds a run of digits at once, exactly as feed() one at a time would, but without a step per
    // digit where the number is still in its integer part.
    void feedDigits(const char* digits, std::size_t count);
    // Feeds every character of `text` for which `removed` is false, until the number ends.
    template <typename Removed> void feedAll(std::string_view text, Removed removed);
    bool isZero() const { return m_digitCount == 0; }

    // A 64-bit key of the canonical form, mixed with `salt`. Stable across versions and platforms:
    // it decides the noise of every record, and users rely on the same output for the same input.
    std::uint64_t key(std::uint64_t salt) const;

    // The canonical form as text, e.g. "-15e-1" for "-1.50", "0" for zero; the exponent is the
    // true exponent taken modulo 2^64 and shown as a signed 64-bit number.
    std::string canonical() const;

private:
    void digit(char c, bool fraction);
    std::uint64_t exponent() const;

    void take(char c); // one significant digit
    void takeRun(const char* digits, std::size_t count); // digits ending in one that is not 0

    NumberGrammar m_grammar;
    bool m_negative = false;
    bool m_expNegative = false;
    bool m_hasExponent = false; // an e with at least one digit after it
    // The significant digits go into the key 19 at a time, each group as the number it spells:
    // with the count of digits that pins the groups down, that is the digit string exactly.
    std::uint64_t m_digitHash = 0;
    std::uint64_t m_group = 0;
    unsigned m_groupLength = 0;
    std::uint64_t m_digitCount = 0;   // significant digits taken so far
    std::uint64_t m_pendingZeros = 0; // zeros after the last non-zero digit
    std::uint64_t m_scale = 0;        // exponent from the period's place, mod 2^64
    std::uint64_t m_exponent = 0;     // the written exponent's digits, mod 2^64
    std::string m_digits;             // only filled for canonical()
    bool m_keepDigits = false;
};

// The canonical form of the number `text` reads as.
std::string canonicalNumber(std::string_view text);

// feed() runs for every character of every vertex record, so it is inline.
constexpr unsigned kDigitGroup = 19; // the most decimal digits a 64-bit number always holds

inline void ExactNumberScanner::take(char c)
{
    m_group = m_group * 10 + static_cast<std::uint64_t>(c - '0');
    ++m_digitCount;
    if (++m_groupLength == kDigitGroup) {
        m_digitHash = mix64(m_digitHash ^ m_group);
        m_group = 0;
        m_groupLength = 0;
    }
    if (m_keepDigits)
        m_digits.push_back(c);
}

inline void ExactNumberScanner::digit(char c, bool fraction)
{
    if (fraction)
        --m_scale; // wraps modulo 2^64 by design
    if (c == '0') {
        if (m_digitCount != 0)
            ++m_pendingZeros; // significant only if a non-zero digit follows
        return;
    }
    for (; m_pendingZeros != 0; --m_pendingZeros)
        take('0');
    take(c);
}

inline bool ExactNumberScanner::feed(char c)
{
    switch (m_grammar.next(c)) {
    case NumberPart::IntegerDigit:
        digit(c, false);
        break;
    case NumberPart::FractionDigit:
        digit(c, true);
        break;
    case NumberPart::Sign:
        m_negative = c == '-';
        break;
    case NumberPart::ExponentSign:
        m_expNegative = c == '-';
        break;
    case NumberPart::ExponentDigit:
        m_exponent = m_exponent * 10 + std::uint64_t(c - '0');
        m_hasExponent = true;
        break;
    case NumberPart::End:
        return false;
    case NumberPart::Blank:
    case NumberPart::Period:
    case NumberPart::ExponentMark:
        break;
    }
    return true;
}

template <typename Removed> void ExactNumberScanner::feedAll(std::string_view text, Removed removed)
{
    // One loop with the run of digits inline: a vertex's seed text is mostly digits.
    for (const char c : text) {
        if (m_grammar.inInteger() && isDigit(c)) {
            digit(c, false);
            continue;
        }
        if (removed(c))
            continue;
        if (!feed(c))
            return;
    }
}

} // namespace jf
