#include "FuzzCheck.h"
#include "ScratchFolder.h"
#include "styles/UserRuleFile.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

// The lines of `file` as the rule reader must see them: CR LF or LF ends a line, the line end is not part of it,
// and a last line without a line end still counts when it holds anything.
std::vector<std::string> expectedLines(std::string_view file) {
    std::vector<std::string> lines;
    std::string line;
    bool open = false;
    for (std::size_t i = 0; i < file.size(); ++i) {
        if (file[i] == '\r' && i + 1 < file.size() && file[i + 1] == '\n') {
            continue; // the LF after it ends the line
        }
        if (file[i] == '\n') {
            lines.push_back(line);
            line.clear();
            open = false;
        } else {
            line += file[i];
            open = true;
        }
    }
    if (open) {
        lines.push_back(line);
    }
    return lines;
}

bool sameRules(const UserRuleTable& a, const UserRuleTable& b) {
    return a.count == b.count && a.replaced == b.replaced && a.replacements == b.replacements;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = vesmira::fuzz::ScratchFolder::writeInput(UserRuleFile::kFileName, data, size);

    UserRuleTable table;
    table.count = 3; // loading starts from an empty table, whatever was there
    table.replaced[0] = CString("stale");
    std::vector<int> slotsReported;
    FUZZ_CHECK(UserRuleFile::read(table, [&](int slot) { slotsReported.push_back(slot); }));

    const std::vector<std::string> lines = expectedLines(bytes);
    const std::size_t expectedCount = std::min<std::size_t>((lines.size() + 1) / 2, UserRuleTable::kCapacity);
    FUZZ_CHECK(table.count >= 0 && table.count <= UserRuleTable::kCapacity);
    FUZZ_CHECK(static_cast<std::size_t>(table.count) == expectedCount);
    FUZZ_CHECK(slotsReported.size() == expectedCount);
    // Lines past the last rule a table holds are kept to be written back.
    FUZZ_CHECK(table.linesBeyond.size() == lines.size() - std::min(lines.size(), 2 * expectedCount));
    for (std::size_t slot = 0; slot < UserRuleTable::kCapacity; ++slot) {
        if (slot < expectedCount) {
            FUZZ_CHECK(slotsReported[slot] == static_cast<int>(slot));
            FUZZ_CHECK(table.replaced[slot].view() == lines[2 * slot]);
            // An odd last line makes a rule that replaces its text by itself.
            const std::string& replacement = 2 * slot + 1 < lines.size() ? lines[2 * slot + 1] : lines[2 * slot];
            FUZZ_CHECK(table.replacements[slot].view() == replacement);
        } else {
            FUZZ_CHECK(table.replaced[slot].IsEmpty() && table.replacements[slot].IsEmpty());
        }
    }

    // What the editor saves, the next start reads back unchanged.
    FUZZ_CHECK(UserRuleFile::write(table));
    UserRuleTable reloaded;
    FUZZ_CHECK(UserRuleFile::read(reloaded));
    FUZZ_CHECK(sameRules(reloaded, table));

    // Without the file: a failed read, and no rules.
    FUZZ_CHECK(::unlink(UserRuleFile::kFileName) == 0);
    FUZZ_CHECK(!UserRuleFile::read(reloaded));
    FUZZ_CHECK(reloaded.count == 0);
    return 0;
}
