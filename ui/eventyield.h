#pragma once

#include "engine/host.h"

#include <QElapsedTimer>

#include <functional>

namespace jf {

// The engine yields once per block in the format check and once per chunk of lines in the passes,
// so the gaps between the calls differ by orders of magnitude from one phase to the next, and a pace
// learned from them in one phase is wrong in the next. This yield therefore reads the clock at every
// call, which costs little beside a block's work, and serves the window's events only when
// kServeIntervalMs have passed since it last did: a timer or a press of Cancel is served promptly
// whatever the gaps, and the event loop never runs once per block.
class EventYield : public EventLoop
{
public:
    static constexpr qint64 kServeIntervalMs = 10;

    EventYield() { start(); }

    void yield() override;
    // While the engine waits for the disk or a helper thread, between its yields.
    void serveWhileWaiting() override;
    bool interrupted() const override { return m_interrupted; }

    // Before each run: the first yield serves the events, so a status window just shown is painted.
    void start();
    // No later phase of the run starts.
    void interrupt() { m_interrupted = true; }
    // Called before the events are served (the status window pushes its progress to the bar).
    void setBeforeServing(std::function<void()> hook) { m_beforeServing = std::move(hook); }
    // Tests serve at every call (0) to act at an exact chunk.
    void setServeInterval(qint64 milliseconds);
    // How often the events were served since start().
    unsigned long long servings() const { return m_servings; }

private:
    void serve();

    std::function<void()> m_beforeServing;
    QElapsedTimer m_clock;
    qint64 m_lastServed = 0;
    qint64 m_serveIntervalNs = kServeIntervalMs * 1'000'000;
    unsigned long long m_servings = 0;
    bool m_interrupted = false;
};

} // namespace jf
