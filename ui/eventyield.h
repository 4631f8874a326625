#pragma once

#include "engine/host.h"

#include <QElapsedTimer>

#include <functional>

namespace jf {

// The engine yields once per 4 KiB chunk in the format check, a quarter of a million times a
// gigabyte, and once per chunk of lines in the passes. This yield counts the calls and reads the clock only
// every so many of them, about once a millisecond whatever a call's work costs (at most every
// kMaxCallsPerClockRead calls), and serves the window's events only when kServeIntervalMs have passed since
// it last did: a timer or a press of Cancel is served within a few milliseconds, and a yield costs next to
// nothing.
class EventYield : public EventLoop
{
public:
    static constexpr unsigned kMaxCallsPerClockRead = 256;
    static constexpr qint64 kClockReadNs = 1'000'000;
    static constexpr qint64 kServeIntervalMs = 10;

    EventYield() { start(); }

    void yield() override;
    // Between chunks the calls come milliseconds apart, so the stride that spaces the clock reads
    // of the check's yields would leave the window unserved for seconds.
    void serveWhileWaiting() override;
    bool interrupted() const override { return m_interrupted; }

    // Before each run: the first yield serves the events, so a status window just shown is painted.
    void start();
    // No later phase of the run starts.
    void interrupt() { m_interrupted = true; }
    // Called before the events are served (the status window pushes its progress to the bar).
    void setBeforeServing(std::function<void()> hook) { m_beforeServing = std::move(hook); }
    // Tests serve at every call (1, 0) to act at an exact chunk.
    void setThrottle(unsigned maxCallsPerClockRead, qint64 serveIntervalMs);
    // How often the events were served since start().
    unsigned long long servings() const { return m_servings; }

private:
    void serve();

    std::function<void()> m_beforeServing;
    QElapsedTimer m_clock;
    qint64 m_lastRead = 0;
    qint64 m_lastServed = 0;
    unsigned m_maxStride = kMaxCallsPerClockRead;
    unsigned m_stride = 1;
    unsigned m_calls = 0;
    qint64 m_serveIntervalNs = kServeIntervalMs * 1'000'000;
    unsigned long long m_servings = 0;
    bool m_interrupted = false;
};

} // namespace jf
