#pragma once

// The handling of single records, free of files and windows, so that any thread can run it:
// measuring a vertex for the bounding box, and writing a record's output form.

#include "engine/noise.h"
#include "text/parser.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace jf {

// Every thread has its own: the generator is written for every record, and two formatters that
// shared a cache line would make two threads wait for each other at each one.
class alignas(64) RecordFormatter
{
public:
    // Pass 1: the vertex's x, y and z widen `box`.
    void measureVertex(std::string_view record, Extents& box);

    // Pass 2: the record written with noise on the chosen axes, each line ended by CR LF.
    void writeNoised(std::string_view record, bool normal, const NoiseChoice& choice, double noiseScale,
                     std::uint64_t daySalt, std::string& out);
    // A quad is written as two triangles (true), any other face copied.
    bool writeSplitFace(std::string_view record, std::string& out);
    static void writeCopy(std::string_view record, std::string& out);

private:
    VertexNoise m_noise;
};

} // namespace jf
