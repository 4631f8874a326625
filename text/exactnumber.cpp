#include "exactnumber.h"

#include <algorithm>

namespace jf {

std::uint64_t ExactNumberScanner::exponent() const
{
    std::uint64_t e = m_scale + m_pendingZeros;
    if (m_hasExponent)
        e = m_expNegative ? e - m_exponent : e + m_exponent;
    return e;
}

void ExactNumberScanner::takeRun(const char* digits, std::size_t count)
{
    if (m_keepDigits)
        m_digits.append(digits, count);
    m_digitCount += count;
    while (count != 0) {
        // As many as the group has room for: below 10^19, they fit 64 bits.
        const std::size_t n = std::min<std::size_t>(count, kDigitGroup - m_groupLength);
        std::uint64_t value = m_group;
        for (std::size_t i = 0; i < n; ++i)
            value = value * 10 + static_cast<std::uint64_t>(digits[i] - '0');
        m_group = value;
        m_groupLength += static_cast<unsigned>(n);
        if (m_groupLength == kDigitGroup) {
            m_digitHash = mix64(m_digitHash ^ m_group);
            m_group = 0;
            m_groupLength = 0;
        }
        digits += n;
        count -= n;
    }
}

void ExactNumberScanner::feedDigits(const char* digits, std::size_t count)
{
    if (count == 0)
        return;
    if (!m_grammar.takeIntegerRun()) {
        for (std::size_t i = 0; i < count && feed(digits[i]); ++i) {
        }
        return;
    }
    std::size_t first = 0;
    if (m_digitCount == 0)
        while (first < count && digits[first] == '0')
            ++first; // leading zeros are not significant
    std::size_t end = count;
    while (end > first && digits[end - 1] == '0')
        --end;
    if (first == end) {
        if (m_digitCount != 0)
            m_pendingZeros += count - first;
        return;
    }
    for (; m_pendingZeros != 0; --m_pendingZeros)
        take('0');
    takeRun(digits + first, end - first);
    m_pendingZeros = count - end; // significant only if a non-zero digit follows
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
