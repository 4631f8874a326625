#pragma once

// The normal form of OBJ text: every line ended by CR LF, and every "#IND" in a line replaced by
// "0". A line ends at CR LF, at LF, or at a CR that no LF follows (a CR as the last byte included);
// a last line without a line end keeps lacking one. The format check writes the source in this form;
// the passes read records in it, whatever form the source is in, so both see the same records.
//
// Everything here works on text in memory that holds whole lines (a chunk of WholeLinesReader): a
// line end or an "#IND" never falls across its end.

#include <cstddef>
#include <string>
#include <string_view>

namespace jf {

// The lines of text in memory, each given in normal form without its line end.
class NormalLines
{
public:
    NormalLines(const char* begin, const char* end) : m_p(begin), m_end(end) {}

    bool atEnd() const { return m_p == m_end; }
    // Where the next line starts.
    const char* position() const { return m_p; }
    // The next line; it stays valid until the following call.
    std::string_view next();
    // Of the line last given: the bytes of its line end (2 for CR LF, 0 for a last line without
    // one), and whether an "#IND" in it was replaced, so that it is no longer the text in memory.
    std::size_t lastEnding() const { return m_ending; }
    bool lastReplaced() const { return m_replaced; }
    // True when the line last given and its line end are in normal form as they stand in memory.
    bool lastUnchanged() const { return !m_replaced && m_ending != 1; }

private:
    const char* m_p;
    const char* m_end;
    std::size_t m_ending = 0;
    bool m_replaced = false;
    std::string m_scratch;
};

// The records of text in memory: its lines in normal form, each without its leading blanks and
// tabs and without its line end.
class LineSplitter
{
public:
    LineSplitter(const char* begin, const char* end) : m_lines(begin, end) {}

    bool atEnd() const { return m_lines.atEnd(); }
    // The next record; it stays valid until the following call.
    std::string_view next()
    {
        std::string_view record = m_lines.next();
        while (!record.empty() && (record.front() == ' ' || record.front() == '\t'))
            record.remove_prefix(1);
        return record;
    }
    // True when the last record is followed, in memory, by the CR LF that ended it, so that the
    // record and its line end can be taken in one piece (until the following call).
    bool lastEndsInCrLf() const { return m_lines.lastEnding() == 2 && !m_lines.lastReplaced(); }

private:
    NormalLines m_lines;
};

// The start of the first line of [begin, end) whose normal form differs from its text, or `end`
// when the whole text is in normal form. Passes over text in normal form many bytes a step.
const char* firstChangedLine(const char* begin, const char* end);

// Hands the normal form of [begin, end) to `append` (a callable taking std::string_view) in pieces:
// lines that are in normal form already go in runs, as they stand in memory.
template <class Append> void writeNormalForm(const char* begin, const char* end, Append&& append)
{
    constexpr std::string_view kLineEnd = "\r\n";
    NormalLines lines(begin, end);
    const char* run = begin;
    while (!lines.atEnd()) {
        const char* const lineStart = lines.position();
        const std::string_view line = lines.next();
        if (lines.lastUnchanged())
            continue;
        append(std::string_view(run, static_cast<std::size_t>(lineStart - run)));
        append(line);
        if (lines.lastEnding() != 0)
            append(kLineEnd);
        run = lines.position();
    }
    append(std::string_view(run, static_cast<std::size_t>(lines.position() - run)));
}

} // namespace jf
