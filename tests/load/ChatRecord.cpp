#include "ChatRecord.h"

#include <charconv>
#include <cstdio>

namespace vesmira::load {

namespace {

constexpr std::string_view kPrefix = "load";
using vesmira::kColon;
using vesmira::kJoinSuffix;
using vesmira::kLeaveSuffix;
// "こんにちは、" in CP932.
constexpr std::string_view kText = "\x82\xb1\x82\xf1\x82\xc9\x82\xbf\x82\xcd\x81\x41";

} // namespace

std::string userId(int client) {
    char id[16];
    std::snprintf(id, sizeof id, "load%04d", client);
    return id;
}

std::string password(int client) {
    return "pw-" + std::to_string(client * 7919 % 10007);
}

std::string makeRecord(int sender, int sequence) {
    std::string line = userId(sender);
    line += kColon;
    line += std::to_string(sequence);
    line += ' ';
    const std::size_t textLength = 12 + static_cast<std::size_t>((sender * 31 + sequence * 17) % 400);
    while (line.size() + kText.size() <= textLength + 20) {
        line += kText;
    }
    std::string record(kRecordSize, '\0');
    record.replace(0, line.size(), line);
    return record;
}

std::optional<RecordId> parseRecord(std::string_view record) {
    if (record.size() != kRecordSize || !record.starts_with(kPrefix)) {
        return std::nullopt;
    }
    RecordId id;
    const char* begin = record.data() + kPrefix.size();
    const char* end = record.data() + record.size();
    auto [afterSender, senderError] = std::from_chars(begin, end, id.sender);
    if (senderError != std::errc() || std::string_view(afterSender, kColon.size()) != kColon) {
        return std::nullopt;
    }
    auto [afterSequence, sequenceError] = std::from_chars(afterSender + kColon.size(), end, id.sequence);
    if (sequenceError != std::errc() || afterSequence == end || *afterSequence != ' ') {
        return std::nullopt;
    }
    return id;
}

std::string leaveNotice(int sender) {
    return userId(sender) + std::string(kLeaveSuffix);
}

std::optional<int> parseLeaveNotice(std::string_view record) {
    if (record.size() != kRecordSize || !record.starts_with(kPrefix)) {
        return std::nullopt;
    }
    int sender = 0;
    const auto [end, ec] = std::from_chars(record.data() + kPrefix.size(), record.data() + record.size(), sender);
    if (ec != std::errc() || sender < 0) {
        return std::nullopt;
    }
    std::string expected = leaveNotice(sender);
    expected.resize(kRecordSize, '\0');
    return record == expected ? std::optional<int>(sender) : std::nullopt;
}

bool isPresenceLine(std::string_view record) {
    const std::string_view line = record.substr(0, record.find('\0'));
    return line.ends_with(kJoinSuffix) || line.ends_with(kLeaveSuffix);
}

} // namespace vesmira::load
