#pragma once

#include "platform/base/CString.h"
#include "styles/UserRuleTable.h"

#include <functional>

class CWnd;

// The user rules as the windows load and save them: omake.txt read or written, and a failure told to the user in a
// box owned by the window, captioned with the file's name.

// Fills `table` from omake.txt, at most 50 rules. When the file cannot be opened, shows `missingMessage` owned by
// `owner` and leaves the table empty. `onRule` runs after each rule read with its slot. Returns false when the file
// could not be opened.
bool LoadUserRules(UserRuleTable& table, CWnd& owner, const CString& missingMessage,
                   const std::function<void(int slot)>& onRule = {});

// Replaces omake.txt with the rules of `table`. On any failure shows "ファイルが開けませんでした。\n" owned by `owner`,
// leaves the old file as it was and returns false.
bool SaveUserRules(const UserRuleTable& table, CWnd& owner);

// The box SaveUserRules shows when the rules were not saved.
void ReportUserRulesNotSaved(CWnd& owner);
