#include "engine/engineerror.h"

#include <system_error>

namespace jf {

void throwSystemError(std::string_view what, std::string_view path, int error)
{
    std::string message(what);
    message += ' ';
    message += path;
    message += ": ";
    message += std::generic_category().message(error);
    message += '.';
    throw EngineError(message);
}

std::string lineMessage(std::string_view path, std::uint64_t line, std::string_view fault)
{
    std::string message(path);
    message += ", line ";
    message += std::to_string(line);
    message += ": ";
    message += fault;
    return message;
}

} // namespace jf
