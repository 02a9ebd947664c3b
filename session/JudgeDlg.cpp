#include "JudgeDlg.h"

#include "platform/CWinApp.h"
#include "res/ResourceIds.h"
#include "session/ClientSocket.h"
#include "session/SessionHost.h"
#include "session/SessionTexts.h"
#include "session/SignInExchange.h"
#include "session/WireFormat.h"

using namespace SessionTexts;

CJudgeDlg::CJudgeDlg() : CDialog(IDD_JUDGE_DIALOG) {}

void CJudgeDlg::DoDataExchange(CDataExchange* exchange) {
    DDX_Control(exchange, IDC_JUDGE_PASSWORD, m_passwordEdit);
    DDX_Control(exchange, IDC_JUDGE_ID, m_idEdit);
}

bool CJudgeDlg::PreTranslateMessage(const MSG& message) {
    return swallowEscape(message) || CDialog::PreTranslateMessage(message);
}

bool CJudgeDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    m_result = kNotAuthenticated;
    SetDefID(IDC_JUDGE_AUTHENTICATE);
    if (SessionHost* host = SessionHost::find()) {
        m_idEdit.SetWindowText(host->userName());
    }
    return true;
}

bool CJudgeDlg::OnCommand(int id) {
    switch (id) {
    case IDC_JUDGE_AUTHENTICATE:
        OnAuthenticate();
        return true;
    case IDC_JUDGE_CANCEL:
        OnOK();
        return true;
    default:
        return false;
    }
}

void CJudgeDlg::OnAuthenticate() {
    CString id = m_idEdit.GetWindowText();
    CString password = m_passwordEdit.GetWindowText();
    if (id.IsEmpty()) {
        MessageBox(SJIS(kEnterUserId));
        m_idEdit.SetFocus();
        return;
    }
    if (password.IsEmpty()) {
        MessageBox(SJIS(kEnterPassword));
        m_passwordEdit.SetFocus();
        return;
    }
    m_id = id;
    m_password = password;
    std::optional<CString> userField = WireFormat::field(WireFormat::kUserPrefix, m_id);
    if (!userField) {
        MessageBox(SJIS(kUserIdTooLong), SJIS(kSorryCaption));
        m_idEdit.SetFocus();
        return;
    }
    std::optional<CString> passwordField = WireFormat::field(WireFormat::kPasswordPrefix, m_password);
    if (!passwordField) {
        MessageBox(SJIS(kPasswordTooLong), SJIS(kSorryCaption));
        m_passwordEdit.SetFocus();
        return;
    }
    CClientSocket* socket = SignInExchange::connectionFor(*this);
    if (!socket) {
        return;
    }
    switch (SignInExchange::run(*socket, WireFormat::kAuthenticateCommand, *userField, *passwordField)) {
    case SignInExchange::Outcome::CommandRefused:
        return;
    case SignInExchange::Outcome::FirstFieldRefused:
        AfxMessageBox(SJIS("IDが無効です。"));
        m_idEdit.SetFocus();
        return;
    case SignInExchange::Outcome::SecondFieldRefused:
        AfxMessageBox(SJIS("パスワードが無効です。"));
        m_passwordEdit.SetFocus();
        return;
    case SignInExchange::Outcome::Accepted:
        break;
    }
    m_result = kAuthenticated;
    OnOK();
}
