#pragma once

// The comparisons every bounding box of the engine is built with.

namespace jf {

// The smaller or larger of two values; on a tie the second one, so that a value met later wins.
constexpr double MinOf(double a, double b)
{
    return a < b ? a : b;
}
constexpr double MaxOf(double a, double b)
{
    return a > b ? a : b;
}

} // namespace jf
