#pragma once

#include "styles/UserRuleTable.h"

#include <functional>

// omake.txt in the current folder: the rules in slot order, each as two lines (replaced text, replacement), CP932,
// lines ending in CR LF. Reading and writing report their outcome; the windows decide what the user is told.
namespace UserRuleFile {

inline constexpr const char* kFileName = "omake.txt";

// Fills `table` from the file, at most 50 rules; `onRule` runs after each rule read with its slot. Returns false,
// with the table empty, when the file cannot be opened or read whole.
bool read(UserRuleTable& table, const std::function<void(int slot)>& onRule = {});

// True when there is no file at all, as opposed to one that cannot be read.
bool missing();

// Replaces the file with the rules of `table`. Returns false when anything failed; the old file is then as it was.
bool write(const UserRuleTable& table);

} // namespace UserRuleFile
