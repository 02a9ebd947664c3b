#include "UserRuleFile.h"

#include "platform/base/TextFile.h"

#include <string>

namespace UserRuleFile {

bool read(UserRuleTable& table, const std::function<void(int slot)>& onRule) {
    table = UserRuleTable{};
    TextFileReader file;
    if (!file.open(kFileName)) {
        return false;
    }
    // Lines are read whole, so a long text never shifts the pairs that follow it.
    std::string line;
    bool more = file.readWholeLine(line);
    while (more && table.count < UserRuleTable::kCapacity) {
        auto slot = static_cast<std::size_t>(table.count);
        table.replaced[slot] = CString(line);
        // A file with an odd number of lines ends in a rule that replaces its text by itself.
        if (file.readWholeLine(line)) {
            table.replacements[slot] = CString(line);
        } else {
            table.replacements[slot] = table.replaced[slot];
        }
        ++table.count;
        if (onRule) {
            onRule(table.count - 1);
        }
        more = table.count < UserRuleTable::kCapacity && file.readWholeLine(line);
    }
    while (file.readWholeLine(line)) {
        table.linesBeyond.emplace_back(line);
    }
    if (file.damaged()) {
        table = UserRuleTable{};
        return false;
    }
    return true;
}

bool missing() {
    TextFileReader file;
    return !file.open(kFileName) && file.missing();
}

bool write(const UserRuleTable& table) {
    AtomicTextWriter file;
    bool written = file.open(kFileName);
    for (int i = 0; written && i < table.count; ++i) {
        auto slot = static_cast<std::size_t>(i);
        written = file.write(table.replaced[slot]) && file.write(std::string_view("\n")) &&
                  file.write(table.replacements[slot]) && file.write(std::string_view("\n"));
    }
    for (std::size_t i = 0; written && i < table.linesBeyond.size(); ++i) {
        written = file.write(table.linesBeyond[i]) && file.write(std::string_view("\n"));
    }
    if (written && file.commit()) {
        return true;
    }
    file.discard();
    return false;
}

} // namespace UserRuleFile
