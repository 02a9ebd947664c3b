#pragma once

#include "platform/CDialog.h"

// The registration dialog: a new user chooses an ID and a password and registers them with the server; on
// success the credentials are stored.
class CEntryDlg : public CDialog {
public:
    CEntryDlg();

    // How the run ended, read by the receive handler. The numbers are the reverse of the authentication dialog's.
    enum Result : int {
        kRegistered = 0,
        kCancelled = 1, // every end other than a successful registration
    };

    Result m_result = kCancelled;
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
