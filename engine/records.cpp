#include "engine/records.h"

#include "text/number.h"

namespace jf {

namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kZoneBlanks = "              ";
static_assert(kZoneBlanks.size() == kPrintZoneWidth);

void appendZoned(std::size_t& column, std::string_view item, std::string& out)
{
    out.append(item);
    column += item.size();
    const std::size_t next = nextPrintZone(column);
    out.append(next - column, ' ');
    column = next;
}

} // namespace

void RecordFormatter::measureVertex(std::string_view record, Extents& box)
{
    double c[3];
    std::string_view texts[3];
    readCoordinates(record, "vertex", c, texts);
    box.add(c);
}

void RecordFormatter::writeNoised(std::string_view record, bool normal, const NoiseChoice& choice,
                                  double noiseScale, std::uint64_t daySalt, std::string& out)
{
    double c[3];
    FieldCursor further = m_noise.apply(record, normal, choice, noiseScale, daySalt, c);
    // Room for the whole line at once: a record with megabytes of further fields grows the
    // output once, to its size, not by doubling.
    out.reserve(out.size() + record.size() + 3 * kPrintedNumberMax + 8);
    char printed[3 + 3 * kPrintedNumberMax];
    char* const begin = printed;
    char* p = begin;
    *p++ = 'v';
    if (normal)
        *p++ = 'n';
    *p++ = ' ';
    for (int axis = 0; axis < 3; ++axis)
        p = printNumber(c[axis], p);
    out.append(begin, static_cast<std::size_t>(p - begin));
    // Further fields (a weight, vertex colours) are kept as they stood.
    std::string_view field;
    for (bool first = true; further.next(field); first = false) {
        if (!first)
            out += ' ';
        out.append(field);
    }
    out.append(kLineEnd);
}

bool RecordFormatter::writeSplitFace(std::string_view record, std::string& out)
{
    // Only a face of exactly five fields is split; a sixth field ends the count, so that a face
    // with millions of corners costs no list of them.
    std::string_view fields[6];
    std::size_t count = 0;
    FieldCursor cursor(record);
    while (count < 6 && cursor.next(fields[count]))
        ++count;
    if (count != 5) {
        writeCopy(record, out);
        return false;
    }
    const std::string_view triangles[2][3] = {{fields[1], fields[2], fields[4]},
                                              {fields[2], fields[3], fields[4]}};
    for (const auto& corners : triangles) {
        std::size_t column = 0;
        appendZoned(column, fields[0], out);
        appendZoned(column, corners[0], out);
        appendZoned(column, corners[1], out);
        out.append(corners[2]);
        out.append(kLineEnd);
    }
    return true;
}

void RecordFormatter::writeCopy(std::string_view record, std::string& out)
{
    out.append(record);
    out.append(kLineEnd);
}

} // namespace jf
