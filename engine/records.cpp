#include "engine/records.h"

#include "engine/convert.h"
#include "text/exactnumber.h"
#include "text/number.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

namespace jf {

namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kZoneBlanks = "              ";
static_assert(kZoneBlanks.size() == kPrintZoneWidth);

double number(std::string_view field)
{
    const NumberReading reading = fieldToNumber(field);
    if (reading.overflow)
        throw RecordFault("the number \"" + std::string(field.substr(0, 40)) +
                          (field.size() > 40 ? "..." : "") + "\" is beyond the range of a double.");
    return reading.value;
}

// Reads x, y and z; the cursor is left on the fields after z. A field's number is the longest
// number its text starts with; from_chars reads exactly that straight from the record, so the
// common field is scanned once.
FieldCursor readCoordinates(std::string_view record, std::string_view kind, double (&c)[3],
                            std::string_view (&texts)[3])
{
    const char* p = record.data();
    const char* const end = p + record.size();
    while (p != end && !isSeparator(*p))
        ++p; // the keyword
    for (int axis = 0; axis < 3; ++axis) {
        while (p != end && isSeparator(*p))
            ++p;
        if (p == end)
            throw RecordFault("a " + std::string(kind) +
                              " needs three coordinates, x, y and z; this one has " + std::to_string(axis) +
                              ".");
        const char* const start = plainNumberStart(p, end);
        const auto [stop, ec] = start ? std::from_chars(start, end, c[axis])
                                      : std::from_chars_result{p, std::errc::invalid_argument};
        const char* fieldEnd = stop;
        while (fieldEnd != end && !isSeparator(*fieldEnd))
            ++fieldEnd;
        texts[axis] = std::string_view(p, static_cast<std::size_t>(fieldEnd - p));
        if (ec != std::errc())
            c[axis] = number(texts[axis]);
        p = fieldEnd;
    }
    return FieldCursor(std::string_view(p, static_cast<std::size_t>(end - p)));
}

// What a byte of a vertex record is to its seed: a digit, a byte taken out of the seed's text
// (blank, period, minus sign, v, e, and a tab, which the scanner passes over anyway), or any other.
enum SeedByte : std::uint8_t { SeedDigit, SeedSkipped, SeedOther };
constexpr auto kSeedBytes = [] {
    std::array<SeedByte, 256> table{};
    table.fill(SeedOther);
    for (char c = '0'; c <= '9'; ++c)
        table[static_cast<unsigned char>(c)] = SeedDigit;
    for (const char c : {' ', '.', '-', 'v', 'e', '\t'})
        table[static_cast<unsigned char>(c)] = SeedSkipped;
    return table;
}();

// A vertex record of digits and skipped bytes only, as nearly all are, reads as the run of its
// digits: fed in one piece, without a step per byte. False, with nothing fed, for any other.
bool feedPlainVertex(std::string_view record, ExactNumberScanner& seed)
{
    char digits[96];
    if (record.size() > sizeof digits)
        return false;
    std::size_t count = 0;
    bool other = false;
    for (const char c : record) {
        const SeedByte kind = kSeedBytes[static_cast<unsigned char>(c)];
        digits[count] = c;
        count += kind == SeedDigit;
        other |= kind == SeedOther;
    }
    if (other)
        return false;
    seed.feedDigits(digits, count);
    return true;
}

void appendZoned(std::size_t& column, std::string_view item, std::string& out)
{
    out.append(item);
    column += item.size();
    const std::size_t next = nextPrintZone(column);
    out.append(next - column, ' ');
    column = next;
}

} // namespace

void Extents::add(const double (&c)[3])
{
    for (int axis = 0; axis < 3; ++axis) {
        if (empty) {
            min[axis] = max[axis] = c[axis];
        } else {
            min[axis] = MinOf(min[axis], c[axis]);
            max[axis] = MaxOf(max[axis], c[axis]);
        }
    }
    empty = false;
}

void Extents::add(const Extents& later)
{
    if (later.empty)
        return;
    if (empty) {
        *this = later;
        return;
    }
    // A later value wins a tie, exactly as when the vertices come one by one.
    for (int axis = 0; axis < 3; ++axis) {
        min[axis] = MinOf(min[axis], later.min[axis]);
        max[axis] = MaxOf(max[axis], later.max[axis]);
    }
}

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
    // The seed is the exact number that the record's text reads as once the keyword, periods and
    // blanks (and, for a vertex, minus signs and letters e) are taken out: copies of a vertex line
    // share their noise, and vertices whose digits differ anywhere get their own.
    ExactNumberScanner seed;
    if (normal) {
        for (std::size_t i = 0; i < record.size(); ++i) {
            const char c = record[i];
            if (c == 'v' && i + 1 < record.size() && record[i + 1] == 'n') {
                ++i;
                continue;
            }
            if (c == '.' || c == ' ')
                continue;
            if (!seed.feed(c))
                break;
        }
    } else if (!feedPlainVertex(record, seed)) {
        seed.feedAll(record, [](char c) { return kSeedBytes[static_cast<unsigned char>(c)] == SeedSkipped; });
    }
    m_generator.reset(-1);
    m_generator.reseed(seed.key(daySalt));

    double c[3];
    std::string_view texts[3];
    FieldCursor further = readCoordinates(record, normal ? "normal" : "vertex", c, texts);
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
    for (int axis = 0; axis < 3; ++axis) {
        if (choice.axes[axis]) {
            if (const std::optional<double> sample = NoiseValue(m_generator, choice.algorithm))
                c[axis] = c[axis] + noiseScale * *sample;
            if (!std::isfinite(c[axis]))
                throw RecordFault("the coordinate \"" + std::string(texts[axis].substr(0, 40)) +
                                  "\" with its noise is beyond the range of a double.");
        }
        p = printNumber(c[axis], p);
    }
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
