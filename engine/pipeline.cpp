#include "engine/pipeline.h"

#include "engine/host.h"

#include <new>

namespace jf {

namespace {
// Enough chunks in flight that neither side waits for the other in the normal run of things,
// few enough that memory stays a few megabytes.
constexpr std::size_t kSlots = 6;
} // namespace

void Chunk::clear()
{
    // A chunk that held a huge line gives its memory back: only the longest line may cost memory,
    // and only while it is being handled.
    constexpr std::size_t kKeep = 8 * kPassChunkBytes;
    if (out.capacity() > 2 * kKeep)
        std::string().swap(out);
    out.clear();
    box = Extents();
    lines = vertices = normals = quads = 0;
    error.reset();
}

unsigned defaultWorkers()
{
    return std::thread::hardware_concurrency() > 1 ? 1 : 0;
}

ChunkPipeline::ChunkPipeline(unsigned workers, Process process, Deliver deliver, const HelperStart& start)
    : m_process(std::move(process)), m_deliver(std::move(deliver)), m_slots(kSlots),
      m_formatters(workers + 1), m_helpers(workers)
{
    for (Slot& slot : m_slots)
        slot.chunk = std::make_unique<Chunk>();
    m_filling = m_slots[0].chunk.get();
    for (unsigned i = 0; i < workers; ++i) {
        if (!start) {
            m_threads.emplace_back(&ChunkPipeline::work, this, i + 1);
            continue;
        }
        // Small enough for the function's own storage: starting a helper allocates nothing.
        start([this, i] {
            work(i + 1);
            std::lock_guard lock(m_mutex);
            ++m_helpersEnded;
            m_done.notify_all();
        });
    }
}

ChunkPipeline::~ChunkPipeline()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_work.notify_all();
    for (std::thread& thread : m_threads)
        thread.join();
    std::unique_lock lock(m_mutex);
    m_done.wait(lock, [this] { return m_helpersEnded + m_threads.size() == m_helpers; });
}

void ChunkPipeline::processSlot(Slot& slot, RecordFormatter& formatter)
{
    try {
        m_process(*slot.chunk, formatter);
    } catch (const std::bad_alloc&) {
        slot.chunk->error = "There is not enough memory for the conversion.";
    }
}

void ChunkPipeline::work(unsigned index)
{
    std::unique_lock lock(m_mutex);
    while (true) {
        m_work.wait(lock, [&] {
            return m_stop || (m_claimSequence < m_fillSequence &&
                              m_slots[m_claimSequence % m_slots.size()].state == State::Submitted);
        });
        if (m_stop)
            return;
        Slot& slot = m_slots[m_claimSequence++ % m_slots.size()];
        slot.state = State::Processing;
        lock.unlock();
        processSlot(slot, m_formatters[index]);
        lock.lock();
        slot.state = State::Done;
        deliverDone(lock);
        m_done.notify_all();
    }
}

void ChunkPipeline::deliverDone(std::unique_lock<std::mutex>& lock)
{
    if (m_delivering || m_failure)
        return;
    m_delivering = true;
    while (!m_stop && m_deliverSequence < m_fillSequence &&
           m_slots[m_deliverSequence % m_slots.size()].state == State::Done) {
        Slot& slot = m_slots[m_deliverSequence % m_slots.size()];
        lock.unlock();
        std::exception_ptr failure;
        try {
            m_deliver(*slot.chunk);
            slot.chunk->clear();
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        if (failure) {
            m_failure = failure;
            break;
        }
        slot.state = State::Filling;
        ++m_deliverSequence;
    }
    m_delivering = false;
}

void ChunkPipeline::submit()
{
    {
        std::lock_guard lock(m_mutex);
        m_slots[m_fillSequence % m_slots.size()].state = State::Submitted;
        ++m_fillSequence;
        m_filling = m_slots[m_fillSequence % m_slots.size()].chunk.get();
    }
    m_work.notify_one();
    pump(false);
}

void ChunkPipeline::pump(bool untilEmpty)
{
    std::unique_lock lock(m_mutex);
    while (true) {
        deliverDone(lock);
        if (m_failure)
            std::rethrow_exception(m_failure); // the destructor then stops the helpers
        const std::size_t waiting = m_fillSequence - m_claimSequence;
        const bool ringFull = m_fillSequence - m_deliverSequence == m_slots.size();
        const bool allDelivered = m_deliverSequence == m_fillSequence;
        if (allDelivered || (!untilEmpty && !ringFull && waiting < 2 && m_helpers > 0))
            return;
        if (waiting > 0) {
            // The helpers lag behind, or there are none: process the oldest waiting chunk here.
            Slot& slot = m_slots[m_claimSequence++ % m_slots.size()];
            slot.state = State::Processing;
            lock.unlock();
            processSlot(slot, m_formatters[0]);
            lock.lock();
            slot.state = State::Done;
            continue;
        }
        if (!m_events) {
            m_done.wait(lock);
        } else if (m_done.wait_for(lock, kServeSlice) == std::cv_status::timeout) {
            lock.unlock();
            m_events->serveWhileWaiting();
            lock.lock();
        }
    }
}

void ChunkPipeline::finish()
{
    pump(true);
}

} // namespace jf
