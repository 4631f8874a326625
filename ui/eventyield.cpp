#include "ui/eventyield.h"

#include <QCoreApplication>

namespace jf {

void EventYield::start()
{
    m_interrupted = false;
    m_servings = 0;
    m_clock.start();
    m_lastServed = -m_serveIntervalNs;
}

void EventYield::yield()
{
    serveWhileWaiting();
}

void EventYield::serveWhileWaiting()
{
    if (m_clock.nsecsElapsed() - m_lastServed >= m_serveIntervalNs)
        serve();
}

void EventYield::setServeInterval(qint64 milliseconds)
{
    m_serveIntervalNs = milliseconds * 1'000'000;
}

void EventYield::serve()
{
    if (m_beforeServing)
        m_beforeServing();
    QCoreApplication::processEvents();
    ++m_servings;
    // The pace counts from the end of the serving, so a slow repaint does not starve the run.
    m_lastServed = m_clock.nsecsElapsed();
}

} // namespace jf
