#include "preview/parsedchunks.h"

#include "engine/noise.h"
#include "engine/normalform.h"
#include "text/parser.h"

#include <cstdint>
#include <functional>

namespace jf::preview {

namespace {

// Appends the vertex number each corner of a face's fields in [p, end) starts with ("7", "7/2",
// "7//3", "-1/2/3"), as from_chars reads the text before the corner's first slash; 0 where that is
// not a whole number within 64 bits, which names no vertex either. One pass over the bytes: a large
// file is mostly faces.
void readCorners(const char* p, const char* end, std::vector<std::int64_t>& corners)
{
    constexpr std::uint64_t kLargest = std::uint64_t(INT64_MAX);
    while (true) {
        while (p != end && isSeparator(*p))
            ++p;
        if (p == end)
            return;
        const bool negative = *p == '-';
        const char* q = p + negative;
        const char* const digits = q;
        std::uint64_t magnitude = 0;
        for (; q != end && *q >= '0' && *q <= '9'; ++q)
            magnitude = magnitude * 10 + static_cast<std::uint64_t>(*q - '0');
        // Up to 18 digits fit whatever they are; longer runs (leading zeros, say) are read again.
        bool fits = q - digits <= 18;
        if (!fits) {
            magnitude = 0;
            fits = true;
            for (const char* d = digits; d != q && fits; ++d) {
                const auto digit = static_cast<std::uint64_t>(*d - '0');
                fits = magnitude <= (kLargest + 1 - digit) / 10;
                magnitude = magnitude * 10 + digit;
            }
        }
        const bool whole = q != digits && (q == end || *q == '/' || isSeparator(*q)) && fits &&
                           magnitude <= kLargest + negative;
        std::int64_t index = 0;
        if (whole)
            index = negative ? -static_cast<std::int64_t>(magnitude - 1) - 1 : static_cast<std::int64_t>(magnitude);
        corners.push_back(index);
        while (q != end && !isSeparator(*q))
            ++q;
        p = q;
    }
}

} // namespace

void ParsedChunk::clear()
{
    fileOffset = 0;
    lines = 0;
    coordinates.clear();
    vertexRecords.clear();
    vertexLines.clear();
    corners.clear();
    faceEnds.clear();
    faceVertices.clear();
    fault.reset();
    faultLine = 0;
    m_replacedUsed = 0;
}

void ParsedChunk::parse(const char* begin, const char* end)
{
    std::uint64_t line = 0;
    for (LineSplitter split(begin, end); !split.atEnd();) {
        std::string_view record = split.next();
        ++line;
        const std::string_view keyword = FirstWord(record);
        if (keyword == "v") {
            double c[3];
            std::string_view texts[3];
            try {
                readCoordinates(record, "vertex", c, texts);
            } catch (const RecordFault& error) {
                fault = error.what();
                faultLine = line;
                lines = line;
                return;
            }
            // A record whose "#IND" was replaced lives in the splitter until its next line.
            if (!std::less_equal<const char*>()(begin, record.data()) ||
                !std::less<const char*>()(record.data(), end)) {
                if (m_replacedUsed == m_replaced.size())
                    m_replaced.push_back(std::make_unique<std::string>());
                std::string& copy = *m_replaced[m_replacedUsed++];
                copy.assign(record);
                record = copy;
            }
            coordinates.push_back(c[0]);
            coordinates.push_back(c[1]);
            coordinates.push_back(c[2]);
            vertexRecords.push_back(record);
            vertexLines.push_back(static_cast<std::uint32_t>(line));
        } else if (keyword == "f") {
            readCorners(keyword.data() + keyword.size(), record.data() + record.size(), corners);
            faceEnds.push_back(corners.size());
            faceVertices.push_back(vertexRecords.size());
        }
    }
    lines = line;
}

ParsedChunks::ParsedChunks(int fd, const std::string& path, std::size_t chunkBytes, bool helper)
    : m_reader(fd, path, chunkBytes), m_slotsUsed(helper ? kSlots : 1)
{
    if (helper)
        m_helper = std::thread([this] { help(); });
}

ParsedChunks::~ParsedChunks()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    if (m_helper.joinable())
        m_helper.join();
}

bool ParsedChunks::produce(std::unique_lock<std::mutex>& lock)
{
    Slot& slot = m_slots[m_readSequence % m_slotsUsed];
    if (m_reading || m_ended || m_stop || slot.state != State::Free)
        return false;
    slot.state = State::Busy;
    slot.failure = nullptr;
    m_reading = true;
    lock.unlock();
    bool got = false;
    try {
        got = m_reader.fill(slot.text);
    } catch (...) {
        slot.failure = std::current_exception();
    }
    lock.lock();
    m_reading = false;
    if (!got && !slot.failure) {
        m_ended = true;
        slot.state = State::Free;
        m_changed.notify_all();
        return true;
    }
    ++m_readSequence;
    if (slot.failure) {
        m_ended = true;
        slot.state = State::Ready;
        m_changed.notify_all();
        return true;
    }
    m_changed.notify_all(); // the reader is free for the other thread
    lock.unlock();
    try {
        slot.parsed.clear();
        slot.parsed.fileOffset = slot.text.fileOffset;
        slot.parsed.parse(slot.text.data(), slot.text.data() + slot.text.size());
    } catch (...) {
        slot.failure = std::current_exception();
    }
    lock.lock();
    slot.state = State::Ready;
    m_changed.notify_all();
    return true;
}

void ParsedChunks::help()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop && !(m_ended && !m_reading)) {
        if (!produce(lock))
            m_changed.wait(lock);
    }
}

const ParsedChunk* ParsedChunks::next()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_taken) {
        m_slots[m_takeSequence % m_slotsUsed].state = State::Free;
        ++m_takeSequence;
        m_taken = false;
        m_changed.notify_all();
    }
    while (true) {
        Slot& slot = m_slots[m_takeSequence % m_slotsUsed];
        if (m_takeSequence < m_readSequence && slot.state == State::Ready) {
            m_taken = true;
            if (slot.failure) {
                // It stays taken: nothing after a failure is handed out.
                m_ended = true;
                std::rethrow_exception(slot.failure);
            }
            return &slot.parsed;
        }
        if (m_ended && !m_reading && m_takeSequence == m_readSequence)
            return nullptr;
        if (!produce(lock))
            m_changed.wait(lock);
    }
}

} // namespace jf::preview
