#include "FuzzCheck.h"
#include "server/core/RecordAssembler.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

using vesmira::kRecordSize;
using vesmira::Record;

// The input is [n][n chunk sizes][stream]: the stream is fed in pieces of the given sizes (each byte times four,
// so pieces run from empty to two records), over and over until it is used up, as TCP might split or merge it.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t sizeCount = std::min<std::size_t>(data[0] % 32, size - 1);
    const std::uint8_t* sizes = data + 1;
    const std::string_view stream(reinterpret_cast<const char*>(data + 1 + sizeCount), size - 1 - sizeCount);

    vesmira::RecordAssembler assembler;
    std::string records;
    std::size_t recordCount = 0;
    const auto onRecord = [&](const Record& record) {
        records.append(record.data(), record.size());
        ++recordCount;
    };

    std::size_t offset = 0;
    std::size_t piece = 0;
    while (offset < stream.size()) {
        std::size_t length = sizeCount == 0 ? stream.size() : std::size_t{sizes[piece++ % sizeCount]} * 4;
        if (length == 0) {
            // An empty read changes nothing; the next piece then takes one byte so the loop always moves on.
            assembler.feed({}, onRecord);
            length = 1;
        }
        length = std::min(length, stream.size() - offset);
        assembler.feed(stream.substr(offset, length), onRecord);
        offset += length;
        FUZZ_CHECK(recordCount == offset / kRecordSize);
        FUZZ_CHECK(assembler.pendingSize() == offset % kRecordSize);
    }

    // Whole records come out in order and unchanged, whatever the cuts.
    const std::size_t whole = stream.size() / kRecordSize;
    FUZZ_CHECK(recordCount == whole);
    FUZZ_CHECK(records == stream.substr(0, whole * kRecordSize));

    // The rest is the tail, zero-filled; it is handed out once.
    const std::string_view rest = stream.substr(whole * kRecordSize);
    const std::optional<Record> tail = assembler.takeTail();
    FUZZ_CHECK(tail.has_value() == !rest.empty());
    if (tail) {
        FUZZ_CHECK(std::string_view(tail->data(), rest.size()) == rest);
        FUZZ_CHECK(std::all_of(tail->begin() + static_cast<std::ptrdiff_t>(rest.size()), tail->end(),
                               [](char c) { return c == '\0'; }));
    }
    FUZZ_CHECK(assembler.pendingSize() == 0);
    FUZZ_CHECK(!assembler.takeTail());

    // After the tail, a new record starts from scratch.
    std::size_t after = 0;
    const std::string fresh(kRecordSize, 'x');
    assembler.feed(fresh, [&](const Record& record) {
        FUZZ_CHECK(std::string_view(record.data(), record.size()) == fresh);
        ++after;
    });
    FUZZ_CHECK(after == 1);
    return 0;
}
