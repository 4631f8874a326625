#pragma once

// Chunks of whole lines handed from the thread that reads them, in order, to the threads that split
// and format them, and their results taken back in the same order. The reading thread keeps the
// protocol of a pass (progress, cancel test, yield, the options read), once a chunk; a chunk's
// records are then handled with the options read for it, so the output is the same whatever the
// number of threads.

#include "engine/host.h"
#include "engine/records.h"
#include "engine/wholelinesreader.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace jf {

class EventLoop;

// The options as they stood when a chunk's lines were read: one read for the whole chunk.
struct PassOptions
{
    NoiseChoice noise;
    bool normals = false; // noise on normals
    bool split = false;   // quads split
};

struct Chunk
{
    ChunkText text; // whole lines, as read
    PassOptions options;
    // Results.
    std::string out;
    Extents box;
    std::uint64_t lines = 0; // split so far
    std::uint64_t vertices = 0;
    std::uint64_t normals = 0;
    std::uint64_t quads = 0;
    std::optional<std::string> error; // the first failing record's fault; it is the last line split

    void clear();
};

class ChunkPipeline
{
public:
    using Process = std::function<void(Chunk&, RecordFormatter&)>;
    using Deliver = std::function<void(Chunk&)>;

    // `workers` further threads help to process; 0 processes everything on the calling thread.
    // `deliver` runs for every chunk in order, one chunk at a time, on whichever thread finished
    // the chunk or the ones before it: handing a chunk's output on is a copy of all its bytes, which
    // would otherwise fall to the calling thread, which also reads the chunks.
    // What it throws comes out of the calling thread's next submit or finish. The helpers start
    // through `start` where it is given.
    ChunkPipeline(unsigned workers, Process process, Deliver deliver, const HelperStart& start = {});
    ~ChunkPipeline();
    ChunkPipeline(const ChunkPipeline&) = delete;
    ChunkPipeline& operator=(const ChunkPipeline&) = delete;

    // The chunk that the calling thread fills.
    Chunk& current() { return *m_filling; }
    // Hands the current chunk on.
    void submit();
    // Delivers every chunk handed on.
    void finish();
    // Called every few milliseconds while the calling thread waits for a helper (which may itself
    // wait for the disk), so that the window that thread serves stays served.
    void serveWhileWaiting(EventLoop& events) { m_events = &events; }

private:
    enum class State { Filling, Submitted, Processing, Done };
    struct Slot
    {
        std::unique_ptr<Chunk> chunk;
        State state = State::Filling;
    };

    // Delivers what is done, in order; processes a waiting chunk itself when the helpers lag.
    void pump(bool untilEmpty);
    // Delivers, in order, the chunks that are done, unless another thread is at it already or a
    // delivery failed. Called with `lock` held; releases it while a chunk is delivered.
    void deliverDone(std::unique_lock<std::mutex>& lock);
    void work(unsigned index);
    // Whether a helper with nothing to do may look for work a while longer before it sleeps.
    // Called with the lock held.
    bool maySpin() const;
    // Watches for a new chunk or the stop without the lock, for a few microseconds.
    void spin(std::uint64_t seenSequence) const;
    void processSlot(Slot& slot, RecordFormatter& formatter);

    Process m_process;
    Deliver m_deliver;
    std::vector<Slot> m_slots;
    std::vector<RecordFormatter> m_formatters; // one a thread; [0] is the calling thread's
    // The chunk being filled. Changed under the lock; atomic, like m_stop, so that a spinning helper
    // may watch it without the lock.
    std::atomic<std::uint64_t> m_fillSequence = 0;
    std::uint64_t m_deliverSequence = 0; // the next chunk to deliver
    std::uint64_t m_claimSequence = 0;   // the next submitted chunk to process
    // The chunk being filled, kept at hand.
    Chunk* m_filling = nullptr;
    std::mutex m_mutex;
    std::condition_variable m_work;
    std::condition_variable m_done;
    std::atomic<bool> m_stop = false;
    unsigned m_spinners = 0;    // helpers looking for work without sleeping
    bool m_smallChunks = false; // the last chunk submitted was small enough to spin for the next
    bool m_delivering = false;
    std::exception_ptr m_failure; // what a delivery threw
    EventLoop* m_events = nullptr;
    std::vector<std::thread> m_threads;
    unsigned m_helpers = 0;
    unsigned m_helpersEnded = 0; // of those started through a HelperStart
};

// The number of helper threads a run uses: one where there is a second core.
unsigned defaultWorkers();

} // namespace jf
