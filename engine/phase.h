#pragma once

// A phase of a run as the user sees it (the format check, the scan for extents, the noise pass):
// the status window with its label and a bar over the source's bytes, and the phase's steps. A step
// shows how far the phase has come, tests for a Cancel and serves the window; the window's events,
// a Cancel and a changed option included, come in nowhere else.

#include "engine/host.h"

#include <cstdint>
#include <future>
#include <string_view>

namespace jf {

inline bool cancelRequested()
{
    return CancelRequested.load(std::memory_order_relaxed) != kFalse;
}

class PhaseSteps
{
public:
    PhaseSteps(StatusView& status, EventLoop& events) : m_status(status), m_events(events) {}
    // Hides the status window on every way out of a run whose phase began.
    ~PhaseSteps()
    {
        if (m_begun)
            m_status.hide();
    }
    PhaseSteps(const PhaseSteps&) = delete;
    PhaseSteps& operator=(const PhaseSteps&) = delete;

    // Clears CancelRequested and shows the status window for a phase over `sourceLength` bytes.
    void begin(std::uint64_t sourceLength, std::string_view label)
    {
        CancelRequested.store(kFalse);
        m_status.setMin(1.0f);
        m_status.setMax(static_cast<float>(sourceLength));
        m_status.setValue(1.0f);
        m_status.setCaption("Convert");
        m_status.setLabel(label);
        m_status.show();
        m_begun = true;
    }

    // A step at the 1-based source offset `position`, the window served by a yield. False when a
    // Cancel came: the phase ends without the step's work.
    bool step(std::uint64_t position) { return takeStep(position, &EventLoop::yield); }
    // The same while the phase's work runs on another thread and this one only waits for it.
    bool waitingStep(std::uint64_t position) { return takeStep(position, &EventLoop::serveWhileWaiting); }
    // The progress alone, for the end of such a wait.
    void showProgress(std::uint64_t position) { m_status.setValue(static_cast<float>(position)); }

private:
    bool takeStep(std::uint64_t position, void (EventLoop::*serve)())
    {
        showProgress(position);
        if (cancelRequested())
            return false;
        (m_events.*serve)();
        return true;
    }

    StatusView& m_status;
    EventLoop& m_events;
    bool m_begun = false;
};

// Runs `work` on a helper thread and serves the window every few milliseconds until it is done;
// its failure is thrown here. For waits on the disk that no step can break up. The helper starts
// through `start` where it is given.
template <class Work> void whileServing(EventLoop& events, Work work, const HelperStart& start = {})
{
    std::future<void> done = startWork(start, std::move(work));
    while (done.wait_for(kServeSlice) != std::future_status::ready)
        events.serveWhileWaiting();
    done.get();
}

} // namespace jf
