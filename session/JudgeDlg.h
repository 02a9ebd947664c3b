#pragma once

#include "platform/CDialog.h"

// The authentication dialog: a stored user signs in with the stored ID and a typed password.
class CJudgeDlg : public CDialog {
public:
    CJudgeDlg();

    CString m_password;
    // The ID as typed, without the wire's prefix.
    CString m_id;
    // How the run ended, read by the receive handler. The numbers are the reverse of the registration dialog's.
    enum Result : int {
        kNotAuthenticated = 0, // every end other than a successful authentication
        kAuthenticated = 1,
    };

    Result m_result = kNotAuthenticated;

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
