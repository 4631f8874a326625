#include "engine/noise.h"

#include "engine/minmax.h"
#include "text/exactnumber.h"
#include "text/number.h"

#include <array>
#include <charconv>
#include <cmath>

namespace jf {

namespace {

constexpr int X = 0;
constexpr int Y = 1;
constexpr int Z = 2;

double number(std::string_view field)
{
    const NumberReading reading = fieldToNumber(field);
    if (reading.overflow)
        throw RecordFault("the number \"" + std::string(field.substr(0, 40)) +
                          (field.size() > 40 ? "..." : "") + "\" is beyond the range of a double.");
    return reading.value;
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

NoiseAmplitude computeNoiseScale(const Extents& box, const std::string& intensityText)
{
    NoiseAmplitude amplitude;
    double d = box.max[X] - box.min[X];
    d = MinOf(d, box.max[Y] - box.min[Y]);
    d = MinOf(d, box.max[Z] - box.min[Z]);
    const NumberReading intensity = textToNumber(intensityText);
    if (intensity.overflow) {
        amplitude.error = "The intensity \"" + intensityText + "\" is beyond the range of a double.";
        return amplitude;
    }
    amplitude.smallestExtent = d;
    amplitude.intensity = intensity.value;
    amplitude.noiseScale = intensity.value * d;
    if (!std::isfinite(amplitude.noiseScale))
        amplitude.error = "The noise amplitude is beyond the range of a double: the mesh's bounding box "
                          "spans more than the largest number.";
    return amplitude;
}

// A field's number is the longest number its text starts with; from_chars reads exactly that
// straight from the record, so the common field is scanned once.
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

std::uint64_t VertexNoise::recordKey(std::string_view record, bool normal, std::uint64_t daySalt)
{
    // The seed is the exact number that the record's text reads as once the keyword, periods and
    // blanks (and, for a vertex, minus signs and letters e) are taken out: copies of a vertex line
    // share their noise, and vertices whose digits differ anywhere get their own.
    ExactNumberScanner seed;
    if (normal) {
        for (std::size_t i = 0; i < record.size(); ++i) {
            const char ch = record[i];
            if (ch == 'v' && i + 1 < record.size() && record[i + 1] == 'n') {
                ++i;
                continue;
            }
            if (ch == '.' || ch == ' ')
                continue;
            if (!seed.feed(ch))
                break;
        }
    } else if (!feedPlainVertex(record, seed)) {
        seed.feedAll(record, [](char ch) { return kSeedBytes[static_cast<unsigned char>(ch)] == SeedSkipped; });
    }
    return seed.key(daySalt);
}

int VertexNoise::applyKey(std::uint64_t key, const NoiseChoice& choice, double noiseScale, double (&c)[3])
{
    m_generator.reset(-1);
    m_generator.reseed(key);
    for (int axis = 0; axis < 3; ++axis) {
        if (!choice.axes[axis])
            continue;
        if (const std::optional<double> sample = NoiseValue(m_generator, choice.algorithm))
            c[axis] = c[axis] + noiseScale * *sample;
        if (!std::isfinite(c[axis]))
            return axis;
    }
    return -1;
}

FieldCursor VertexNoise::apply(std::string_view record, bool normal, const NoiseChoice& choice,
                               double noiseScale, std::uint64_t daySalt, double (&c)[3])
{
    const std::uint64_t key = recordKey(record, normal, daySalt);
    std::string_view texts[3];
    FieldCursor further = readCoordinates(record, normal ? "normal" : "vertex", c, texts);
    const int axis = applyKey(key, choice, noiseScale, c);
    if (axis >= 0)
        throw RecordFault("the coordinate \"" + std::string(texts[axis].substr(0, 40)) +
                          "\" with its noise is beyond the range of a double.");
    return further;
}

} // namespace jf
