#include "engine/normalform.h"

#include "engine/linescan.h"

#include <cstring>

namespace jf {

namespace {

constexpr std::string_view kInd = "#IND";

// A line's text with every "#IND" from `hit` on replaced by "0", built in `replaced`.
std::string_view replaceInd(std::string_view line, std::size_t hit, std::string& replaced)
{
    replaced.clear();
    std::size_t from = 0;
    do {
        replaced.append(line.substr(from, hit - from));
        replaced.push_back('0');
        from = hit + kInd.size();
        hit = line.find(kInd, from);
    } while (hit != std::string_view::npos);
    replaced.append(line.substr(from));
    return replaced;
}

} // namespace

std::string_view NormalLines::next()
{
    const char* lineEnd = m_p;
    bool hash = false;
    while ((lineEnd = findLineByte(lineEnd, m_end)) != m_end && *lineEnd == '#') {
        hash = true;
        ++lineEnd;
    }
    m_ending = 0;
    if (lineEnd != m_end)
        m_ending = *lineEnd == '\r' && lineEnd + 1 != m_end && lineEnd[1] == '\n' ? 2 : 1;
    const std::string_view line(m_p, static_cast<std::size_t>(lineEnd - m_p));
    m_p = lineEnd + m_ending;
    const std::size_t hit = hash ? line.find(kInd) : std::string_view::npos;
    m_replaced = hit != std::string_view::npos;
    return m_replaced ? replaceInd(line, hit, m_scratch) : line;
}

const char* firstChangedLine(const char* begin, const char* end)
{
    for (const char* p = begin; (p = skipNormalForm(p, end)) != end;) {
        bool changed = false;
        std::size_t skip = 1;
        if (*p == '#') {
            changed = static_cast<std::size_t>(end - p) >= kInd.size() &&
                      std::memcmp(p, kInd.data(), kInd.size()) == 0;
        } else if (*p == '\r') {
            changed = p + 1 == end || p[1] != '\n';
            skip = 2;
        } else {
            changed = p == begin || p[-1] != '\r'; // a lone LF
        }
        if (!changed) {
            p += skip;
            continue;
        }
        // Every line before this one is in normal form, so the last LF before it ends the one before.
        const void* lf = p == begin ? nullptr : ::memrchr(begin, '\n', static_cast<std::size_t>(p - begin));
        return lf ? static_cast<const char*>(lf) + 1 : begin;
    }
    return end;
}

} // namespace jf
