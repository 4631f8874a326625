// Text to number, the exact seed form and the printed form, held against each other: the double
// that a text reads as and the canonical form of its exact value must agree on zero, on the sign
// and (where the exponent is of a sane size) on the value itself; a printed number reads back to
// the very same double.

#include "fuzzsupport.h"
#include "text/exactnumber.h"
#include "text/number.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

using namespace jf;
using namespace jf::fuzz;

namespace {

bool ignored(char c)
{
    return c == ' ' || c == '\t' || c == '\n';
}

// Whether the text has an exponent so long that its canonical form shows it modulo 2^64.
bool hugeExponent(std::string_view text)
{
    std::size_t digits = 0;
    bool inExponent = false;
    for (char c : text) {
        if (ignored(c))
            continue;
        if (c == 'e' || c == 'E') {
            inExponent = true;
            digits = 0;
        } else if (inExponent && c >= '0' && c <= '9') {
            if (++digits >= 17)
                return true;
        } else if (inExponent && !(digits == 0 && (c == '+' || c == '-'))) {
            inExponent = false;
        }
    }
    return false;
}

void checkPrinted(double value)
{
    if (!std::isfinite(value))
        return;
    char buffer[kPrintedNumberMax];
    const char* const end = printNumber(value, buffer);
    const std::size_t length = static_cast<std::size_t>(end - buffer);
    const std::string_view printed(buffer, length);
    FUZZ_CHECK(length >= 3 && length <= kPrintedNumberMax);
    FUZZ_CHECK(printed.front() == (value < 0 ? '-' : ' '));
    FUZZ_CHECK(printed.back() == ' ');
    FUZZ_CHECK_MSG(printed[1] >= '0' && printed[1] <= '9', printable(printed)); // "0.5", never ".5"
    for (char c : printed.substr(1, length - 2))
        FUZZ_CHECK_MSG((c >= '0' && c <= '9') || c == '.' || c == 'e' || c == '+' || c == '-',
                       printable(printed));
    const NumberReading back = textToNumber(printed);
    FUZZ_CHECK(!back.overflow);
    FUZZ_CHECK_MSG(back.value == value && (value != 0 || !std::signbit(back.value)), printable(printed));
}

std::uint64_t keyOf(std::string_view text, std::uint64_t salt)
{
    ExactNumberScanner scanner;
    for (char c : text)
        if (!scanner.feed(c))
            break;
    return scanner.key(salt);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(bytes), size);

    const NumberReading reading = textToNumber(text);
    const std::string canonical = canonicalNumber(text);
    FUZZ_CHECK(!std::isnan(reading.value) && !std::isinf(reading.value));
    FUZZ_CHECK(!reading.overflow || reading.value == 0.0);

    // Zero has one form, and only an exact zero has it: a double that is not zero, or a number too
    // large for a double, has digits.
    if (canonical == "0")
        FUZZ_CHECK_MSG(reading.value == 0.0 && !reading.overflow, printable(text));
    if (reading.value != 0.0 || reading.overflow)
        FUZZ_CHECK_MSG(canonical != "0", printable(text));
    if (reading.value != 0.0)
        FUZZ_CHECK_MSG(std::signbit(reading.value) == (canonical.front() == '-'), printable(text));

    // The canonical form is a number text of its own, and a fixed point.
    FUZZ_CHECK(canonicalNumber(canonical) == canonical);
    const std::uint64_t salt = size > 0 ? bytes[0] : 0;
    if (!hugeExponent(text)) {
        // Both are correctly rounded from the same exact value, so they are the same double.
        const NumberReading again = textToNumber(canonical);
        FUZZ_CHECK_MSG(again.overflow == reading.overflow, printable(text) + " -> " + canonical);
        FUZZ_CHECK_MSG(again.value == reading.value, printable(text) + " -> " + canonical);
        FUZZ_CHECK_MSG(keyOf(text, salt) == keyOf(canonical, salt), printable(text) + " -> " + canonical);
    }

    // The scanner stops where the number ends: what follows changes nothing.
    {
        ExactNumberScanner scanner(true);
        std::size_t used = 0;
        while (used < text.size() && scanner.feed(text[used]))
            ++used;
        if (used < text.size()) {
            ++used; // the character that ended it
            for (; used < text.size(); ++used)
                FUZZ_CHECK(!scanner.feed(text[used]));
        }
        FUZZ_CHECK(scanner.canonical() == canonical);
        FUZZ_CHECK(scanner.isZero() == (canonical == "0"));
    }

    checkPrinted(reading.value);
    // Every double, not only those that texts read as: the input's first eight bytes as one.
    if (size >= sizeof(double)) {
        double raw;
        std::memcpy(&raw, bytes, sizeof raw);
        checkPrinted(raw);
    }
    return 0;
}
