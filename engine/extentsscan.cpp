#include "engine/extentsscan.h"

#include "engine/engineerror.h"
#include "engine/host.h"
#include "engine/normalform.h"
#include "engine/wholelinesreader.h"
#include "text/parser.h"

#include <new>

namespace jf {

std::optional<std::string> measureVertices(const ChunkText& text, RecordFormatter& formatter, Extents& box,
                                           std::uint64_t& lines)
{
    for (LineSplitter split(text.data(), text.data() + text.size()); !split.atEnd();) {
        const std::string_view record = split.next();
        ++lines;
        if (FirstWord(record) != "v")
            continue;
        try {
            formatter.measureVertex(record, box);
        } catch (const RecordFault& fault) {
            return fault.what();
        }
    }
    return std::nullopt;
}

ExtentsScan::ExtentsScan(int fd, std::string path, std::size_t chunkBytes, const HelperStart& start)
    : m_fd(fd), m_path(std::move(path)), m_chunkBytes(chunkBytes), m_run(startWork(start, [this] { run(); }))
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
        WholeLinesReader reader(m_fd, m_path, m_chunkBytes);
        RecordFormatter formatter;
        ChunkText text;
        std::uint64_t line = 0;
        while (!m_failure && !m_stop.load(std::memory_order_relaxed) && reader.fill(text)) {
            m_position.store(text.position(), std::memory_order_relaxed);
            if (std::optional<std::string> fault = measureVertices(text, formatter, m_box, line))
                m_failure = Failure{std::move(*fault), line, false};
        }
        m_position.store(reader.position(), std::memory_order_relaxed);
    } catch (const EngineError& error) {
        m_failure = Failure{error.what(), 0, false};
    } catch (const std::bad_alloc&) {
        m_failure = Failure{{}, 0, true};
    }
}

} // namespace jf
