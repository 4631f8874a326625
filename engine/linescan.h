#pragma once

// The search that every byte of every pass goes through: the next line end (CR or LF) or "#"
// (which may start an "#IND"). libc has no memchr for three bytes at once, and three memchr calls
// a line cost more than the line's own work, so the search looks at 16 bytes a step where SSE2 is
// there (every x86-64 processor).

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace jf {

#if defined(__SSE2__)
// One bit for each of the 16 bytes that is a line byte, bit 0 for the first.
inline unsigned lineByteBits(__m128i bytes)
{
    const __m128i hits = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'))),
        _mm_cmpeq_epi8(bytes, _mm_set1_epi8('#')));
    return static_cast<unsigned>(_mm_movemask_epi8(hits));
}
#endif

inline const char* findLineByte(const char* p, const char* end)
{
#if defined(__SSE2__)
    for (; end - p >= 16; p += 16) {
        if (const unsigned bits = lineByteBits(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))))
            return p + __builtin_ctz(bits);
    }
#endif
    for (; p != end; ++p)
        if (*p == '\r' || *p == '\n' || *p == '#')
            return p;
    return end;
}

// findLineByte for text that is mostly in normal form already, where a line byte comes every few
// dozen bytes: it also passes over every CR LF pair, 64 or 16 bytes a step. What it returns is a line
// byte that is not part of a pair before it, or `end`; a pair it passed never ends there.
inline const char* skipNormalForm(const char* p, const char* end)
{
#if defined(__SSE2__)
    std::uint64_t crBefore = 0; // the step before ended in a CR, so this one must begin with its LF
    // 64 bytes a step while nothing stops the search, so that the test and its branch come once per
    // cache line; then 16 bytes a step up to the stop.
    for (; end - p >= 64; p += 64) {
        std::uint64_t cr = 0, lf = 0, hash = 0;
        for (int i = 0; i < 4; ++i) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
            const auto bits = [&](char c) {
                return std::uint64_t(unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(c)))))
                       << (16 * i);
            };
            cr |= bits('\r');
            lf |= bits('\n');
            hash |= bits('#');
        }
        if (hash != 0 || lf != ((cr << 1) | crBefore))
            break;
        crBefore = cr >> 63;
    }
    for (; end - p >= 16; p += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const auto bits = [&](char c) {
            return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(c))));
        };
        const unsigned cr = bits('\r');
        if (bits('#') != 0 || bits('\n') != (((cr << 1) | crBefore) & 0xFFFFu))
            break;
        crBefore = cr >> 15;
    }
    p -= crBefore; // back to a CR whose LF is still to be seen
#endif
    return findLineByte(p, end);
}

} // namespace jf
