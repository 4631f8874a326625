#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>

namespace jf {

// The one grammar of a number in text, which every reader of numbers follows: the conversion to a
// double (number.h) and the exact seed (exactnumber.h) must never disagree on where a number
// starts, which characters belong to it and where it ends.
//
// A number is [sign] digits [. digits] [e|E [sign] digits] with at least one digit before the
// exponent; blanks, tabs and line feeds may stand anywhere and are no part of it. There are no
// hexadecimal, "inf" or "nan" forms, and the period is the decimal separator whatever the locale.

constexpr bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}
constexpr bool isNumberBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n';
}

// What one character is to the number being read.
enum class NumberPart : std::uint8_t {
    Blank, // passed over wherever it stands
    Sign,  // before the first digit
    IntegerDigit,
    Period,
    FractionDigit,
    // An exponent mark and its sign belong to the number only once an exponent digit follows;
    // until then, the number ends with the last digit before the mark.
    ExponentMark,
    ExponentSign,
    ExponentDigit,
    // The character cannot continue the number, and no character after it can: the number is over.
    End,
};

namespace number_grammar {

enum State : std::uint8_t { Start, Signed, Int, Dot, Frac, Mark, MarkSign, Exp, Done, kStateCount };
// The first four are the characters a number is made of, in the columns of kGrammar.
enum Class : std::uint8_t { Digit, SignChar, PeriodChar, ExpChar, Other, BlankChar, kClassCount };
struct Step
{
    NumberPart part;
    State state;
};

using enum NumberPart;
constexpr Step kEnd{End, Done};
// The grammar itself: what a digit, a sign, a period and an e or E are in each state. Any other
// character ends the number; blanks are passed over until it has ended.
// clang-format off
constexpr Step kGrammar[kStateCount][4] = {
    //              digit                  sign                      period          e or E
    /* Start */    {{IntegerDigit, Int},   {Sign, Signed},           {Period, Dot},  kEnd},
    /* Signed */   {{IntegerDigit, Int},   kEnd,                     {Period, Dot},  kEnd},
    /* Int */      {{IntegerDigit, Int},   kEnd,                     {Period, Frac}, {ExponentMark, Mark}},
    // A period before any digit is a number only with a digit after it, and only then may an
    // exponent come.
    /* Dot */      {{FractionDigit, Frac}, kEnd,                     kEnd,           kEnd},
    /* Frac */     {{FractionDigit, Frac}, kEnd,                     kEnd,           {ExponentMark, Mark}},
    /* Mark */     {{ExponentDigit, Exp},  {ExponentSign, MarkSign}, kEnd,           kEnd},
    /* MarkSign */ {{ExponentDigit, Exp},  kEnd,                     kEnd,           kEnd},
    /* Exp */      {{ExponentDigit, Exp},  kEnd,                     kEnd,           kEnd},
    /* Done */     {kEnd,                  kEnd,                     kEnd,           kEnd},
};
// clang-format on

constexpr std::array<Class, 256> kClasses = [] {
    std::array<Class, 256> classes{};
    classes.fill(Other);
    const auto set = [&](std::initializer_list<char> chars, Class cls) {
        for (const char c : chars)
            classes[static_cast<unsigned char>(c)] = cls;
    };
    set({'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}, Digit);
    set({'+', '-'}, SignChar);
    set({'.'}, PeriodChar);
    set({'e', 'E'}, ExpChar);
    set({' ', '\t', '\n'}, BlankChar);
    return classes;
}();

// The grammar spelled out for every class of character, so that a step is one lookup: the seed of
// a normal is read a character at a time.
constexpr auto kSteps = [] {
    std::array<std::array<Step, kClassCount>, kStateCount> steps{};
    for (int s = 0; s < kStateCount; ++s) {
        const auto state = static_cast<State>(s);
        for (int c = 0; c < 4; ++c)
            steps[s][c] = kGrammar[s][c];
        steps[s][Other] = kEnd;
        steps[s][BlankChar] = state == Done ? kEnd : Step{Blank, state};
    }
    return steps;
}();

} // namespace number_grammar

// Walks the grammar one character at a time, so that callers can read a number out of a record
// while they filter it, without building the filtered text. Once next() has returned End it
// returns End for every character.
class NumberGrammar
{
public:
    constexpr NumberPart next(char c)
    {
        const number_grammar::Step step =
            number_grammar::kSteps[m_state][number_grammar::kClasses[static_cast<unsigned char>(c)]];
        m_state = step.state;
        return step.part;
    }

    // Whether the number stands in its integer part, where a digit leaves the grammar as it is:
    // callers may take such digits without a step each.
    constexpr bool inInteger() const { return m_state == number_grammar::Int; }

    // For a run of digits taken at once: true, with the grammar moved into the integer part, when
    // every one of them is an integer digit here (before any digit, after the sign or among the
    // integer digits); false, with nothing changed, anywhere else.
    constexpr bool takeIntegerRun()
    {
        using namespace number_grammar;
        if (m_state != Start && m_state != Signed && m_state != Int)
            return false;
        m_state = Int;
        return true;
    }

private:
    number_grammar::State m_state = number_grammar::Start;
};

// Where from_chars is to start on a text that starts like a plain number (an optional sign, then
// a digit, or a period and a digit), or nullptr for any other text: from_chars takes a minus sign
// but no plus. On such a text, as long as it holds no blank, from_chars reads exactly the number
// this grammar reads, and faster; its own further forms (inf, nan, none of ours) start with a
// letter and are kept out.
constexpr const char* plainNumberStart(const char* first, const char* last)
{
    if (first == last)
        return nullptr;
    if (isDigit(*first))
        return first; // nearly every field: one test
    const bool plus = *first == '+';
    const char* p = plus || *first == '-' ? first + 1 : first;
    if (p != last && *p == '.')
        ++p;
    return p != last && isDigit(*p) ? first + plus : nullptr;
}

} // namespace jf
