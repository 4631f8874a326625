#include "exactnumber.h"

namespace jf {

namespace {
constexpr std::uint64_t kFnvPrime = 0x100000001b3ull;
constexpr bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}
} // namespace

void ExactNumberScanner::digit(char c, bool fraction)
{
    if (fraction)
        --m_scale; // wraps modulo 2^64 by design
    if (c == '0') {
        if (m_digitCount != 0)
            ++m_pendingZeros;
        return;
    }
    for (; m_pendingZeros != 0; --m_pendingZeros) {
        m_digitHash = (m_digitHash ^ std::uint64_t('0')) * kFnvPrime;
        ++m_digitCount;
        if (m_keepDigits)
            m_digits.push_back('0');
    }
    m_digitHash = (m_digitHash ^ std::uint64_t(std::uint8_t(c))) * kFnvPrime;
    ++m_digitCount;
    if (m_keepDigits)
        m_digits.push_back(c);
}

bool ExactNumberScanner::feed(char c)
{
    if (c == ' ' || c == '\t' || c == '\n')
        return m_state != Done;
    switch (m_state) {
    case Start:
    case Sign:
        if (m_state == Start && (c == '+' || c == '-')) {
            m_negative = c == '-';
            m_state = Sign;
        } else if (isDigit(c)) {
            m_state = Int;
            digit(c, false);
        } else if (c == '.') {
            m_state = DotFirst;
        } else {
            m_state = Done;
        }
        break;
    case Int:
        if (isDigit(c))
            digit(c, false);
        else if (c == '.')
            m_state = Frac;
        else if (c == 'e' || c == 'E')
            m_state = ExpMark;
        else
            m_state = Done;
        break;
    case DotFirst:
    case Frac:
        if (isDigit(c)) {
            m_state = Frac;
            digit(c, true);
        } else if (m_state == Frac && (c == 'e' || c == 'E')) {
            m_state = ExpMark;
        } else {
            m_state = Done;
        }
        break;
    case ExpMark:
        if (c == '+' || c == '-') {
            m_expNegative = c == '-';
            m_state = ExpSign;
            break;
        }
        [[fallthrough]];
    case ExpSign:
    case Exp:
        if (isDigit(c)) {
            m_exponent = m_exponent * 10 + std::uint64_t(c - '0');
            m_hasExponent = true;
            m_state = Exp;
        } else {
            m_state = Done;
        }
        break;
    case Done:
        break;
    }
    return m_state != Done;
}

std::uint64_t ExactNumberScanner::exponent() const
{
    std::uint64_t e = m_scale + m_pendingZeros;
    if (m_hasExponent)
        e = m_expNegative ? e - m_exponent : e + m_exponent;
    return e;
}

std::uint64_t ExactNumberScanner::key(std::uint64_t salt) const
{
    std::uint64_t h = mix64(salt ^ 0x4a69747465726f72ull);
    if (isZero())
        return mix64(h ^ 0x30);
    h = mix64(h ^ (m_negative ? 0x2d : 0x2b));
    h = mix64(h ^ m_digitHash);
    return mix64(h ^ exponent());
}

std::string ExactNumberScanner::canonical() const
{
    if (isZero())
        return "0";
    std::string text = m_negative ? "-" : "";
    text += m_digits;
    text += 'e';
    text += std::to_string(static_cast<std::int64_t>(exponent()));
    return text;
}

std::string canonicalNumber(std::string_view text)
{
    ExactNumberScanner scanner(true);
    for (char c : text)
        if (!scanner.feed(c))
            break;
    return scanner.canonical();
}

} // namespace jf
