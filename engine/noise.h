#pragma once

// The noise of one vertex or normal record: the one place where a record's coordinates get the
// numbers that Convert writes. The noise pass prints them; the preview draws them. Free of files
// and windows, so that any thread can run it.

#include "engine/generator.h"
#include "text/parser.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace jf {

// A record that cannot be handled; the message names the fault, the caller adds file and line.
class RecordFault : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The bounding box of the vertices measured so far.
struct Extents
{
    bool empty = true;
    double min[3] = {0, 0, 0};
    double max[3] = {0, 0, 0};

    void add(const double (&c)[3]);
    // Widens this box by one measured later, as if its vertices had been added one by one.
    void add(const Extents& later);
};

// What a vertex or noised normal record needs to know of the options, read when it was dispatched.
struct NoiseChoice
{
    bool axes[3] = {true, true, true};
    int algorithm = 0;
};

// `NoiseScale`, the size of the noise for a run: the intensity, read as the window's text is read,
// times the smallest extent of the whole file's box.
struct NoiseAmplitude
{
    double smallestExtent = 0.0;
    double intensity = 0.0;
    double noiseScale = 0.0;
    std::optional<std::string> error; // the intensity or the amplitude is beyond a double
};
NoiseAmplitude computeNoiseScale(const Extents& box, const std::string& intensityText);

// The day number as it enters every record's seed.
constexpr std::uint64_t daySalt(std::int32_t daySeed)
{
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(daySeed));
}

// Reads a vertex's (or a normal's) x, y and z, which `kind` names in a fault. Returns the fields
// after z. Throws RecordFault for a record without three numbers or with one beyond a double.
FieldCursor readCoordinates(std::string_view record, std::string_view kind, double (&c)[3],
                            std::string_view (&texts)[3]);

class VertexNoise
{
public:
    // The record's coordinates with noise on the chosen axes, exactly as Convert prints them; the
    // record is in normal form ("#IND" read as "0"). The seed is the exact number of the record's
    // text, so copies of a line get the same noise. Returns the fields after z. Throws RecordFault
    // for a record that cannot be read or whose noised coordinate is beyond a double.
    FieldCursor apply(std::string_view record, bool normal, const NoiseChoice& choice, double noiseScale,
                      std::uint64_t daySalt, double (&c)[3]);

    // apply() in two steps, for a caller that keeps the coordinates it read from the record:
    // recordKey() is the record's seed on a day, and applyKey() puts the noise of that seed on `c`,
    // the coordinates readCoordinates() reads from the same record. applyKey() returns the first axis
    // whose noised coordinate is beyond a double (apply() names it in its fault), or -1.
    static std::uint64_t recordKey(std::string_view record, bool normal, std::uint64_t daySalt);
    int applyKey(std::uint64_t key, const NoiseChoice& choice, double noiseScale, double (&c)[3]);

private:
    Generator m_generator;
};

} // namespace jf
