#include "server/core/RecordAssembler.h"

#include <algorithm>

namespace vesmira {

void RecordAssembler::feed(std::string_view bytes, const std::function<void(Record&)>& onRecord) {
    while (!bytes.empty()) {
        const std::size_t take = std::min(bytes.size(), kRecordSize - m_filled);
        std::copy_n(bytes.data(), take, m_pending.data() + m_filled);
        m_filled += take;
        bytes.remove_prefix(take);
        if (m_filled == kRecordSize) {
            m_filled = 0;
            onRecord(m_pending);
        }
    }
}

std::optional<Record> RecordAssembler::takeTail() {
    if (m_filled == 0) {
        return std::nullopt;
    }
    Record tail{};
    std::copy_n(m_pending.data(), m_filled, tail.data());
    m_filled = 0;
    return tail;
}

} // namespace vesmira
