#pragma once

// Records handed from the thread that reads them, in order, to the threads that format them, and
// their results taken back in the same order. The reading thread keeps the whole protocol of a
// pass (progress, cancel test, yield, the options read at each record); only the work on the
// records' text moves, so the output is the same whatever the number of threads.

#include "engine/records.h"

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

// Face: a face record while the split box is ticked.
enum class RecordKind : std::uint8_t { Copy, Vertex, Normal, Face };

struct RecordEntry
{
    std::uint32_t offset = 0; // into Chunk::text
    std::uint32_t length = 0;
    std::uint64_t line = 0;
    RecordKind kind = RecordKind::Copy; // a run of copied records, with their line ends
    NoiseChoice noise;
};

struct Chunk
{
    std::string text; // the records' bytes, one after the other
    std::vector<RecordEntry> records;
    // Results.
    std::string out;
    Extents box;
    std::uint64_t vertices = 0;
    std::uint64_t normals = 0;
    std::uint64_t quads = 0;
    std::optional<std::string> error; // the first failing record's message

    void clear();
    void add(std::string_view record, const RecordEntry& entry);
    // A record that is copied through: stored with its line end, and merged with the copied
    // records before it, so that a run of them costs one entry and one copy. `endsInCrLf`: the
    // record's CR LF follows it in memory and is copied with it.
    void addCopy(std::string_view record, std::uint64_t line, bool endsInCrLf);
    std::string_view record(const RecordEntry& entry) const
    {
        return {text.data() + entry.offset, entry.length};
    }
};

class ChunkPipeline
{
public:
    using Process = std::function<void(Chunk&, RecordFormatter&)>;
    using Deliver = std::function<void(Chunk&)>;

    // `workers` further threads help to process; 0 processes everything on the calling thread.
    // `deliver` runs for every chunk in order, one chunk at a time, on whichever thread finished
    // the chunk or the ones before it: handing a chunk's output on is a copy of all its bytes, which
    // would otherwise fall to the calling thread, the one that bounds a pass of copied records.
    // What it throws comes out of the calling thread's next submit or finish.
    ChunkPipeline(unsigned workers, Process process, Deliver deliver);
    ~ChunkPipeline();
    ChunkPipeline(const ChunkPipeline&) = delete;
    ChunkPipeline& operator=(const ChunkPipeline&) = delete;

    // The chunk that the calling thread fills.
    Chunk& current() { return *m_filling; }
    // Hands the current chunk on once it holds enough work.
    void submitIfFull()
    {
        const Chunk& chunk = current();
        if (chunk.text.size() >= kChunkBytes || chunk.records.size() >= kChunkRecords)
            submit();
    }
    // Hands on what is left and delivers every chunk.
    void finish();
    // Called every few milliseconds while the calling thread waits for a helper (which may itself
    // wait for the disk), so that the window that thread serves stays served.
    void serveWhileWaiting(EventLoop& events) { m_events = &events; }

    static constexpr std::size_t kChunkBytes = 256 * 1024;
    static constexpr std::size_t kChunkRecords = 8192;

private:
    enum class State { Filling, Submitted, Processing, Done };
    struct Slot
    {
        std::unique_ptr<Chunk> chunk;
        State state = State::Filling;
    };

    void submit();
    // Delivers what is done, in order; processes a waiting chunk itself when the helpers lag.
    void pump(bool untilEmpty);
    // Delivers, in order, the chunks that are done, unless another thread is at it already or a
    // delivery failed. Called with `lock` held; releases it while a chunk is delivered.
    void deliverDone(std::unique_lock<std::mutex>& lock);
    void work(unsigned index);
    void processSlot(Slot& slot, RecordFormatter& formatter);

    Process m_process;
    Deliver m_deliver;
    std::vector<Slot> m_slots;
    std::vector<RecordFormatter> m_formatters; // one a thread; [0] is the calling thread's
    std::uint64_t m_fillSequence = 0;          // the chunk being filled
    std::uint64_t m_deliverSequence = 0;       // the next chunk to deliver
    std::uint64_t m_claimSequence = 0;         // the next submitted chunk to process
    // The chunk being filled, kept at hand: its slot's index costs a division, and records are
    // added to it one at a time.
    Chunk* m_filling = nullptr;
    std::mutex m_mutex;
    std::condition_variable m_work;
    std::condition_variable m_done;
    bool m_stop = false;
    bool m_delivering = false;
    std::exception_ptr m_failure; // what a delivery threw
    EventLoop* m_events = nullptr;
    std::vector<std::thread> m_threads;
};

// The number of helper threads a run uses: one where there is a second core.
unsigned defaultWorkers();

} // namespace jf
