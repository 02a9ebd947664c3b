#include "EntryDlg.h"

#include "platform/CWinApp.h"
#include "res/ResourceIds.h"
#include "session/ClientSocket.h"
#include "session/CredentialsFile.h"
#include "session/SessionHost.h"
#include "session/SessionTexts.h"
#include "session/SignInExchange.h"
#include "session/WireFormat.h"

using namespace SessionTexts;

CEntryDlg::CEntryDlg() : CDialog(IDD_ENTRY_DIALOG) {}

void CEntryDlg::DoDataExchange(CDataExchange* exchange) {
    DDX_Control(exchange, IDC_ENTRY_PASSWORD, m_passwordEdit);
    DDX_Control(exchange, IDC_ENTRY_ID, m_idEdit);
}

bool CEntryDlg::PreTranslateMessage(const MSG& message) {
    return swallowEscape(message) || CDialog::PreTranslateMessage(message);
}

bool CEntryDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    if (SessionHost* host = SessionHost::find()) {
        SessionHost::RegistrationStart start = host->registrationStart();
        m_idEdit.SetWindowText(start.userId);
        m_passwordEdit.SetWindowText(start.password);
    }
    m_result = kCancelled;
    SetDefID(IDC_ENTRY_REGISTER);
    return true;
}

bool CEntryDlg::OnCommand(int id) {
    switch (id) {
    case IDC_ENTRY_REGISTER:
        OnRegister();
        return true;
    case IDC_ENTRY_CANCEL:
        OnCancelButton();
        return true;
    default:
        return false;
    }
}

void CEntryDlg::OnRegister() {
    // Once the server has accepted, only storing is left: another exchange would go to a server that already counts
    // the user as signed in, and its replies would be chat.
    if (m_accepted ? !SignInExchange::connectionFor(*this) : !registerWithServer()) {
        return;
    }
    if (!CredentialsFile::store(m_id, m_password)) {
        MessageBox(SJIS("ファイル 'EntryData.txt' が開けませんでした。\n"), SJIS("エラー"));
        return;
    }
    m_result = kRegistered;
    OnOK();
}

bool CEntryDlg::registerWithServer() {
    m_id = m_idEdit.GetWindowText();
    m_password = m_passwordEdit.GetWindowText();
    if (m_id.IsEmpty()) {
        MessageBox(SJIS(kEnterUserId));
        return false;
    }
    if (m_password.IsEmpty()) {
        MessageBox(SJIS(kEnterPassword));
        return false;
    }
    // An ID that registers must also fit the authentication exchange's "USER:" field later.
    if (m_id.GetLength() > WireFormat::kMaxUserIdBytes) {
        MessageBox(SJIS(kUserIdTooLong), SJIS(kSorryCaption));
        m_idEdit.SetFocus();
        return false;
    }
    if (m_password.GetLength() > WireFormat::kMaxPasswordBytes) {
        MessageBox(SJIS(kPasswordTooLong), SJIS(kSorryCaption));
        m_passwordEdit.SetFocus();
        return false;
    }
    CClientSocket* socket = SignInExchange::connectionFor(*this);
    if (!socket) {
        return false;
    }
    switch (SignInExchange::run(*socket, WireFormat::kRegisterCommand, m_id, m_password)) {
    case SignInExchange::Outcome::CommandRefused:
        return false;
    case SignInExchange::Outcome::FirstFieldRefused:
        AfxMessageBox(SJIS("IDが登録されませんでした"));
        m_idEdit.SetFocus();
        return false;
    case SignInExchange::Outcome::SecondFieldRefused:
        AfxMessageBox(SJIS("違うパスワードを入力して下さい"));
        m_passwordEdit.SetFocus();
        return false;
    case SignInExchange::Outcome::Accepted:
        break;
    }
    m_accepted = true;
    return true;
}

void CEntryDlg::OnCancelButton() {
    m_result = kCancelled;
    OnOK();
}
