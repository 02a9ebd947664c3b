#pragma once

#include "protocol/Record.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>

namespace vesmira {

// Cuts a byte stream (split or merged by TCP at will) back into records. Holds at most one partial record.
class RecordAssembler {
public:
    // `onRecord` may change the record it is given: the assembler no longer needs it.
    void feed(std::string_view bytes, const std::function<void(Record&)>& onRecord);

    // At end of stream: the partial record left over, zero-filled, or nothing when the stream ended on a
    // record boundary. The client's leave notice is such a tail (it is written without padding).
    std::optional<Record> takeTail();

    std::size_t pendingSize() const { return m_filled; }

private:
    Record m_pending{};
    std::size_t m_filled = 0;
};

} // namespace vesmira
