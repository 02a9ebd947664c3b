#include "FuzzCheck.h"
#include "session/WireFormat.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

// The client reads each server block into a buffer (256 bytes for a sign-in reply, 500 for a chat record) and
// takes its text up to the first NUL. A read may also fail (-1) or find the end of the stream (0).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::uint8_t mode = data[0];
    const std::string_view block(reinterpret_cast<const char*>(data + 1), size - 1);

    const int capacity = (mode & 1) ? WireFormat::kReplyCapacity : WireFormat::kRecordSize;
    int count = static_cast<int>(std::min<std::size_t>(block.size(), static_cast<std::size_t>(capacity)));
    if ((mode & 6) == 2) {
        count = -1;
    } else if ((mode & 6) == 4) {
        count = 0;
    }

    // Bytes behind the count are not part of the read: fill them with something that must never show up.
    std::array<char, WireFormat::kRecordSize> buffer;
    buffer.fill('\xAA');
    std::memcpy(buffer.data(), block.data(), static_cast<std::size_t>(std::max(count, 0)));

    const CString text = WireFormat::messageText(buffer.data(), count);
    const std::string_view read(buffer.data(), static_cast<std::size_t>(std::max(count, 0)));
    const std::string_view expected = read.substr(0, std::min(read.find('\0'), read.size()));
    FUZZ_CHECK(text.view() == expected);
    FUZZ_CHECK(text.view().find('\0') == std::string_view::npos);
    FUZZ_CHECK(text.GetLength() <= std::max(count, 0));

    const bool accepted = WireFormat::isAccept(text);
    const bool greeting = WireFormat::isGreeting(text);
    FUZZ_CHECK(accepted == (text.view() == "ok"));
    FUZZ_CHECK(greeting == (text.view() == "Hello"));
    FUZZ_CHECK(!(accepted && greeting));
    if (count <= 0) {
        FUZZ_CHECK(text.IsEmpty() && !accepted && !greeting);
    }
    // A reply padded with NULs is still a plain "ok"; one with anything else after its text is not.
    if (accepted) {
        FUZZ_CHECK(read.starts_with("ok") && (read.size() == 2 || read[2] == '\0'));
    }

    // The last reply of a sign-in also accepts "ok" with the first relayed bytes behind it, and hands them on whole.
    const std::optional<std::string_view> chat = WireFormat::chatAfterLastReply(buffer.data(), count);
    FUZZ_CHECK(chat.has_value() == read.starts_with("ok"));
    if (chat) {
        FUZZ_CHECK(chat->data() == read.data() + 2 && chat->size() == read.size() - 2);
    }

    // A received chat line goes into the transcript and is shown: whatever its bytes, the shown text is valid.
    const CString line = text + "\r\n";
    FUZZ_CHECK(vesmira::fuzz::isValidUtf8(line.toUtf8()));
    return 0;
}
