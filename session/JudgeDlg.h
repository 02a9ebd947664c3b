#pragma once

#include "platform/CDialog.h"

// The authentication dialog: a stored user signs in with the stored ID and a typed password.
class CJudgeDlg : public CDialog {
public:
    CJudgeDlg();

    CString m_password;
    // The ID as typed, without the wire's prefix.
    CString m_id;
    // 1 = authenticated, 0 = not (the reverse of the registration dialog's result).
    int m_result = 0;

protected:
    void DoDataExchange(CDataExchange* exchange) override;
    bool PreTranslateMessage(const MSG& message) override;
    bool OnInitDialog() override;
    bool OnCommand(int id) override;

private:
    void OnAuthenticate();

    CEdit m_passwordEdit;
    CEdit m_idEdit;
};
