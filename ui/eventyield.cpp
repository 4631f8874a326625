#include "ui/eventyield.h"

#include <QCoreApplication>

#include <algorithm>

namespace jf {

void EventYield::start()
{
    m_interrupted = false;
    m_servings = 0;
    m_stride = 1;
    m_calls = 0;
    m_clock.start();
    m_lastRead = 0;
    m_lastServed = -m_serveIntervalNs;
}

void EventYield::yield()
{
    if (++m_calls < m_stride)
        return;
    m_calls = 0;
    const qint64 now = m_clock.nsecsElapsed();
    // Keep the clock reads about kClockReadNs apart as the cost of a call changes.
    const qint64 sinceRead = now - m_lastRead;
    m_lastRead = now;
    if (sinceRead > 2 * kClockReadNs && m_stride > 1)
        m_stride /= 2;
    else if (sinceRead < kClockReadNs / 2 && m_stride < m_maxStride)
        m_stride *= 2;
    if (now - m_lastServed >= m_serveIntervalNs)
        serve();
}

void EventYield::serveWhileWaiting()
{
    if (m_clock.nsecsElapsed() - m_lastServed >= m_serveIntervalNs)
        serve();
}

void EventYield::setThrottle(unsigned maxCallsPerClockRead, qint64 serveIntervalMs)
{
    m_maxStride = maxCallsPerClockRead > 0 ? maxCallsPerClockRead : 1;
    m_stride = std::min(m_stride, m_maxStride);
    m_serveIntervalNs = serveIntervalMs * 1'000'000;
}

void EventYield::serve()
{
    if (m_beforeServing)
        m_beforeServing();
    QCoreApplication::processEvents();
    ++m_servings;
    // The pace counts from the end of the serving, so a slow repaint does not starve the run.
    m_lastServed = m_clock.nsecsElapsed();
    m_lastRead = m_lastServed;
}

} // namespace jf
