#include "exactnumber.h"

namespace jf {

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
    std::uint64_t digits = m_digitHash;
    if (m_groupLength != 0)
        digits = mix64(digits ^ m_group);
    h = mix64(h ^ mix64(digits ^ m_digitCount));
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
