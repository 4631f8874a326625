#pragma once

// The preview's reading of a file: its vertex and face records, a chunk of whole lines at a time,
// their numbers read on two threads and handed to the caller in the file's order. Reading the
// numbers is most of a load's work and each chunk's is its own; what depends on the records before
// (the counts, relative indices, the reduction) stays with the caller, which takes the chunks one
// by one, so a load gives the same mesh whatever thread read which chunk.

#include "engine/wholelinesreader.h"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace jf::preview {

// The records of one chunk, as read. Views point into the chunk's text and stay valid until the
// caller asks for the next chunk.
struct ParsedChunk
{
    std::uint64_t fileOffset = 0; // of its first byte
    std::uint64_t lines = 0;      // lines read, the faulty one included

    // Its v records in order: x y z each, the record in normal form ("#IND" read as "0"), and its
    // line, 1-based within the chunk.
    std::vector<double> coordinates;
    std::vector<std::string_view> vertexRecords;
    std::vector<std::uint32_t> vertexLines; // a chunk's line ends all come from one read of a chunk's bytes

    // Its f records in order: the vertex number each corner's text starts with, as written
    // (negative: relative), 0 for a corner that names none; where each face's corners end; and how
    // many of the chunk's vertices came before it.
    std::vector<std::int64_t> corners;
    std::vector<std::size_t> faceEnds;
    std::vector<std::size_t> faceVertices;

    // The first v record that cannot be read ends the chunk: its fault, and its line within the
    // chunk. Records after it are not read.
    std::optional<std::string> fault;
    std::uint64_t faultLine = 0;

    void clear();
    // Reads the records of [begin, end), whole lines.
    void parse(const char* begin, const char* end);

private:
    // Lines whose "#IND" was replaced, kept for the views into them.
    std::vector<std::unique_ptr<std::string>> m_replaced;
    std::size_t m_replacedUsed = 0;
};

// Reads the file behind `fd` from its start in chunks of about `chunkBytes` of whole lines. With
// `helper` true, a second thread reads and parses chunks ahead of the caller (at most a few, so
// memory stays bounded); the caller parses too while it waits. A failure to read, or one while
// parsing (no memory), comes out of next() at the chunk where it happened.
class ParsedChunks
{
public:
    ParsedChunks(int fd, const std::string& path, std::size_t chunkBytes, bool helper);
    // Stops and waits for the helper.
    ~ParsedChunks();
    ParsedChunks(const ParsedChunks&) = delete;
    ParsedChunks& operator=(const ParsedChunks&) = delete;

    // The next chunk in the file's order, or null after the last. It stays valid until the next
    // call.
    const ParsedChunk* next();

private:
    enum class State { Free, Busy, Ready };
    struct Slot
    {
        ChunkText text;
        ParsedChunk parsed;
        std::exception_ptr failure;
        State state = State::Free;
    };
    // One being taken, one being read, one ready: the two threads rarely wait for each other, and
    // each slot holds a chunk and its numbers.
    static constexpr std::size_t kSlots = 3;

    // Reads and parses the next chunk when its slot is free and no other thread is reading;
    // false when there was nothing to do. Called with `lock` held; releases it while it works.
    bool produce(std::unique_lock<std::mutex>& lock);
    void help();

    WholeLinesReader m_reader;
    std::array<Slot, kSlots> m_slots;
    std::size_t m_slotsUsed; // all with a helper, one without
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::uint64_t m_readSequence = 0; // the next chunk to read
    std::uint64_t m_takeSequence = 0; // the next chunk to hand out
    bool m_taken = false;             // the caller holds chunk m_takeSequence
    bool m_reading = false;
    bool m_ended = false; // every chunk has been read, or reading failed
    bool m_stop = false;
    std::thread m_helper;
};

} // namespace jf::preview
