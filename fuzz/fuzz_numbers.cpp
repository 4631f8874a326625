// Text to number, the exact seed form and the printed form, held against each other: the double
// that a text reads as and the canonical form of its exact value must agree on zero, on the sign
// and (where the exponent is of a sane size) on the value itself; a printed number reads back to
// the very same double. Both readers follow one grammar; from_chars, which reads blank-free fields
// in its stead, is held against that grammar.

#include "fuzzsupport.h"
#include "text/exactnumber.h"
#include "text/number.h"

#include <cmath>
#include <cstring>

using namespace jf;
using namespace jf::fuzz;

namespace {

// Whether the text has an exponent so long that its canonical form shows it modulo 2^64.
bool hugeExponent(std::string_view text)
{
    std::size_t digits = 0;
    bool inExponent = false;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\n')
            continue;
        if (c == 'e' || c == 'E')
            inExponent = true, digits = 0;
        else if (inExponent && c >= '0' && c <= '9' && ++digits >= 17)
            return true;
        else if (inExponent && !(c >= '0' && c <= '9') && !(digits == 0 && (c == '+' || c == '-')))
            inExponent = false;
    }
    return false;
}

// The form is a sign (blank or minus), a digit ("0.5", never ".5"), the rest of the number and a blank.
void checkPrinted(double value)
{
    if (!std::isfinite(value))
        return;
    char buffer[kPrintedNumberMax];
    const std::string_view printed(buffer, std::size_t(printNumber(value, buffer) - buffer));
    FUZZ_CHECK(printed.size() >= 3 && printed.size() <= kPrintedNumberMax);
    FUZZ_CHECK(printed.front() == (value < 0 ? '-' : ' ') && printed.back() == ' ');
    FUZZ_CHECK_MSG(printed[1] >= '0' && printed[1] <= '9', printable(printed));
    FUZZ_CHECK_MSG(printed.substr(1, printed.size() - 2).find_first_not_of("0123456789.e+-") ==
                       std::string_view::npos,
                   printable(printed));
    const NumberReading back = textToNumber(printed);
    FUZZ_CHECK_MSG(!back.overflow && back.value == value && (value != 0 || !std::signbit(back.value)),
                   printable(printed));
}

std::uint64_t keyOf(std::string_view text, std::uint64_t salt)
{
    ExactNumberScanner scanner;
    for (std::size_t i = 0; i < text.size() && scanner.feed(text[i]); ++i) {
    }
    return scanner.key(salt);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(bytes), size);
    const NumberReading reading = textToNumber(text);
    const std::string canonical = canonicalNumber(text), shown = printable(text) + " -> " + canonical;
    FUZZ_CHECK(std::isfinite(reading.value) && (!reading.overflow || reading.value == 0.0));

    // from_chars and the grammar agree on every text both may read, on its extent as on its value.
    const NumberReading scanned = scanNumber(text);
    FUZZ_CHECK_MSG(scanned.overflow == reading.overflow && scanned.value == reading.value &&
                       std::signbit(scanned.value) == std::signbit(reading.value),
                   printable(text));

    // Zero has one form, and only an exact zero has it: a double that is not zero, or a number too
    // large for a double, has digits.
    FUZZ_CHECK_MSG(canonical != "0" || (reading.value == 0.0 && !reading.overflow), shown);
    FUZZ_CHECK_MSG(reading.value == 0.0 || std::signbit(reading.value) == (canonical.front() == '-'), shown);

    // The canonical form is a number text of its own, and a fixed point; both are correctly rounded
    // from the same exact value, so they are the same double.
    FUZZ_CHECK(canonicalNumber(canonical) == canonical);
    const std::uint64_t salt = size > 0 ? bytes[0] : 0;
    if (!hugeExponent(text)) {
        const NumberReading again = textToNumber(canonical);
        FUZZ_CHECK_MSG(again.overflow == reading.overflow && again.value == reading.value, shown);
        FUZZ_CHECK_MSG(keyOf(text, salt) == keyOf(canonical, salt), shown);
    }

    // The scanner stops where the number ends: what follows changes nothing.
    ExactNumberScanner scanner(true);
    std::size_t used = 0;
    while (used < text.size() && scanner.feed(text[used]))
        ++used;
    for (++used; used < text.size(); ++used)
        FUZZ_CHECK(!scanner.feed(text[used]));
    FUZZ_CHECK(scanner.canonical() == canonical && scanner.isZero() == (canonical == "0"));

    // Runs of digits fed at once, as a vertex record's are, give the same number.
    ExactNumberScanner runs(true);
    for (std::size_t i = 0; i < text.size();) {
        std::size_t end = i;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9')
            ++end;
        if (end > i) {
            runs.feedDigits(text.data() + i, end - i);
            i = end;
        } else if (!runs.feed(text[i++])) {
            break;
        }
    }
    FUZZ_CHECK_MSG(runs.canonical() == canonical && runs.key(salt) == keyOf(text, salt), shown);

    // Every double, not only those that texts read as: the input's first eight bytes as one.
    checkPrinted(reading.value);
    if (size >= sizeof(double)) {
        double raw;
        std::memcpy(&raw, bytes, sizeof raw);
        checkPrinted(raw);
    }
    return 0;
}
