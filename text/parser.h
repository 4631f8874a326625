#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace jf {

// Blank and tab are the only characters that separate the words of a record; every other byte,
// carriage return, NUL and bytes beyond ASCII included, is word content.
constexpr bool isSeparator(char c)
{
    return c == ' ' || c == '\t';
}

// The record's keyword: its first maximal run of non-separator characters, or empty.
// The result views `line`. Inline: it runs for every record of both passes.
inline std::string_view FirstWord(std::string_view line)
{
    std::size_t begin = 0;
    while (begin < line.size() && isSeparator(line[begin]))
        ++begin;
    std::size_t end = begin;
    while (end < line.size() && !isSeparator(line[end]))
        ++end;
    return line.substr(begin, end - begin);
}

// The fields of a record, 1-based as the engine numbers them (item 1 is the keyword).
// Items view the line that filled the list; they stay valid while that line is alive and unchanged.
// The list keeps its capacity between records, so refilling it allocates nothing once warm.
class TokenList
{
public:
    std::size_t Count() const { return m_items.size(); }
    // 1 <= i <= Count()
    std::string_view Item(std::size_t i) const { return m_items[i - 1]; }

    void clear() { m_items.clear(); }
    void append(std::string_view item) { m_items.push_back(item); }

private:
    std::vector<std::string_view> m_items;
};

// Walks the fields of a record one at a time, as SplitTokens would list them, without a list:
// for the records whose fields are read once, in order.
class FieldCursor
{
public:
    explicit FieldCursor(std::string_view line) : m_rest(line) {}

    // The next field, or false when there is none.
    bool next(std::string_view& field)
    {
        std::size_t i = 0;
        while (i < m_rest.size() && isSeparator(m_rest[i]))
            ++i;
        if (i == m_rest.size()) {
            m_rest = {};
            return false;
        }
        std::size_t end = i + 1;
        while (end < m_rest.size() && !isSeparator(m_rest[end]))
            ++end;
        field = m_rest.substr(i, end - i);
        m_rest.remove_prefix(end);
        return true;
    }

private:
    std::string_view m_rest;
};

// Empties `tokens`, then fills it with the blank- or tab-separated fields of `line`, in order.
// Runs of separators count as one; the list never holds an empty item. Lines of any length work.
void SplitTokens(std::string_view line, TokenList& tokens);

} // namespace jf
