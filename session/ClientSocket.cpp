#include "ClientSocket.h"

#include "platform/CDialog.h"
#include "session/EntryDlg.h"
#include "session/JudgeDlg.h"
#include "session/RelayedLine.h"
#include "session/SessionHost.h"
#include "session/SessionTexts.h"
#include "session/WireFormat.h"

#include <utility>

using namespace SessionTexts;

namespace {

// How long text without an end is held before it is shown as a message of its own: long enough for the rest of a
// record that TCP delivers late (a retransmission on a LAN), short enough that a short message is not noticed late.
constexpr int kQuietMs = 500;
// Reading stops after this much per notification, so that a flood still lets the window repaint and take input.
constexpr int kMaxBytesPerNotification = 256 * 1024;

// After a sign-in the window switches to the chatting state. The connection may have been closed by the server
// while the dialog ran; then there is nothing to sign in to.
bool markSignedIn(SessionHost& host, CClientSocket* socket, const CString& userId) {
    if (host.connection() != socket) {
        return false;
    }
    host.showSignedIn(userId);
    return true;
}

} // namespace

CClientSocket::CClientSocket(CWnd* receivedText) : m_pWnd(receivedText) {
    Create(0, SOCK_STREAM_TYPE, FD_ALL_EVENTS, nullptr);
}

CClientSocket::~CClientSocket() = default;

void CClientSocket::OnReceive(int errorCode) {
    SessionHost* host = SessionHost::find();
    if (host && m_flow == kAuthenticationFlow && host->signedIn() == SessionHost::kSignedIn) {
        readChat(*host);
        CSocket::OnReceive(errorCode);
        return;
    }
    // Before sign-in the server speaks in lock-step: one read is one message.
    char buffer[WireFormat::kRecordSize] = {};
    int count = Receive(buffer, sizeof buffer, 0);
    CString text = WireFormat::messageText(buffer, count);
    if (!host) {
        CSocket::OnReceive(errorCode);
        return;
    }
    CDialog& window = host->window();
    bool signedIn = false;
    if (m_flow == kAuthenticationFlow) {
        if (WireFormat::isGreeting(text)) {
            window.SetWindowText(SJIS(kTitleAuthenticating));
            CJudgeDlg dialog;
            dialog.DoModal();
            if (dialog.m_result == CJudgeDlg::kNotAuthenticated) {
                window.MessageBox(SJIS("ユーザー認証は\r\nキャンセルされました。"), SJIS("ユーザー未登録"));
                return;
            }
            signedIn = markSignedIn(*host, this, dialog.m_id);
        }
    } else if (WireFormat::isGreeting(text)) {
        window.SetWindowText(SJIS(kTitleRegistering));
        CEntryDlg dialog;
        dialog.DoModal();
        if (dialog.m_result == CEntryDlg::kCancelled) {
            window.MessageBox(SJIS("ユーザー登録は\r\nキャンセルされました。"), SJIS("ユーザー未登録"));
            return;
        }
        m_flow = kAuthenticationFlow;
        signedIn = markSignedIn(*host, this, dialog.m_id);
    }
    std::string chatStart = std::exchange(m_chatStart, {});
    if (signedIn && !chatStart.empty()) {
        std::size_t shown = host->transcript().size();
        m_framer.feed(chatStart, lineAdder(host->transcript()));
        showChat(*host, shown);
    }
    CSocket::OnReceive(errorCode);
}

void CClientSocket::readChat(SessionHost& host) {
    char buffer[16384];
    TextLog& transcript = host.transcript();
    std::size_t shown = transcript.size();
    int total = 0;
    while (total < kMaxBytesPerNotification) {
        // The first read finds the data that raised the notification; the later ones do not wait.
        int count = CAsyncSocket::Receive(buffer, sizeof buffer, 0);
        if (count <= 0) {
            break; // drained; an end or an error comes as the close notification
        }
        m_framer.feed(std::string_view(buffer, static_cast<std::size_t>(count)), lineAdder(transcript));
        total += count;
        if (count < static_cast<int>(sizeof buffer)) {
            break;
        }
    }
    showChat(host, shown);
}

RelayFramer::LineSink CClientSocket::lineAdder(TextLog& transcript) {
    return [&transcript](std::string_view text) { RelayedLine::appendTo(transcript, text); };
}

void CClientSocket::showChat(SessionHost& host, std::size_t shownSize) {
    SetQuietTimer(m_framer.holding() ? kQuietMs : 0);
    TextLog& transcript = host.transcript();
    if (transcript.size() == shownSize) {
        return;
    }
    if (m_pWnd) {
        // The control shows the whole transcript from the transcript's own bytes, so a long conversation does not
        // slow each line down.
        m_pWnd->SetWindowText(transcript);
        m_pWnd->ScrollToEnd();
    }
    host.window().FlashWindow();
}

void CClientSocket::OnQuiet() {
    SessionHost* host = SessionHost::find();
    if (host && m_flow == kAuthenticationFlow && host->signedIn() == SessionHost::kSignedIn) {
        std::size_t shown = host->transcript().size();
        m_framer.flush(lineAdder(host->transcript()));
        showChat(*host, shown);
    }
}

void CClientSocket::OnClose(int errorCode) {
    OnQuiet(); // while chatting, what is held is the last message before the end
    SessionHost* host = SessionHost::find();
    if (host) {
        host->showServerClosed();
    }
    Close();
    CSocket::OnClose(errorCode);
    if (host) {
        host->forgetConnection(this);
    }
    Destroy();
}
