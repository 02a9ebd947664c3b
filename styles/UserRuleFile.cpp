#include "UserRuleFile.h"

#include "platform/CWnd.h"
#include "platform/base/TextFile.h"

#include <string>

bool LoadUserRules(UserRuleTable& table, CWnd& owner, const CString& missingMessage,
                   const std::function<void(int slot)>& onRule) {
    table = UserRuleTable{};
    TextFileReader file;
    if (!file.open(kUserRuleFileName)) {
        owner.MessageBox(missingMessage, CString(kUserRuleFileName));
        return false;
    }
    // Lines are read whole, however long, so a long text never shifts the pairs that follow it.
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
    return true;
}

bool SaveUserRules(const UserRuleTable& table, CWnd& owner) {
    AtomicTextWriter file;
    bool written = file.open(kUserRuleFileName);
    for (int i = 0; written && i < table.count; ++i) {
        auto slot = static_cast<std::size_t>(i);
        written = file.write(table.replaced[slot]) && file.write(std::string_view("\n")) &&
                  file.write(table.replacements[slot]) && file.write(std::string_view("\n"));
    }
    if (written && file.commit()) {
        return true;
    }
    file.discard();
    owner.MessageBox(SJIS("ファイルが開けませんでした。\n"), CString(kUserRuleFileName));
    return false;
}
