// The record reader, the passes' chunks of whole lines and the field splitter against a plain
// reference. The first input byte picks how the bytes arrive: all at once from an in-memory file, or
// in small pieces of fuzzed sizes through a packet socket, so that line ends, CR LF pairs and "#IND"
// fall across the reader's refills as they do on pipes and slow disks, while each read still returns
// exactly one piece. The chunks are as small as the pieces, so that they end anywhere.

#include "engine/fileio.h"
#include "fuzzsupport.h"
#include "text/parser.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>

using namespace jf;
using namespace jf::fuzz;

namespace {

void checkFields(std::string_view record, TokenList& tokens)
{
    SplitTokens(record, tokens);
    const std::vector<std::string_view> expected = referenceFields(record);
    FUZZ_CHECK_MSG(tokens.Count() == expected.size(), printable(record));
    const char* previousEnd = record.data();
    for (std::size_t i = 1; i <= tokens.Count(); ++i) {
        const std::string_view item = tokens.Item(i);
        FUZZ_CHECK(item == expected[i - 1]);
        // Items view the record itself, in order, without overlap.
        FUZZ_CHECK(item.data() >= previousEnd && item.data() + item.size() <= record.data() + record.size());
        previousEnd = item.data() + item.size();
    }
    FUZZ_CHECK(FirstWord(record) == (expected.empty() ? std::string_view() : expected.front()));
}

// Sends the input in pieces of 1 to `maxPiece` bytes; a packet socket keeps each piece whole.
void sendPieces(int fd, std::string_view data, std::uint64_t seed, std::size_t maxPiece)
{
    std::size_t at = 0;
    while (at < data.size()) {
        std::uint64_t z = (seed += 0x9e3779b97f4a7c15ull); // splitmix64
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        const std::size_t piece = std::min(data.size() - at, 1 + std::size_t((z ^ (z >> 31)) % maxPiece));
        const ssize_t n = ::send(fd, data.data() + at, piece, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break; // the reader is gone: it has failed an invariant already
        }
        at += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

void readAll(RecordReader& reader, std::string_view data, const std::vector<ReferenceRecord>& expected)
{
    TokenList tokens;
    std::size_t count = 0;
    while (!reader.atEnd()) {
        FUZZ_CHECK_MSG(count < expected.size(), "more records than lines");
        // The progress value: the 1-based offset of the line's first byte.
        FUZZ_CHECK(reader.position() == expected[count].offset + 1);
        const std::string_view record = reader.next();
        FUZZ_CHECK_MSG(record == expected[count].text, "record " + std::to_string(count + 1) + ": got \"" +
                                                           printable(record) + "\", want \"" +
                                                           printable(expected[count].text) + "\"");
        FUZZ_CHECK(reader.lineNumber() == count + 1);
        checkFields(record, tokens);
        ++count;
    }
    FUZZ_CHECK_MSG(count == expected.size(), "fewer records than lines");
    FUZZ_CHECK(reader.position() == data.size() + 1);
}

void readChunks(WholeLinesReader& reader, std::string_view data, const std::vector<ReferenceRecord>& expected)
{
    ChunkText text;
    std::size_t count = 0;
    while (reader.fill(text)) {
        // A chunk is whole lines: it begins where a line begins.
        FUZZ_CHECK_MSG(count < expected.size() && text.position(text.data()) == expected[count].offset + 1,
                       "a chunk that begins inside a line");
        for (LineSplitter split(text.data(), text.data() + text.size()); !split.atEnd(); ++count) {
            FUZZ_CHECK_MSG(count < expected.size(), "more records than lines");
            const std::string_view record = split.next();
            FUZZ_CHECK_MSG(record == expected[count].text,
                           "record " + std::to_string(count + 1) + ": got \"" + printable(record) +
                               "\", want \"" + printable(expected[count].text) + "\"");
            FUZZ_CHECK(!split.lastEndsInCrLf() ||
                       std::string_view(record.data() + record.size(), 2) == "\r\n");
        }
        FUZZ_CHECK(reader.position() == text.position(text.data()) + text.size());
    }
    FUZZ_CHECK_MSG(count == expected.size(), "fewer records than lines");
    FUZZ_CHECK(text.size() == 0 && reader.position() == data.size() + 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    if (size == 0)
        return 0;
    const bool inPieces = bytes[0] & 1;
    const std::size_t maxPiece = 1 + (bytes[0] >> 1); // 1..128
    std::uint64_t seed = 0;
    std::size_t header = 1;
    if (inPieces)
        for (; header < 9 && header < size; ++header)
            seed = seed << 8 | bytes[header];
    const std::string_view data(reinterpret_cast<const char*>(bytes) + header, size - header);
    const std::vector<ReferenceRecord> expected = referenceRecords(data);

    if (inPieces) {
        for (const bool chunks : {false, true}) {
            int pair[2];
            FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) == 0);
            std::thread sender(sendPieces, pair[1], data, seed, maxPiece);
            if (chunks) {
                WholeLinesReader reader(pair[0], "fuzz input", maxPiece);
                readChunks(reader, data, expected);
            } else {
                RecordReader reader(pair[0], "fuzz input");
                readAll(reader, data, expected);
            }
            sender.join();
            ::close(pair[0]);
        }
        return 0;
    }

    // One reader for every in-memory input, rewound onto the next file as the conversion rewinds
    // between its passes: a buffer that an earlier long line grew, and state left by an earlier
    // input, must not show. (It also spares a fresh, zeroed buffer per input.)
    static const int kFd = [] {
        const int first = ::memfd_create("jf-records", MFD_CLOEXEC);
        const int fixed = ::fcntl(first, F_DUPFD_CLOEXEC, 100);
        ::close(first);
        return fixed;
    }();
    static RecordReader reader(kFd, "fuzz input");
    const int memory = ::memfd_create("jf-records", MFD_CLOEXEC);
    FUZZ_CHECK(memory >= 0 && kFd >= 0);
    FUZZ_CHECK(::write(memory, data.data(), data.size()) == ssize_t(data.size()));
    FUZZ_CHECK(::dup3(memory, kFd, O_CLOEXEC) == kFd);
    ::close(memory);
    reader.rewind();
    readAll(reader, data, expected);
    WholeLinesReader chunks(kFd, "fuzz input", maxPiece);
    readChunks(chunks, data, expected);
    return 0;
}
