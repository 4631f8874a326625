#pragma once

#include <string>
#include <string_view>

namespace jf {

// Letter case of path and name texts held as bytes (UTF-8 where valid). Valid UTF-8 is mapped with
// Unicode's full case mapping (so "ß" upper-cases to "SS"); bytes that are not valid UTF-8 are kept
// as they are, so a name that the file system holds in another encoding survives a round trip.
std::string toUpperText(std::string_view text);
std::string toLowerText(std::string_view text);

// Whether two names are equal ignoring letter case, compared through their upper-case forms.
bool equalIgnoringCase(std::string_view a, std::string_view b);

// Removes leading and trailing blanks (space characters only).
std::string_view trimBlanks(std::string_view text);

} // namespace jf
