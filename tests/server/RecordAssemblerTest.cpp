#include "server/core/RecordAssembler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <ostream>
#include <string>
#include <vector>

namespace vesmira {
namespace {

std::string recordBytes(char fill) {
    std::string bytes(kRecordSize, '\0');
    std::iota(bytes.begin(), bytes.end() - 1, fill); // varied bytes, so a shifted cut shows
    return bytes;
}

struct Chunking {
    const char* name;
    std::vector<std::size_t> pieces; // sizes to cut the stream into; the last piece takes the rest
    friend void PrintTo(const Chunking& chunking, std::ostream* out) { *out << chunking.name; }
};

const std::vector<Chunking> kChunkings = {
    {"whole", {}},
    {"record by record", {500, 500, 500}},
    {"split inside records", {1, 498, 2, 250, 249}},
    {"merged across records", {1000, 1}},
    {"odd pieces", {7, 7, 7, 7, 7, 333, 511}},
    {"byte by byte", std::vector<std::size_t>(1600, 1)},
};

// Three records and a 23-byte tail, as a client's last records followed by its leave notice.
const std::string kTail = "bob\x81\x46\x91\xde\x8e\xba\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42 x";
const std::string kStream = recordBytes('a') + recordBytes('b') + recordBytes('c') + kTail;

class RecordAssemblerChunking : public ::testing::TestWithParam<Chunking> {};

TEST_P(RecordAssemblerChunking, RebuildsRecordsAndTail) {
    RecordAssembler assembler;
    std::vector<std::string> records;
    const auto collect = [&records](const Record& r) { records.emplace_back(r.data(), r.size()); };
    std::string_view rest = kStream;
    for (std::size_t piece : GetParam().pieces) {
        const std::size_t size = std::min(piece, rest.size());
        assembler.feed(rest.substr(0, size), collect);
        rest.remove_prefix(size);
    }
    assembler.feed(rest, collect);

    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0], recordBytes('a'));
    EXPECT_EQ(records[1], recordBytes('b'));
    EXPECT_EQ(records[2], recordBytes('c'));
    EXPECT_EQ(assembler.pendingSize(), kTail.size());
    const std::optional<Record> tail = assembler.takeTail();
    ASSERT_TRUE(tail);
    std::string padded = kTail;
    padded.resize(kRecordSize, '\0');
    EXPECT_EQ(std::string(tail->data(), tail->size()), padded);
    EXPECT_FALSE(assembler.takeTail()) << "the tail is handed out once";
}

INSTANTIATE_TEST_SUITE_P(Streams, RecordAssemblerChunking, ::testing::ValuesIn(kChunkings),
                         [](const ::testing::TestParamInfo<Chunking>& info) {
                             std::string name = info.param.name;
                             std::replace(name.begin(), name.end(), ' ', '_');
                             return name;
                         });

TEST(RecordAssembler, TailSizes) {
    for (std::size_t size : {0u, 1u, 499u, 500u, 501u}) {
        RecordAssembler assembler;
        std::size_t records = 0;
        assembler.feed(std::string(size, 'x'), [&records](const Record&) { ++records; });
        EXPECT_EQ(records, size / kRecordSize) << size;
        EXPECT_EQ(assembler.takeTail().has_value(), size % kRecordSize != 0) << size;
    }
}

TEST(RecordAssembler, StartsAfreshAfterTakingTheTail) {
    RecordAssembler assembler;
    std::vector<std::string> records;
    assembler.feed("partial", [](const Record&) {});
    ASSERT_TRUE(assembler.takeTail());
    assembler.feed(recordBytes('z'), [&records](const Record& r) { records.emplace_back(r.data(), r.size()); });
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0], recordBytes('z'));
}

} // namespace
} // namespace vesmira
