#include "generator.h"

#include "engine/host.h"
#include "text/exactnumber.h"

namespace jf {

namespace {
constexpr std::uint64_t kGoldenGamma = 0x9e3779b97f4a7c15ull;
}

float Generator::reset(std::int16_t value)
{
    m_state = mix64(static_cast<std::uint64_t>(static_cast<std::int64_t>(value)) ^ 0x5265736574ull);
    return next();
}

void Generator::reseed(std::uint64_t key)
{
    m_state = mix64(m_state ^ key);
}

float Generator::next()
{
    m_state += kGoldenGamma;
    const std::uint64_t bits = mix64(m_state) >> 40;
    return static_cast<float>(bits) * (1.0f / 16777216.0f);
}

std::optional<double> NoiseValue(Generator& generator, int algorithmIndex)
{
    const double u = generator.next();
    const double r = (u - 0.5) * 2;
    switch (algorithmIndex) {
    case White:
        return r;
    case Squared: {
        const double sign = r > 0 ? 1.0 : (r < 0 ? -1.0 : 0.0);
        return r * r * sign;
    }
    case Cubic:
        return r * r * r;
    default:
        return std::nullopt;
    }
}

} // namespace jf
