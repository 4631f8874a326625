#pragma once

// How the engine reports a failure: one exception inside the engine, a message for the user at its
// entry points, which turn it into a result value.

#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace jf {

// A failure of a run: the message names the file, the line where there is one, and the fault.
class EngineError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Throws "<what> <path>: <reason of errno>."
[[noreturn]] void throwSystemError(std::string_view what, std::string_view path, int error);

// "<path>, line <n>: <fault>"
std::string lineMessage(std::string_view path, std::uint64_t line, std::string_view fault);

// Runs `work`, the body of an entry point, and gives what it threw as the message for the user: an
// EngineError's own, or `outOfMemory` when memory ran out. Nothing when it succeeded.
template <class Work> std::optional<std::string> failureOf(Work&& work, std::string_view outOfMemory)
{
    try {
        work();
    } catch (const EngineError& error) {
        return error.what();
    } catch (const std::bad_alloc&) {
        return std::string(outOfMemory);
    }
    return std::nullopt;
}

} // namespace jf
