#pragma once

#include "platform/CDialog.h"
#include "styles/UserRuleTable.h"

// The rule editor: walks through the user rules one at a time, registers, overwrites and deletes them, shows the
// whole table as a list, and writes omake.txt when its window is destroyed, however it was closed (unless the file
// is there and could not be read).
class COmakeEditDlg : public CDialog {
public:
    COmakeEditDlg();
    ~COmakeEditDlg() override;

    const UserRuleTable& rules() const { return m_rules; }
    int currentPosition() const { return m_position; }

protected:
    void DoDataExchange(CDataExchange* exchange) override;
    bool PreTranslateMessage(const MSG& message) override;
    bool OnInitDialog() override;
    bool OnCommand(int id) override;
    void OnDestroy() override;

private:
    void OnRegister();
    void OnDelete();
    void OnPrevious();
    void OnNext();
    void OnClear();
    // The replaced-text and replacement fields show the rule at `position`; both are empty at the append position.
    void showRule(int position);
    // Sets the list to every rule as "replaced→replacement\r\n" and scrolls it to its end.
    void refreshList();
    CString listText() const;

    UserRuleTable m_rules;
    int m_position = 0;
    CEdit m_list;
    CListBox m_hiddenList;
    CEdit m_replacementField;
    CEdit m_replacedField;
    CString m_startupListText;
    // omake.txt is there but could not be read: writing the editor's rules over it would lose the file's own.
    bool m_keepUnreadFile = false;
};
