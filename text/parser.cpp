#include "parser.h"

#include <algorithm>

namespace jf {

std::string_view FirstWord(std::string_view line)
{
    const auto begin = std::find_if_not(line.begin(), line.end(), isSeparator);
    const auto end = std::find_if(begin, line.end(), isSeparator);
    return std::string_view(begin, end);
}

void SplitTokens(std::string_view line, TokenList& tokens)
{
    tokens.clear();
    auto it = line.begin();
    while (true) {
        it = std::find_if_not(it, line.end(), isSeparator);
        if (it == line.end())
            return;
        const auto wordEnd = std::find_if(it, line.end(), isSeparator);
        tokens.append(std::string_view(it, wordEnd));
        it = wordEnd;
    }
}

} // namespace jf
