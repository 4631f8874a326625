// The passes' chunks of whole lines, the records split from them and the field splitter against a
// plain reference. The first input byte picks how the bytes arrive: all at once from an in-memory
// file, or in small pieces of fuzzed sizes through a packet socket, so that line ends, CR LF pairs
// and "#IND" fall across the reader's reads as they do on pipes and slow disks, while each read
// still returns exactly one piece. The chunks are as small as the pieces, so that they end anywhere.

#include "engine/normalform.h"
#include "engine/wholelinesreader.h"
#include "fuzzsupport.h"
#include "text/parser.h"

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

void readChunks(WholeLinesReader& reader, std::string_view data, const std::vector<ReferenceRecord>& expected)
{
    TokenList tokens;
    ChunkText text;
    std::size_t count = 0;
    while (reader.fill(text)) {
        // A chunk is whole lines: it begins where a line begins, and that is its progress value.
        FUZZ_CHECK_MSG(count < expected.size() && text.position() == expected[count].offset + 1,
                       "a chunk that begins inside a line");
        for (LineSplitter split(text.data(), text.data() + text.size()); !split.atEnd(); ++count) {
            FUZZ_CHECK_MSG(count < expected.size(), "more records than lines");
            const std::string_view record = split.next();
            FUZZ_CHECK_MSG(record == expected[count].text,
                           "record " + std::to_string(count + 1) + ": got \"" + printable(record) +
                               "\", want \"" + printable(expected[count].text) + "\"");
            FUZZ_CHECK(!split.lastEndsInCrLf() ||
                       std::string_view(record.data() + record.size(), 2) == "\r\n");
            checkFields(record, tokens);
        }
        FUZZ_CHECK(reader.position() == text.position() + text.size());
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
        int pair[2];
        FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) == 0);
        std::thread sender(sendPieces, pair[1], data, seed, maxPiece);
        {
            WholeLinesReader reader(pair[0], "fuzz input", maxPiece);
            readChunks(reader, data, expected);
        }
        sender.join();
        ::close(pair[0]);
        return 0;
    }

    // Read twice, rewound in between as the conversion rewinds between its passes: nothing that
    // the first reading left may show.
    const int memory = ::memfd_create("jf-records", MFD_CLOEXEC);
    FUZZ_CHECK(memory >= 0 && ::write(memory, data.data(), data.size()) == ssize_t(data.size()));
    WholeLinesReader reader(memory, "fuzz input", maxPiece);
    readChunks(reader, data, expected);
    reader.rewind();
    readChunks(reader, data, expected);
    ::close(memory);
    return 0;
}
