#pragma once

#include "platform/CDialog.h"
#include "session/CredentialsFile.h"
#include "session/SessionHost.h"
#include "styles/SpeechStyle.h"
#include "styles/UserRuleTable.h"

class CClientSocket;

// The main chat window: server address and port, the user's name, the received conversation, the line to send and
// the speech style. It holds the session's state and shows it in its title.
class CClientDlg : public CDialog, public SessionHost {
public:
    CClientDlg();
    ~CClientDlg() override;

    // SessionHost
    CDialog& window() override { return *this; }
    SignInState signedIn() const override { return m_signedIn; }
    void showSignedIn(const CString& userId) override;
    void showServerClosed() override;
    RegistrationStart registrationStart() const override;
    const CString& userName() const override { return m_userName; }
    CClientSocket* connection() const override { return m_pSocket; }
    void forgetConnection(CClientSocket* socket) override;
    TextLog& transcript() override { return m_transcript; }

    SpeechStyle::Choice speechStyle() const { return m_speechStyle; }
    const UserRuleTable& userRules() const { return m_rules; }

    // Reads EntryData.txt; when present its ID becomes the user name.
    CredentialsFile::ReadResult ReadCredentials();

protected:
    void DoDataExchange(CDataExchange* exchange) override;
    bool PreTranslateMessage(const MSG& message) override;
    bool OnInitDialog() override;
    bool OnCommand(int id) override;
    void OnSysCommand(unsigned command) override;
    void OnEditChange(int id) override;

private:
    void OnConnect();
    void OnSend();
    void OnDisconnect();
    void OnExit();
    void OnEditRules();
    void OnSave();
    void ShowSystemError();
    // Ticks the TLS box as chosen for the server in the address and port fields, when it is known.
    void showRememberedTls();
    void releaseConnection();

    SpeechStyle::Choice m_speechStyle = SpeechStyle::kNone;
    TextLog m_transcript;
    CString m_userName;
    SignInState m_signedIn = kNotSignedIn;
    CClientSocket* m_pSocket = nullptr;
    CEdit m_hiddenPassword;
    CEdit m_hiddenUser;
    CEdit m_name;
    CButton m_disconnect;
    CListBox m_hiddenList;
    CEdit m_received;
    CEdit m_sendText;
    CEdit m_port;
    CEdit m_address;
    UserRuleTable m_rules;
};
