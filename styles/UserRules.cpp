#include "UserRules.h"

#include "platform/CWnd.h"
#include "styles/UserRuleFile.h"

bool LoadUserRules(UserRuleTable& table, CWnd& owner, const CString& missingMessage,
                   const std::function<void(int slot)>& onRule) {
    if (!UserRuleFile::read(table, onRule)) {
        owner.MessageBox(missingMessage, CString(UserRuleFile::kFileName));
        return false;
    }
    return true;
}

bool SaveUserRules(const UserRuleTable& table, CWnd& owner) {
    if (!UserRuleFile::write(table)) {
        ReportUserRulesNotSaved(owner);
        return false;
    }
    return true;
}

void ReportUserRulesNotSaved(CWnd& owner) {
    owner.MessageBox(SJIS("ファイルが開けませんでした。\n"), CString(UserRuleFile::kFileName));
}
