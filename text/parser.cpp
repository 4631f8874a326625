#include "parser.h"

#include <algorithm>

namespace jf {

namespace {
// A lambda, not the function itself, so that the searches inline it.
constexpr auto kSeparator = [](char c) { return isSeparator(c); };
} // namespace

void SplitTokens(std::string_view line, TokenList& tokens)
{
    tokens.clear();
    auto it = line.begin();
    while (true) {
        it = std::find_if_not(it, line.end(), kSeparator);
        if (it == line.end())
            return;
        const auto wordEnd = std::find_if(it, line.end(), kSeparator);
        tokens.append(std::string_view(it, wordEnd));
        it = wordEnd;
    }
}

} // namespace jf
