#pragma once

// What the fuzz targets share: a failure report that stops the run, and the records of an input
// worked out the slow, obvious way, to hold the fast reader against.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace jf::fuzz {

[[noreturn]] inline void failed(const char* what, const char* file, int line, const std::string& detail)
{
    std::fprintf(stderr, "\n*** invariant broken at %s:%d: %s\n", file, line, what);
    if (!detail.empty())
        std::fprintf(stderr, "    %s\n", detail.c_str());
    std::abort();
}

#define FUZZ_CHECK(cond) \
    do { \
        if (!(cond)) \
            ::jf::fuzz::failed(#cond, __FILE__, __LINE__, {}); \
    } while (0)
#define FUZZ_CHECK_MSG(cond, detail) \
    do { \
        if (!(cond)) \
            ::jf::fuzz::failed(#cond, __FILE__, __LINE__, (detail)); \
    } while (0)

// Bytes shown safely in a report.
inline std::string printable(std::string_view text, std::size_t limit = 200)
{
    std::string out;
    for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out.push_back(char(c));
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    if (text.size() > limit)
        out += "...";
    return out;
}

struct ReferenceRecord
{
    std::string text;         // without line end and leading blanks and tabs, "#IND" replaced
    std::uint64_t offset = 0; // 0-based offset of the line's first byte in the input
};

inline std::string replaceInd(std::string_view text)
{
    std::string out;
    std::size_t from = 0;
    for (std::size_t hit; (hit = text.find("#IND", from)) != std::string_view::npos; from = hit + 4) {
        out.append(text.substr(from, hit - from));
        out.push_back('0');
    }
    out.append(text.substr(from));
    return out;
}

// Lines end at CR LF, LF or a lone CR; trailing bytes after the last line end are one more line.
inline std::vector<ReferenceRecord> referenceRecords(std::string_view data)
{
    std::vector<ReferenceRecord> records;
    std::size_t start = 0;
    const auto emit = [&](std::size_t end) {
        std::size_t first = start;
        while (first < end && (data[first] == ' ' || data[first] == '\t'))
            ++first;
        records.push_back({replaceInd(data.substr(first, end - first)), start});
    };
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (data[i] == '\r') {
            emit(i);
            if (i + 1 < data.size() && data[i + 1] == '\n')
                ++i;
            start = i + 1;
        } else if (data[i] == '\n') {
            emit(i);
            start = i + 1;
        }
    }
    if (start < data.size())
        emit(data.size());
    return records;
}

// The format check's normal form: every line end CR LF, every "#IND" a "0", as if in one piece.
inline std::string referenceNormalForm(std::string_view data)
{
    std::string lines;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (data[i] == '\r') {
            lines += "\r\n";
            if (i + 1 < data.size() && data[i + 1] == '\n')
                ++i;
        } else if (data[i] == '\n') {
            lines += "\r\n";
        } else {
            lines.push_back(data[i]);
        }
    }
    return replaceInd(lines);
}

// The fields of a record: runs of bytes other than blank and tab.
inline std::vector<std::string_view> referenceFields(std::string_view record)
{
    std::vector<std::string_view> fields;
    std::size_t i = 0;
    while (i < record.size()) {
        while (i < record.size() && (record[i] == ' ' || record[i] == '\t'))
            ++i;
        const std::size_t begin = i;
        while (i < record.size() && record[i] != ' ' && record[i] != '\t')
            ++i;
        if (i > begin)
            fields.push_back(record.substr(begin, i - begin));
    }
    return fields;
}

// A small deterministic generator for choices that an input's header bytes seed.
class Choices
{
public:
    explicit Choices(std::uint64_t seed) : m_state(seed ^ 0x9e3779b97f4a7c15ull) {}
    std::uint64_t next()
    {
        std::uint64_t z = (m_state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t bound) { return bound == 0 ? 0 : std::size_t(next() % bound); }

private:
    std::uint64_t m_state;
};

} // namespace jf::fuzz
