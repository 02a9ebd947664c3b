#pragma once

#include "platform/CDialog.h"

// The registration dialog: a new user chooses an ID and a password and registers them with the server; on
// success the credentials are stored.
class CEntryDlg : public CDialog {
public:
    CEntryDlg();

    // 0 = registered, 1 = cancelled (every end other than a successful registration).
    int m_result = 1;
    CString m_password;
    CString m_id;

protected:
    void DoDataExchange(CDataExchange* exchange) override;
    bool PreTranslateMessage(const MSG& message) override;
    bool OnInitDialog() override;
    bool OnCommand(int id) override;

private:
    void OnRegister();
    void OnCancelButton();

    CEdit m_passwordEdit;
    CEdit m_idEdit;
};
