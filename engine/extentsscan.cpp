#include "engine/extentsscan.h"

#include "engine/fileio.h"
#include "text/parser.h"

#include <new>

namespace jf {

ExtentsScan::ExtentsScan(int fd, std::string path)
    : m_fd(fd), m_path(std::move(path)), m_run(std::async(std::launch::async, &ExtentsScan::run, this))
{
}

ExtentsScan::~ExtentsScan()
{
    stop();
}

void ExtentsScan::stop()
{
    m_stop.store(true, std::memory_order_relaxed);
    m_run.wait();
}

bool ExtentsScan::waitFor(std::chrono::milliseconds timeout)
{
    return m_run.wait_for(timeout) == std::future_status::ready;
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
}

} // namespace jf
