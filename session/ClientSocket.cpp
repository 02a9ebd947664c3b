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
constexpr std::size_t kMaxBytesPerNotification = 256 * 1024;

// After a sign-in the window switches to the chatting state. The connection may have been closed by the server
// while the dialog ran; then there is nothing to sign in to.
bool markSignedIn(SessionHost& host, CClientSocket* socket, const CString& userId) {
    if (host.connection() != socket) {
        return false;
    }
    host.showSignedIn(userId);
    return true;
}

// Framed lines go straight into the transcript, to be shown together by showChat().
RelayFramer::LineSink lineAdder(TextLog& transcript) {
    return [&transcript](std::string_view text) { RelayedLine::appendTo(transcript, text); };
}

} // namespace

CClientSocket::CClientSocket(CWnd* receivedText) : m_pWnd(receivedText) {
    Create(0, SOCK_STREAM_TYPE, FD_ALL_EVENTS, nullptr);
}

CClientSocket::~CClientSocket() = default;

bool CClientSocket::chatting(const SessionHost* host) const {
    return host && m_flow == kAuthenticationFlow && host->signedIn() == SessionHost::kSignedIn;
}

template <typename Take> void CClientSocket::drain(Take&& take, bool toTheEnd) {
    char buffer[16384];
    std::size_t total = 0;
    while (total < kMaxBytesPerNotification) {
        // The first read finds the data that raised the notification; the later ones do not wait.
        int count = CAsyncSocket::Receive(buffer, sizeof buffer, 0);
        if (count <= 0) {
            break; // drained; an end or an error comes as the close notification
        }
        take(std::string_view(buffer, static_cast<std::size_t>(count)));
        total += static_cast<std::size_t>(count);
        if (!toTheEnd && count < static_cast<int>(sizeof buffer)) {
            break;
        }
    }
}

void CClientSocket::OnReceive(int errorCode) {
    SessionHost* host = SessionHost::find();
    if (chatting(host)) {
        readChat(*host);
        CSocket::OnReceive(errorCode);
        return;
    }
    if (m_signingIn) {
        // One sign-in at a time. What the server sends meanwhile stays in the socket: replies for the exchange to
        // read, or, once the server has accepted, the first chat lines. Not reading leaves this notification off
        // until the next receive.
        return;
    }
    // Before sign-in the server speaks in lock-step: one read is one message.
    char buffer[WireFormat::kRecordSize] = {};
    int count = Receive(buffer, sizeof buffer, 0);
    if (host && WireFormat::isGreeting(WireFormat::messageText(buffer, count)) && !signIn(*host)) {
        return;
    }
    CSocket::OnReceive(errorCode);
}

bool CClientSocket::signIn(SessionHost& host) {
    CDialog& window = host.window();
    m_signingIn = true;
    m_serverAccepted = false;
    m_chatStart.clear();
    bool signedIn = false;
    CString userId;
    if (m_flow == kAuthenticationFlow) {
        window.SetWindowText(SJIS(kTitleAuthenticating));
        CJudgeDlg dialog;
        dialog.DoModal();
        signedIn = dialog.m_result == CJudgeDlg::kAuthenticated;
        userId = dialog.m_id;
        if (!signedIn) {
            window.MessageBox(SJIS("ユーザー認証は\r\nキャンセルされました。"), SJIS("ユーザー未登録"));
        }
    } else {
        window.SetWindowText(SJIS(kTitleRegistering));
        CEntryDlg dialog;
        dialog.DoModal();
        signedIn = dialog.m_result == CEntryDlg::kRegistered;
        userId = dialog.m_id;
        if (signedIn) {
            m_flow = kAuthenticationFlow;
        } else {
            window.MessageBox(SJIS("ユーザー登録は\r\nキャンセルされました。"), SJIS("ユーザー未登録"));
        }
    }
    m_signingIn = false;
    if (!signedIn) {
        afterCancelledSignIn(host);
        return false;
    }
    if (markSignedIn(host, this, userId)) {
        std::size_t shown = host.transcript().size();
        m_framer.feed(std::exchange(m_chatStart, {}), lineAdder(host.transcript()));
        showChat(host, shown);
        rearm(); // chat that came while the dialog was still open is read now
    }
    return true;
}

void CClientSocket::afterCancelledSignIn(SessionHost& host) {
    if (host.connection() != this) {
        return; // the server closed it meanwhile
    }
    if (m_serverAccepted) {
        // The server counts the user as signed in and would relay to a client that reads nothing.
        host.window().SetWindowText(SJIS(kTitleDisconnected));
        closeHere(host);
        return;
    }
    // What the server sent meanwhile was no reply. A greeting in it makes no sense (a server greets once) and ends
    // the connection as the server's close does; anything else is dropped, as before sign-in. The reads re-arm the
    // notification for whatever comes next.
    std::string unread;
    drain([&unread](std::string_view bytes) { unread.append(bytes); }, true);
    if (WireFormat::holdsGreeting(unread)) {
        host.showServerClosed();
        closeHere(host);
    }
}

void CClientSocket::signInAccepted(std::string_view chatStart) {
    m_serverAccepted = true;
    m_chatStart.assign(chatStart);
}

void CClientSocket::replyTimedOut() {
    SessionHost* host = SessionHost::find();
    if (!host || host->connection() != this) {
        Close();
        return;
    }
    host->window().SetWindowText(SJIS(kTitleServerClosed));
    closeHere(*host);
}

void CClientSocket::closeHere(SessionHost& host) {
    Close();
    host.forgetConnection(this);
    Destroy();
}

void CClientSocket::readChat(SessionHost& host) {
    TextLog& transcript = host.transcript();
    std::size_t shown = transcript.size();
    const RelayFramer::LineSink addLine = lineAdder(transcript);
    drain([&](std::string_view bytes) { m_framer.feed(bytes, addLine); }, false);
    showChat(host, shown);
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

void CClientSocket::takeHeldLines() {
    SessionHost* host = SessionHost::find();
    if (chatting(host)) {
        std::size_t shown = host->transcript().size();
        m_framer.flush(lineAdder(host->transcript()));
        showChat(*host, shown);
    }
}

void CClientSocket::OnQuiet() {
    takeHeldLines();
}

void CClientSocket::OnClose(int errorCode) {
    takeHeldLines(); // while chatting, what is held is the last message before the end
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
