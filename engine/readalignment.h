#pragma once

// Where a read from the page cache should land: at the same place within a cache line as its first
// byte has in the file. The kernel's copy into a buffer placed otherwise runs several times slower
// on the processors we run on, so the readers of the source place their unread bytes so.

#include <cstddef>
#include <cstdint>

namespace jf {

constexpr std::size_t kReadAlignment = 64;

// How far into `buffer` to put `kept` bytes so that bytes read from file offset `next` land just
// after them at the alignment they have in the file.
inline std::size_t readAlignedStart(const char* buffer, std::size_t kept, std::uint64_t next)
{
    const auto end = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(buffer) + kept);
    return static_cast<std::size_t>((next - end) % kReadAlignment);
}

} // namespace jf
