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
    // Checks the edits and runs one exchange; true when the server accepted the ID and password.
    bool registerWithServer();
    void OnCancelButton();

    CEdit m_passwordEdit;
    CEdit m_idEdit;
    // The server has accepted m_id and m_password: the user is registered, whether or not they could be stored.
    bool m_accepted = false;
};
