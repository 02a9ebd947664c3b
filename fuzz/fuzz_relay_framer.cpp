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

// Where a stream of well-formed messages goes quiet, and where a read must not end: just when a record glued
// behind a short message would look whole if the short message were its start.
struct Plan {
    std::vector<std::size_t> quietAt;
    std::vector<std::size_t> noReadEndAt;
};

// Feeds `stream` in pieces of the given sizes (each byte's low seven bits times eight, so pieces run from one byte
// to two records). Quiet periods fall where the plan says or, without one, after each piece whose size byte has its
// top bit set. Ends as the stream does: with a flush.
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
        FUZZ_CHECK(framer.heldBytes() < 2 * kRecord);
        bool quiet = false;
        if (plan) {
            while (nextQuiet != plan->quietAt.end() && *nextQuiet <= offset) {
                quiet = quiet || *nextQuiet == offset;
                ++nextQuiet;
            }
        } else {
            quiet = (size & 0x80u) != 0;
        }
        if (quiet) {
            framer.flush(onLine);
            FUZZ_CHECK(!framer.holding());
        }
    }
    framer.flush(onLine);
    FUZZ_CHECK(!framer.holding());
    return lines;
}

enum Kind : std::uint8_t {
    kRecordWithNul, // text, NUL, zero fill
    kRecordAllText, // 500 bytes without NUL
    kShortMessage,  // text without NUL, written by the server by itself
    kAllZeroRecord, // no line
    kTextAfterNul,  // text, NUL, zeros, more text, zeros: only the text before the NUL is a line
};

struct Message {
    Kind kind;
    std::string bytes;
    std::string line;       // empty: none
    std::size_t fillFrom;   // where a quiet may fall inside it (kRecord: nowhere)
    std::uint8_t quietByte; // bit 7: quiet after it; bit 6: quiet inside its fill, at the low bits' offset
};

// Up to 24 messages as a server writes them, cut anywhere, quiet at message ends and anywhere inside zero fill
// (not inside text, where a stall is a short message's end), the stream possibly ending inside the last
// record's fill. The only quiet periods left out are where no reading can tell: inside the fill of a record glued
// behind a short message, or right after it, before the next message starts.
void checkMessages(std::string_view bytes, const std::vector<std::uint8_t>& sizes) {
    std::vector<Message> messages;
    for (std::size_t i = 0; i + 2 < std::min<std::size_t>(bytes.size(), 72); i += 3) {
        const auto kind = static_cast<Kind>(static_cast<std::uint8_t>(bytes[i]) % 5);
        const auto length = static_cast<std::uint8_t>(bytes[i + 1]);
        const char letter = static_cast<char>('!' + i / 3 % 90);
        Message message{kind, {}, {}, kRecord, static_cast<std::uint8_t>(bytes[i + 2])};
        switch (kind) {
        case kRecordWithNul:
            message.line.assign(length * 2 % (kRecord - 1) + 1, letter);
            break;
        case kRecordAllText:
            message.line.assign(kRecord, letter);
            break;
        case kShortMessage:
            message.line.assign(length % 60 + 1, letter);
            break;
        case kAllZeroRecord:
            message.fillFrom = 0;
            break;
        case kTextAfterNul:
            message.line.assign(length % 200 + 1, letter);
            break;
        }
        message.bytes = message.line;
        if (kind != kShortMessage && kind != kRecordAllText) {
            message.fillFrom = message.line.size() + (kind == kAllZeroRecord ? 0 : 1);
            message.bytes.resize(kRecord, '\0');
        }
        if (kind == kTextAfterNul) {
            message.bytes.replace(message.line.size() + 1 + length % 64, 1 + length % 40,
                                  std::string(1 + length % 40, letter == '~' ? '}' : '~'));
        }
        messages.push_back(message);
    }
    // A record with text after its NUL is told from a record taken too early only after a record with NUL.
    Kind lastTold = kRecordWithNul;
    for (Message& message : messages) {
        if (message.kind == kTextAfterNul && lastTold != kRecordWithNul && lastTold != kTextAfterNul) {
            message.kind = kRecordWithNul;
            message.bytes.replace(message.fillFrom, kRecord, kRecord - message.fillFrom, '\0');
        }
        if (message.kind != kAllZeroRecord) {
            lastTold = message.kind;
        }
    }

    std::string stream;
    std::vector<std::string> expected;
    Plan plan;
    for (std::size_t m = 0; m < messages.size(); ++m) {
        Message& message = messages[m];
        const Message* next = m + 1 < messages.size() ? &messages[m + 1] : nullptr;
        const Message* afterNext = m + 2 < messages.size() ? &messages[m + 2] : nullptr;
        if (message.kind == kShortMessage && !(message.quietByte & 0x80u)) {
            // Glued to a record with NUL, it is told apart by where that record's fill ends: the next message must
            // start with text before the stream goes quiet. Anything else is told apart by a quiet period.
            const bool glued = next && next->kind == kRecordWithNul && afterNext && afterNext->kind != kAllZeroRecord;
            if (glued) {
                messages[m + 1].quietByte = 0;
                plan.noReadEndAt.push_back(stream.size() + kRecord);
            } else {
                message.quietByte |= 0x80u;
            }
        }
        const std::size_t start = stream.size();
        stream += message.bytes;
        if (!message.line.empty()) {
            expected.push_back(message.line);
        }
        if ((message.quietByte & 0x40u) && message.fillFrom < kRecord) {
            plan.quietAt.push_back(start + message.fillFrom +
                                   std::size_t{message.quietByte & 0x3Fu} * 8 % (kRecord - message.fillFrom));
        }
        if (message.quietByte & 0x80u) {
            plan.quietAt.push_back(stream.size());
        }
    }
    // The end of the stream may come inside the last record's fill.
    if (!messages.empty() && messages.back().fillFrom < kRecord && (messages.back().quietByte & 0x20u)) {
        const std::size_t fillFrom = messages.back().fillFrom;
        stream.resize(stream.size() - kRecord + fillFrom +
                      std::size_t{messages.back().quietByte} * 7 % (kRecord - fillFrom));
    }
    std::sort(plan.quietAt.begin(), plan.quietAt.end());
    FUZZ_CHECK(frame(stream, sizes, &plan) == expected);
}

} // namespace

// The input is [n][n piece sizes][bytes]. Any bytes, cut anywhere, with quiet periods anywhere: every line is
// text of the stream (no NUL, never empty), the lines in order and apart; every byte before the first NUL comes
// out, and all of them when there is none. The same bytes read as a list of messages written the way a server
// writes them: every message comes out as exactly its line.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t sizeCount = std::min<std::size_t>(data[0] % 32, size - 1);
    const std::vector<std::uint8_t> sizes(data + 1, data + 1 + sizeCount);
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1 + sizeCount), size - 1 - sizeCount);

    std::size_t from = 0;
    std::string joined;
    for (const std::string& line : frame(bytes, sizes)) {
        FUZZ_CHECK(!line.empty() && line.find('\0') == std::string::npos);
        const std::size_t at = bytes.find(line, from);
        FUZZ_CHECK(at != std::string_view::npos);
        from = at + line.size();
        joined += line;
    }
    const std::string_view beforeNul = bytes.substr(0, bytes.find('\0'));
    FUZZ_CHECK(joined.compare(0, beforeNul.size(), beforeNul) == 0);

    checkMessages(bytes, sizes);
    return 0;
}
