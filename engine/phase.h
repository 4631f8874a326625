#pragma once

// What the format check and both passes of the conversion share: the status window's preparation
// and the loop that reports progress, tests for a cancel and yields once per step.

#include "engine/host.h"

#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <string_view>

namespace jf {

inline void preparePhase(StatusView& status, std::uint64_t sourceLength, std::string_view label)
{
    status.setMin(1.0f);
    status.setMax(static_cast<float>(sourceLength));
    status.setValue(1.0f);
    status.setCaption("Convert");
    status.setLabel(label);
    status.show();
}

// Hides the status window on every way out of a phase.
class StatusHider
{
public:
    explicit StatusHider(StatusView& status) : m_status(status) {}
    ~StatusHider() { m_status.hide(); }
    StatusHider(const StatusHider&) = delete;
    StatusHider& operator=(const StatusHider&) = delete;

private:
    StatusView& m_status;
};

inline bool cancelRequested()
{
    return CancelRequested.load(std::memory_order_relaxed) != kFalse;
}

// Runs `work` on a helper thread and serves the window every few milliseconds until it is done;
// its failure is thrown here. For waits on the disk that no record's yield can break up.
template <class Work>
void whileServing(EventLoop& events, Work work)
{
    std::future<void> done = std::async(std::launch::async, std::move(work));
    while (done.wait_for(kServeSlice) != std::future_status::ready)
        events.serveWhileWaiting();
    done.get();
}

// "<path>, line <n>: <fault>"
std::string lineMessage(std::string_view path, std::uint64_t line, std::string_view fault);

} // namespace jf
