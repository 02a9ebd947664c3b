#include "FuzzCheck.h"
#include "ScratchFolder.h"
#include "platform/CWnd.h"
#include "styles/UserRuleFile.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

// The rule file code only needs a window to own its message boxes. This stand-in records them instead of
// opening them, so the reading path runs without a window system.
namespace {
int g_boxes = 0;
CString g_lastBoxText;
CString g_lastBoxCaption;
} // namespace

CWnd::~CWnd() = default;

CWnd* CWnd::GetDlgItem(int) const {
    return nullptr;
}

int CWnd::MessageBox(const CString& text, const CString* caption, unsigned) {
    ++g_boxes;
    g_lastBoxText = text;
    g_lastBoxCaption = caption ? *caption : CString();
    return 1;
}

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

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz::ScratchFolder::enter(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    CWnd owner;
    const CString missing("missing");
    g_boxes = 0;

    fuzz::ScratchFolder::writeFile(kUserRuleFileName, bytes);
    UserRuleTable table;
    table.count = 3; // loading starts from an empty table, whatever was there
    table.replaced[0] = CString("stale");
    std::vector<int> slotsReported;
    FUZZ_CHECK(LoadUserRules(table, owner, missing, [&](int slot) { slotsReported.push_back(slot); }));
    FUZZ_CHECK(g_boxes == 0);

    const std::vector<std::string> lines = expectedLines(bytes);
    const std::size_t expectedCount = std::min<std::size_t>((lines.size() + 1) / 2, UserRuleTable::kCapacity);
    FUZZ_CHECK(table.count >= 0 && table.count <= UserRuleTable::kCapacity);
    FUZZ_CHECK(static_cast<std::size_t>(table.count) == expectedCount);
    FUZZ_CHECK(slotsReported.size() == expectedCount);
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
    FUZZ_CHECK(SaveUserRules(table, owner));
    FUZZ_CHECK(g_boxes == 0);
    UserRuleTable reloaded;
    FUZZ_CHECK(LoadUserRules(reloaded, owner, missing));
    FUZZ_CHECK(sameRules(reloaded, table));

    // Without the file: one box with the caller's text, and no rules.
    FUZZ_CHECK(::unlink(kUserRuleFileName) == 0);
    FUZZ_CHECK(!LoadUserRules(reloaded, owner, missing));
    FUZZ_CHECK(g_boxes == 1 && g_lastBoxText == missing && g_lastBoxCaption.view() == kUserRuleFileName);
    FUZZ_CHECK(reloaded.count == 0);
    return 0;
}
