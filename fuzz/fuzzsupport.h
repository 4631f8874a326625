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
    std::fprintf(stderr, "\n*** invariant broken at %s:%d: %s\n    %s\n", file, line, what, detail.c_str());
    std::abort();
}

#define FUZZ_CHECK_MSG(cond, detail)                                                                         \
    do {                                                                                                     \
        if (!(cond))                                                                                         \
            ::jf::fuzz::failed(#cond, __FILE__, __LINE__, (detail));                                         \
    } while (0)
#define FUZZ_CHECK(cond) FUZZ_CHECK_MSG(cond, std::string())

// Bytes shown safely in a report.
inline std::string printable(std::string_view text, std::size_t limit = 200)
{
    std::string out;
    for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02x", c);
        out += c >= 0x20 && c < 0x7f && c != '\\' ? std::string(1, char(c)) : std::string(hex);
    }
    return text.size() > limit ? out + "..." : out;
}

inline std::string replaceInd(std::string_view text)
{
    std::string out;
    std::size_t from = 0;
    for (std::size_t hit; (hit = text.find("#IND", from)) != std::string_view::npos; from = hit + 4)
        out.append(text.substr(from, hit - from)).push_back('0');
    return out.append(text.substr(from));
}

struct ReferenceRecord
{
    std::string text;         // without line end and leading blanks and tabs, "#IND" replaced
    std::uint64_t offset = 0; // 0-based offset of the line's first byte in the input
};

// Lines end at CR LF, LF or a lone CR; trailing bytes after the last line end are one more line.
// With `normalForm`, the format check's normal form instead: every line end CR LF, as if in one piece.
inline std::vector<ReferenceRecord> referenceRecords(std::string_view data, std::string* normalForm = nullptr)
{
    std::vector<ReferenceRecord> records;
    std::string lines;
    std::size_t start = 0;
    const auto emit = [&](std::size_t end, bool ended) {
        lines.append(data.substr(start, end - start)).append(ended ? "\r\n" : "");
        std::size_t first = start;
        while (first < end && (data[first] == ' ' || data[first] == '\t'))
            ++first;
        records.push_back({replaceInd(data.substr(first, end - first)), start});
    };
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (data[i] == '\r' || data[i] == '\n') {
            emit(i, true);
            if (data[i] == '\r' && i + 1 < data.size() && data[i + 1] == '\n')
                ++i;
            start = i + 1;
        }
    }
    if (start < data.size())
        emit(data.size(), false);
    if (normalForm)
        *normalForm = replaceInd(lines);
    return records;
}

// The fields of a record: runs of bytes other than blank and tab.
inline std::vector<std::string_view> referenceFields(std::string_view record)
{
    std::vector<std::string_view> fields;
    for (std::size_t i = 0; i < record.size();) {
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

} // namespace jf::fuzz
