#pragma once

#include <cstdint>
#include <optional>

namespace jf {

// The noise generator: SplitMix64 underneath, so a reseed is two multiplications and every record
// can afford a fresh state. After reset(-1) and reseed(k) the numbers depend on k alone.
class Generator
{
public:
    // Puts the generator into a state that depends on `value` alone; returns a number to discard.
    float reset(std::int16_t value);
    // Mixes a 64-bit key (the record's exact seed mixed with the day number) into the state.
    void reseed(std::uint64_t key);
    // Uniform in [0, 1), single precision: 24 random bits.
    float next();

private:
    std::uint64_t m_state = 0;
};

// One noise sample of the given shape from the next number: r, r*|r| or r^3 with r uniform in
// [-1, 1); no value for an index that names no shape. Always draws exactly one number.
std::optional<double> NoiseValue(Generator& generator, int algorithmIndex);

} // namespace jf
