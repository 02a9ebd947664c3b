#include "ClientSocket.h"

#include "platform/CDialog.h"
#include "res/ResourceIds.h"
#include "session/EntryDlg.h"
#include "session/JudgeDlg.h"
#include "session/SessionHost.h"
#include "session/SessionTexts.h"
#include "session/WireFormat.h"

using namespace SessionTexts;

namespace {

// After a sign-in the window switches to the chatting state. The connection may have been closed by the server
// while the dialog ran; then there is nothing to sign in to.
void markSignedIn(SessionHost& host, CClientSocket* socket, const CString& userId) {
    if (host.connection() != socket) {
        return;
    }
    CDialog& window = host.window();
    window.SetWindowText(SJIS(kTitleSignedIn));
    host.setSignedIn(1);
    window.SetDlgItemText(IDC_NAME, userId);
    window.SetDefID(IDC_SEND);
}

} // namespace

CClientSocket::CClientSocket(CWnd* receivedText) : m_pWnd(receivedText) {
    Create(0, SOCK_STREAM_TYPE, FD_ALL_EVENTS, nullptr);
}

CClientSocket::~CClientSocket() = default;

void CClientSocket::OnReceive(int errorCode) {
    char buffer[WireFormat::kRecordSize] = {};
    SessionHost* host = SessionHost::find();
    int count = Receive(buffer, sizeof buffer, 0);
    CString text = WireFormat::messageText(buffer, count);
    if (!host) {
        CSocket::OnReceive(errorCode);
        return;
    }
    CDialog& window = host->window();

    if (m_flow == 1 && host->signedIn() == 1) {
        TextLog& transcript = host->transcript();
        transcript += text + "\r\n";
        if (m_pWnd) {
            // The control shows the whole transcript from the transcript's own bytes, so a long conversation does
            // not slow each line down.
            m_pWnd->SetWindowText(transcript);
            m_pWnd->ScrollToEnd();
        }
    } else if (m_flow == 1) {
        if (WireFormat::isGreeting(text)) {
            window.SetWindowText(SJIS(kTitleAuthenticating));
            CJudgeDlg dialog;
            dialog.DoModal();
            if (dialog.m_result == 0) {
                window.MessageBox(SJIS("ユーザー認証は\r\nキャンセルされました。"), SJIS("ユーザー未登録"));
                return;
            }
            markSignedIn(*host, this, dialog.m_id);
        }
    } else if (WireFormat::isGreeting(text)) {
        window.SetWindowText(SJIS(kTitleRegistering));
        CEntryDlg dialog;
        dialog.DoModal();
        if (dialog.m_result == 1) {
            window.MessageBox(SJIS("ユーザー登録は\r\nキャンセルされました。"), SJIS("ユーザー未登録"));
            return;
        }
        m_flow = 1;
        markSignedIn(*host, this, dialog.m_id);
    }
    CSocket::OnReceive(errorCode);
}

void CClientSocket::OnClose(int errorCode) {
    SessionHost* host = SessionHost::find();
    if (host) {
        CDialog& window = host->window();
        host->setSignedIn(0);
        // A registration opened later in this run starts with this user name and no password.
        window.SetDlgItemText(IDC_HIDDEN_USER, host->userName());
        window.SetDlgItemText(IDC_HIDDEN_PASSWORD, CString());
        window.MessageBox(SJIS("サーバーにより切断されました。"), SJIS("通信エラー"));
        window.SetWindowText(SJIS(kTitleServerClosed));
    }
    Close();
    CSocket::OnClose(errorCode);
    if (host) {
        host->forgetConnection(this);
    }
    Destroy();
}
