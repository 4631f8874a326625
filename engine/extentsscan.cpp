#include "engine/extentsscan.h"

#include "engine/fileio.h"
#include "text/parser.h"

#include <new>

namespace jf {

ExtentsScan::ExtentsScan(int fd, std::string path)
    : m_fd(fd), m_path(std::move(path)), m_thread(&ExtentsScan::run, this)
{
}

ExtentsScan::~ExtentsScan()
{
    stop();
}

void ExtentsScan::stop()
{
    m_stop.store(true, std::memory_order_relaxed);
    if (m_thread.joinable())
        m_thread.join();
}

bool ExtentsScan::waitFor(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    return m_ended.wait_for(lock, timeout, [this] { return m_done; });
}

void ExtentsScan::run()
{
    try {
        RecordReader reader(m_fd, m_path);
        RecordFormatter formatter;
        while (!m_stop.load(std::memory_order_relaxed) && !reader.atEnd()) {
            m_position.store(reader.position(), std::memory_order_relaxed);
            const std::string_view record = reader.next();
            if (FirstWord(record) != "v")
                continue;
            try {
                formatter.measureVertex(record, m_box);
            } catch (const RecordFault& fault) {
                m_failure = Failure{fault.what(), reader.lineNumber(), false};
                break;
            }
        }
        m_position.store(reader.position(), std::memory_order_relaxed);
    } catch (const EngineError& error) {
        m_failure = Failure{error.what(), 0, false};
    } catch (const std::bad_alloc&) {
        m_failure = Failure{{}, 0, true};
    }
    {
        std::lock_guard lock(m_mutex);
        m_done = true;
    }
    m_ended.notify_all();
}

} // namespace jf
