#pragma once

// The handling of single records, free of files and windows, so that any thread can run it:
// measuring a vertex for the bounding box, and writing a record's output form.

#include "engine/generator.h"
#include "text/parser.h"

#include <cstdint>
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
    Generator m_generator;
};

} // namespace jf
