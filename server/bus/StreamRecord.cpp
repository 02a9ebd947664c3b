#include "server/bus/StreamRecord.h"

#include <algorithm>

namespace vesmira {

std::string encodeStreamRecord(const Record& record) {
    std::size_t size = record.size();
    while (size > 0 && record[size - 1] == '\0') {
        --size;
    }
    return std::string(record.data(), size);
}

std::optional<Record> decodeStreamRecord(std::string_view bytes) {
    if (bytes.size() > kRecordSize) {
        return std::nullopt;
    }
    Record record{};
    std::copy(bytes.begin(), bytes.end(), record.begin());
    return record;
}

} // namespace vesmira
