#include "host.h"

#include <cmath>
#include <ctime>
#include <limits>
#include <memory>
#include <sys/time.h>

namespace jf {

std::atomic<std::int16_t> CancelRequested{kFalse};

namespace {

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
constexpr std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

constexpr std::int64_t kOleEpoch = daysFromCivil(1899, 12, 30);

} // namespace

std::future<void> startWork(const HelperStart& start, std::function<void()> work)
{
    if (!start)
        return std::async(std::launch::async, std::move(work));
    auto task = std::make_shared<std::packaged_task<void()>>(std::move(work));
    std::future<void> done = task->get_future();
    start([task] { (*task)(); });
    return done;
}

double systemOleDate()
{
    timeval now{};
    gettimeofday(&now, nullptr);
    const std::time_t seconds = now.tv_sec;
    std::tm local{};
    localtime_r(&seconds, &local);
    const std::int64_t days =
        daysFromCivil(local.tm_year + 1900, unsigned(local.tm_mon + 1), unsigned(local.tm_mday));
    const double secondOfDay =
        local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + now.tv_usec / 1e6;
    return static_cast<double>(days - kOleEpoch) + secondOfDay / 86400.0;
}

std::int32_t DaySeed(const DayClock& clock)
{
    const double date = clock();
    double whole = std::floor(date);
    const double fraction = date - whole;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0))
        whole += 1.0;
    constexpr double kMin = std::numeric_limits<std::int32_t>::min();
    constexpr double kMax = std::numeric_limits<std::int32_t>::max();
    if (!(whole >= kMin))
        return std::numeric_limits<std::int32_t>::min();
    if (whole > kMax)
        return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(whole);
}

} // namespace jf
