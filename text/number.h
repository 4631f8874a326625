#pragma once

#include "numbergrammar.h"

#include <charconv>
#include <cstddef>
#include <string_view>

namespace jf {

// How the program reads every number it takes from text: the intensity, each coordinate and each
// seed text. The longest leading number of the grammar in numbergrammar.h is the number, blanks,
// tabs and line feeds passed over, correctly rounded to a double; text without one reads as 0.
struct NumberReading
{
    double value = 0.0;
    // The text holds a number whose magnitude is beyond the largest double; `value` is then 0.
    // Numbers too small for a double read as (signed) zero and are not flagged.
    bool overflow = false;
};

NumberReading textToNumber(std::string_view text);

// textToNumber by the grammar alone, for any text; the shortcut through from_chars in
// fieldToNumber leaves it the texts that from_chars cannot read.
NumberReading scanNumber(std::string_view text);

// textToNumber for one field of a record, which holds no blanks, tabs or line feeds by
// construction: inline, because it runs for every coordinate of every vertex.
inline NumberReading fieldToNumber(std::string_view field)
{
    const char* const last = field.data() + field.size();
    if (const char* const first = plainNumberStart(field.data(), last)) {
        NumberReading reading;
        if (std::from_chars(first, last, reading.value).ec == std::errc())
            return reading;
        // Out of range: the scan tells an overflow from an underflow.
    }
    return scanNumber(field);
}

// The printed form of a number item: "-" or " ", the shortest digits that read back as the same
// double, then " ". Negative zero prints as 0. `out` must hold kPrintedNumberMax characters; the
// result points past the last character written. `value` must be finite.
constexpr std::size_t kPrintedNumberMax = 32;
char* printNumber(double value, char* out);

// Print lists lay their items out in zones of 14 columns (0-based starts 0, 14, 28, ...). The next
// zone always lies beyond `column`, so an item that fills its zone exactly still gets a blank after it.
constexpr std::size_t kPrintZoneWidth = 14;
constexpr std::size_t nextPrintZone(std::size_t column)
{
    return (column / kPrintZoneWidth + 1) * kPrintZoneWidth;
}

} // namespace jf
