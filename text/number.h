#pragma once

#include <charconv>
#include <cstddef>
#include <string_view>

namespace jf {

// How the program reads every number it takes from text: the intensity, each coordinate and each
// seed text. Blanks, tabs and line feeds anywhere in the text are ignored; of the rest, the longest
// leading part of the form [sign] digits [. digits] [e|E [sign] digits] (at least one digit before
// the exponent) is the number, correctly rounded to a double; text without such a part reads as 0.
// There are no hexadecimal, "inf" or "nan" forms, and the period is the decimal separator whatever
// the locale.
struct NumberReading
{
    double value = 0.0;
    // The text holds a number whose magnitude is beyond the largest double; `value` is then 0.
    // Numbers too small for a double read as (signed) zero and are not flagged.
    bool overflow = false;
};

NumberReading textToNumber(std::string_view text);

// textToNumber for one field of a record, which holds no blanks, tabs or line feeds by
// construction: inline, because it runs for every coordinate of every vertex.
inline NumberReading fieldToNumber(std::string_view field)
{
    const char* first = field.data();
    const char* const last = first + field.size();
    const bool plus = first != last && *first == '+';
    first += plus; // from_chars takes a minus sign only
    const char* digits = (!plus && first != last && *first == '-') ? first + 1 : first;
    // from_chars reads the same longest prefix; its further forms (inf, nan) start with a letter.
    if (digits != last && ((*digits >= '0' && *digits <= '9') ||
                           (*digits == '.' && digits + 1 != last && digits[1] >= '0' && digits[1] <= '9'))) {
        NumberReading reading;
        if (std::from_chars(first, last, reading.value).ec == std::errc())
            return reading;
    }
    return textToNumber(field);
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
