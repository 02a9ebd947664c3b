#include "WireFormat.h"

#include <algorithm>
#include <cstring>

namespace WireFormat {

CString composeLine(const CString& name, const CString& text) {
    CString line = name;
    line += CString(kColon);
    line += text;
    return line;
}

std::optional<Record> chatRecord(const CString& line) {
    if (line.GetLength() > kMaxLineBytes) {
        return std::nullopt;
    }
    Record record{};
    std::memcpy(record.data(), line.data(), line.size());
    return record;
}

CString leaveNotice(const CString& name) {
    return name + CString(kLeaveSuffix);
}

std::optional<CString> field(std::string_view prefix, const CString& value) {
    CString staged(prefix);
    staged += value;
    if (staged.GetLength() > kMaxFieldBytes) {
        return std::nullopt;
    }
    return staged;
}

CString messageText(const char* bytes, int count) {
    if (!bytes || count <= 0) {
        return {};
    }
    const char* end = bytes + count;
    return CString(bytes, static_cast<std::size_t>(std::find(bytes, end, '\0') - bytes));
}

bool isAccept(const CString& text) {
    return text.view() == kAccept;
}

std::optional<std::string_view> chatAfterLastReply(const char* bytes, int count) {
    std::string_view read = bytes && count > 0 ? std::string_view(bytes, static_cast<std::size_t>(count)) : "";
    if (read.substr(0, kAccept.size()) != kAccept) {
        return std::nullopt;
    }
    return read.substr(kAccept.size());
}

bool isGreeting(const CString& text) {
    return text.view() == kGreeting;
}

bool holdsGreeting(std::string_view bytes) {
    for (std::size_t at = bytes.find(kGreeting); at != std::string_view::npos; at = bytes.find(kGreeting, at + 1)) {
        std::size_t end = at + kGreeting.size();
        if ((at == 0 || bytes[at - 1] == '\0') && (end == bytes.size() || bytes[end] == '\0')) {
            return true;
        }
    }
    return false;
}

} // namespace WireFormat
