#include "FuzzCheck.h"
#include "server/core/SenderCheck.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using vesmira::kColon;
using vesmira::Record;
using vesmira::SenderCheck;

// The input is [n][n bytes of ID][record]: whatever a signed-in user sends, judged as a line of that ID. Nothing
// after the first NUL survives, the line before it is untouched, and it is relayed exactly when it starts with the ID
// and "：".
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t idSize = std::min<std::size_t>(data[0] % 64, size - 1);
    const std::string id(reinterpret_cast<const char*>(data + 1), idSize);
    const std::string_view sent(reinterpret_cast<const char*>(data + 1 + idSize),
                                std::min(size - 1 - idSize, vesmira::kRecordSize));
    Record record{};
    std::copy(sent.begin(), sent.end(), record.begin());
    const Record before = record;

    const SenderCheck::Verdict verdict = SenderCheck::check(record, id);

    const auto nul = std::find(before.begin(), before.end(), '\0');
    const auto length = static_cast<std::size_t>(nul - before.begin());
    FUZZ_CHECK(std::equal(before.begin(), nul, record.begin()));
    FUZZ_CHECK(std::all_of(record.begin() + static_cast<std::ptrdiff_t>(length), record.end(),
                           [](char c) { return c == '\0'; }));
    const std::string_view line(before.data(), length);
    const bool own = !id.empty() && line.starts_with(id + std::string(kColon));
    FUZZ_CHECK((verdict == SenderCheck::Verdict::Relay) == own);
    return 0;
}
