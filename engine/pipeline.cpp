#include "engine/pipeline.h"

#include "engine/host.h"

#include <chrono>
#include <new>

namespace jf {

namespace {
// Enough chunks in flight that neither side waits for the other in the normal run of things,
// few enough that memory stays a few megabytes.
constexpr std::size_t kSlots = 6;

// Waking a sleeping thread costs tens of microseconds of system time on each side. Where chunks
// are small (a line each, or a pipe that delivers a little at a time) that is more than a chunk's
// own work, and the reading thread has the next one ready within microseconds; so while chunks are
// this small, a helper that has run out of them keeps looking for the next one this long before it
// sleeps. Large chunks keep a helper busy long enough that sleeping costs nothing in comparison.
constexpr std::size_t kSpinChunkBytes = 16 * 1024;
constexpr auto kSpinTime = std::chrono::microseconds(50);

void relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Takes the lock, trying a while before it sleeps: the threads hold it for a few instructions at a
// time, and a thread that sleeps on it costs both sides a call into the kernel.
void acquire(std::unique_lock<std::mutex>& lock)
{
    for (int i = 0; i < 256; ++i) {
        if (lock.try_lock())
            return;
        relax();
    }
    lock.lock();
}
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

bool ChunkPipeline::maySpin() const
{
    // One spinner is enough to take the next chunk; a second would only take a core from the
    // reading thread. On one core, spinning only delays the thread that would bring the work.
    static const bool manyCores = std::thread::hardware_concurrency() > 1;
    return manyCores && m_smallChunks && m_spinners == 0;
}

void ChunkPipeline::spin(std::uint64_t seenSequence) const
{
    const auto until = std::chrono::steady_clock::now() + kSpinTime;
    while (m_fillSequence.load(std::memory_order_relaxed) == seenSequence &&
           !m_stop.load(std::memory_order_relaxed)) {
        for (int i = 0; i < 32; ++i)
            relax();
        if (std::chrono::steady_clock::now() >= until)
            return;
    }
}

void ChunkPipeline::work(unsigned index)
{
    std::unique_lock lock(m_mutex, std::defer_lock);
    acquire(lock);
    while (true) {
        const auto claimable = [&] {
            return m_stop || (m_claimSequence < m_fillSequence &&
                              m_slots[m_claimSequence % m_slots.size()].state == State::Submitted);
        };
        if (!claimable() && maySpin()) {
            ++m_spinners;
            const std::uint64_t seen = m_fillSequence;
            lock.unlock();
            spin(seen);
            acquire(lock);
            --m_spinners;
        }
        m_work.wait(lock, claimable);
        if (m_stop)
            return;
        Slot& slot = m_slots[m_claimSequence++ % m_slots.size()];
        slot.state = State::Processing;
        lock.unlock();
        processSlot(slot, m_formatters[index]);
        acquire(lock);
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
        acquire(lock);
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
    bool wake = false;
    {
        std::unique_lock lock(m_mutex, std::defer_lock);
        acquire(lock);
        Slot& slot = m_slots[m_fillSequence % m_slots.size()];
        slot.state = State::Submitted;
        m_smallChunks = slot.chunk->text.size() <= kSpinChunkBytes;
        ++m_fillSequence;
        m_filling = m_slots[m_fillSequence % m_slots.size()].chunk.get();
        // A spinning helper takes the chunk; a sleeper is woken only for chunks beyond what the
        // spinners take. One that stops spinning meanwhile looks again under the lock.
        wake = m_fillSequence - m_claimSequence > m_spinners;
    }
    if (wake)
        m_work.notify_one();
    pump(false);
}

void ChunkPipeline::pump(bool untilEmpty)
{
    std::unique_lock lock(m_mutex, std::defer_lock);
    acquire(lock);
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
            acquire(lock);
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
