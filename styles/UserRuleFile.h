#pragma once

#include "platform/base/CString.h"
#include "styles/UserRuleTable.h"

#include <functional>

class CWnd;

// omake.txt in the current folder: the rules in slot order, each as two lines (replaced text, replacement),
// CP932, lines ending in CR LF.
inline constexpr const char* kUserRuleFileName = "omake.txt";

// Fills `table` from omake.txt, at most 50 rules. When the file cannot be opened, shows `missingMessage` (caption
// "omake.txt") owned by `owner` and leaves the table empty. `onRule` runs after each rule read with its slot.
// Returns false when the file could not be opened.
bool LoadUserRules(UserRuleTable& table, CWnd& owner, const CString& missingMessage,
                   const std::function<void(int slot)>& onRule = {});

// Replaces omake.txt with the rules of `table`. On any failure shows "ファイルが開けませんでした。\n" (caption
// "omake.txt") owned by `owner`, leaves the old file as it was and returns false.
bool SaveUserRules(const UserRuleTable& table, CWnd& owner);
