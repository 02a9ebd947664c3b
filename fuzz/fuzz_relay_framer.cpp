#include "FuzzCheck.h"
#include "session/RelayFramer.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t kRecord = vesmira::kRecordSize;

// Where a stream of well-formed messages may go quiet, and where a read must not end: just when a record glued
// behind a short message would look whole if the short message were its start.
struct Plan {
    std::vector<std::size_t> quietAt;
    std::vector<std::size_t> noReadEndAt;
};

// Feeds `stream` in pieces of the given sizes (each byte's low seven bits times eight, so pieces run from one byte
// to two records). Quiet periods fall where the plan says or, without one, after each piece whose size byte has its
// top bit set. Ends with one.
std::vector<std::string> frame(std::string_view stream, const std::vector<std::uint8_t>& sizes,
                               const Plan* plan = nullptr) {
    RelayFramer framer;
    std::vector<std::string> lines;
    const auto onLine = [&lines](std::string_view text) { lines.emplace_back(text); };
    std::size_t offset = 0;
    std::size_t piece = 0;
    auto nextQuiet = plan ? plan->quietAt.begin() : std::vector<std::size_t>::const_iterator{};
    while (offset < stream.size()) {
        std::uint8_t size = sizes.empty() ? 0xFF : sizes[piece++ % sizes.size()];
        std::size_t end = offset + std::max<std::size_t>(1, std::size_t{size & 0x7Fu} * 8);
        if (plan) {
            if (nextQuiet != plan->quietAt.end()) {
                end = std::min(end, *nextQuiet);
            }
            if (std::find(plan->noReadEndAt.begin(), plan->noReadEndAt.end(), end) != plan->noReadEndAt.end()) {
                ++end;
            }
        }
        end = std::min(end, stream.size());
        framer.feed(stream.substr(offset, end - offset), onLine);
        offset = end;
        FUZZ_CHECK(framer.heldBytes() < 3 * kRecord);
        bool quiet = plan ? nextQuiet != plan->quietAt.end() && offset == *nextQuiet : (size & 0x80u) != 0;
        if (quiet) {
            framer.flush(onLine);
            FUZZ_CHECK(!framer.holding());
            if (plan) {
                ++nextQuiet;
            }
        }
    }
    framer.flush(onLine);
    return lines;
}

} // namespace

// The input is [n][n piece sizes][bytes]. Any bytes, cut anywhere, with quiet periods anywhere: every byte but NUL
// comes out once and in order, and no line is empty. The same bytes read as a list of messages written the way a
// server writes them: every message comes out as exactly one line.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t sizeCount = std::min<std::size_t>(data[0] % 32, size - 1);
    const std::vector<std::uint8_t> sizes(data + 1, data + 1 + sizeCount);
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1 + sizeCount), size - 1 - sizeCount);

    std::string withoutNul;
    std::copy_if(bytes.begin(), bytes.end(), std::back_inserter(withoutNul), [](char c) { return c != '\0'; });
    std::string joined;
    for (const std::string& line : frame(bytes, sizes)) {
        FUZZ_CHECK(!line.empty());
        joined += line;
    }
    FUZZ_CHECK(joined == withoutNul);

    // Up to 24 messages: a record with a NUL (text of 1 to 499 bytes), a record that is all text, or a short message. A
    // short message is told from what follows it by that being a record with a NUL, or by a quiet period.
    std::string stream;
    std::vector<std::string> expected;
    Plan plan;
    bool shortBefore = false;
    for (std::size_t i = 0; i + 1 < std::min<std::size_t>(bytes.size(), 48); i += 2) {
        const auto kind = static_cast<std::uint8_t>(bytes[i]) % 3;
        const std::size_t length = static_cast<std::uint8_t>(bytes[i + 1]) * 2 % (kRecord - 1) + 1;
        const std::string text(kind == 1 ? kRecord : (kind == 2 ? length % 60 + 1 : length),
                               static_cast<char>('!' + i % 90));
        if (shortBefore) {
            if (kind == 0) {
                plan.noReadEndAt.push_back(stream.size() - expected.back().size() + kRecord);
            } else {
                plan.quietAt.push_back(stream.size());
            }
        }
        stream += text;
        if (kind == 0) {
            stream.resize(stream.size() + kRecord - text.size(), '\0');
        }
        expected.push_back(text);
        shortBefore = kind == 2;
    }
    FUZZ_CHECK(frame(stream, sizes, &plan) == expected);
    return 0;
}
