#include "ClientDlg.h"

#include "app/AboutDlg.h"
#include "platform/CAsyncSocket.h"
#include "platform/CFileDialog.h"
#include "platform/CWinApp.h"
#include "platform/base/Runtime.h"
#include "platform/base/TextFile.h"
#include "res/ResourceIds.h"
#include "session/ClientSocket.h"
#include "session/CredentialsFile.h"
#include "session/ServerTrust.h"
#include "session/SessionTexts.h"
#include "session/WireFormat.h"
#include "styles/OmakeEditDlg.h"
#include "styles/SpeechStyle.h"
#include "styles/UserRules.h"

using namespace SessionTexts;

CClientDlg::CClientDlg() : CDialog(IDD_CLIENT_DIALOG) {}

CClientDlg::~CClientDlg() {
    DestroyWindow();
    releaseConnection();
}

void CClientDlg::DoDataExchange(CDataExchange* exchange) {
    DDX_Control(exchange, IDC_HIDDEN_PASSWORD, m_hiddenPassword);
    DDX_Control(exchange, IDC_HIDDEN_USER, m_hiddenUser);
    DDX_Control(exchange, IDC_NAME, m_name);
    DDX_Control(exchange, IDC_DISCONNECT, m_disconnect);
    DDX_Control(exchange, IDC_HIDDEN_LIST, m_hiddenList);
    DDX_Control(exchange, IDC_RECEIVED, m_received);
    DDX_Control(exchange, IDC_SEND_TEXT, m_sendText);
    DDX_Control(exchange, IDC_PORT, m_port);
    DDX_Control(exchange, IDC_ADDRESS, m_address);
}

bool CClientDlg::PreTranslateMessage(const MSG& message) {
    return swallowEscape(message) || CDialog::PreTranslateMessage(message);
}

bool CClientDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    CString aboutItem;
    if (aboutItem.LoadString(IDS_ABOUTBOX) && !aboutItem.IsEmpty()) {
        appendSystemMenuItem(IDM_ABOUTBOX, aboutItem);
    }
    SetIcon(IDR_MAINFRAME, true);
    SetIcon(IDR_MAINFRAME, false);

    m_pSocket = new CClientSocket(&m_received);
    m_signedIn = kNotSignedIn;
    m_speechStyle = SpeechStyle::kNone;

    m_address.SetWindowText(GetLocalIPv4Address());
    m_port.SetWindowText("3000");
    m_name.SetWindowText("NONE");
    if (CWnd* tls = GetDlgItem(IDC_TLS)) {
        tls->SetAccessibleName(SJIS("TLSで暗号化して接続"));
    }
    showRememberedTls();

    if (ReadCredentials() == CredentialsFile::kMissing) {
        MessageBox(SJIS("接続ボタンを押して\r\nユーザー登録してください"), SJIS("新規ユーザー作成"));
    }
    m_received.ScrollToEnd();
    SetDefID(IDC_CONNECT);
    return true;
}

bool CClientDlg::OnCommand(int id) {
    switch (id) {
    case IDC_CONNECT:
        OnConnect();
        return true;
    case IDC_SEND:
        OnSend();
        return true;
    case IDC_DISCONNECT:
        OnDisconnect();
        return true;
    case IDC_EXIT:
        OnExit();
        return true;
    case IDC_SAVE:
        OnSave();
        return true;
    case IDC_EDIT_RULES:
        OnEditRules();
        return true;
    case IDC_STYLE_NONE:
        m_speechStyle = SpeechStyle::kNone;
        return true;
    case IDC_STYLE_JAYO:
        m_speechStyle = SpeechStyle::kJayo;
        return true;
    case IDC_STYLE_NIIGATA:
        m_speechStyle = SpeechStyle::kNiigata;
        return true;
    case IDC_STYLE_DEARIMASU:
        m_speechStyle = SpeechStyle::kDearimasu;
        return true;
    case IDC_STYLE_USER:
        // Every click reads the file again, so edits made by hand take effect.
        m_speechStyle = SpeechStyle::kUserRules;
        LoadUserRules(m_rules, *this, SJIS("ファイルが開けませんでした。\n"));
        return true;
    default:
        return false;
    }
}

void CClientDlg::OnSave() {
    CFileDialog dialog(false, "*.*", "log.txt", OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY,
                       SJIS("テキスト　 (*.txt)|*.txt| All Files (*.*)|*.*|"), this);
    if (dialog.DoModal() != 1) {
        return;
    }
    CString fileName = dialog.GetFileName();
    // Written at the full path the user chose, so the current folder (and with it EntryData.txt and omake.txt)
    // stays where it was. The transcript's own CR LF line ends go out unchanged.
    AtomicTextWriter file;
    if (!file.openChosenFile(dialog.GetPathName().bytes())) {
        MessageBox(SJIS("ファイルが開けませんでした。\n"), fileName);
        return;
    }
    bool written = true;
    m_transcript.forEachPiece([&](std::string_view piece) { written = written && file.writeBinary(piece); });
    if (!file.commit() || !written) {
        MessageBox(SJIS("ファイルに書き込めませんでした。\n"), fileName);
        return;
    }
    MessageBox(SJIS("保存しました。\n"), fileName);
}

void CClientDlg::OnEditRules() {
    COmakeEditDlg editor;
    editor.DoModal();
    // The editor has written omake.txt when its window went away.
    LoadUserRules(m_rules, *this, SJIS("ファイルが開けませんでした。\n"));
}

void CClientDlg::OnSysCommand(unsigned command) {
    if ((command & 0xFFF0u) == IDM_ABOUTBOX) {
        CAboutDlg about;
        about.DoModal();
        return;
    }
    CDialog::OnSysCommand(command);
}

void CClientDlg::OnEditChange(int id) {
    if (id == IDC_ADDRESS || id == IDC_PORT) {
        showRememberedTls();
    }
}

void CClientDlg::showRememberedTls() {
    // For a server not connected to before, the box stays as the user left it.
    std::optional<bool> tls = ServerTrust::rememberedTls(m_address.GetWindowText(), StrToInt(m_port.GetWindowText()));
    CWnd* box = GetDlgItem(IDC_TLS);
    if (tls && box) {
        box->SetCheck(*tls ? 1 : 0);
    }
}

CredentialsFile::ReadResult CClientDlg::ReadCredentials() {
    return CredentialsFile::read(m_userName);
}

void CClientDlg::forgetConnection(CClientSocket* socket) {
    if (m_pSocket == socket) {
        m_pSocket = nullptr;
    }
}

void CClientDlg::showSignedIn(const CString& userId) {
    SetWindowText(SJIS(kTitleSignedIn));
    m_signedIn = kSignedIn;
    m_name.SetWindowText(userId);
    SetDefID(IDC_SEND);
}

void CClientDlg::showServerClosed() {
    m_signedIn = kNotSignedIn;
    // The hidden edits carry the user name to a registration opened later in this run.
    m_hiddenUser.SetWindowText(m_userName);
    m_hiddenPassword.SetWindowText(CString());
    MessageBox(SJIS("サーバーにより切断されました。"), SJIS("通信エラー"));
    SetWindowText(SJIS(kTitleServerClosed));
}

CClientDlg::RegistrationStart CClientDlg::registrationStart() const {
    return {m_hiddenUser.GetWindowText(), m_hiddenPassword.GetWindowText()};
}

void CClientDlg::releaseConnection() {
    if (m_pSocket) {
        CClientSocket* socket = m_pSocket;
        m_pSocket = nullptr;
        socket->Close();
        socket->Destroy();
    }
}

void CClientDlg::OnConnect() {
    CredentialsFile::ReadResult stored = ReadCredentials();
    CString host = m_address.GetWindowText();
    int port = StrToInt(m_port.GetWindowText());
    if (m_signedIn != kNotSignedIn) {
        MessageBox(SJIS("既に接続しています。"), SJIS(kConnectErrorCaption));
        return;
    }
    auto* socket = new CClientSocket(&m_received);
    releaseConnection();
    m_pSocket = socket;
    CWnd* tls = GetDlgItem(IDC_TLS);
    ServerTrust::Outcome outcome = ServerTrust::connect(*socket, *this, host, port, tls && tls->GetCheck() == 1);
    if (outcome == ServerTrust::kConnected) {
        // The flow is set before any notification of the new connection can run.
        if (stored == CredentialsFile::kMissing) {
            SetWindowText(SJIS(kTitleRegistering));
            socket->m_flow = CClientSocket::kRegistrationFlow;
        } else {
            SetWindowText(SJIS(kTitleAuthenticating));
            socket->m_flow = CClientSocket::kAuthenticationFlow;
        }
    } else {
        if (outcome == ServerTrust::kConnectFailed) {
            ShowSystemError();
        }
        SetWindowText(SJIS(kTitleConnectFailed));
    }
}

void CClientDlg::ShowSystemError() {
    MessageBox(FormatSystemMessage(GetLastError()), SJIS("クライアント"));
}

void CClientDlg::OnSend() {
    if (m_signedIn == kNotSignedIn || !m_pSocket) {
        MessageBox(SJIS(kNotConnected), SJIS(kConnectErrorCaption));
        if (CWnd* connect = GetDlgItem(IDC_CONNECT)) {
            connect->SetFocus();
        }
        return;
    }
    Cp932Codec::Unconvertible unsendable;
    CString line = m_sendText.GetWindowText(&unsendable);
    m_userName = m_name.GetWindowText();
    if (line.GetLength() > WireFormat::kMaxSendTextBytes) {
        MessageBox(SJIS("文章は全角220字以下でお願いします。"), SJIS(kSorryCaption));
    } else if (m_userName.GetLength() > WireFormat::kMaxNameBytes) {
        MessageBox(SJIS("名前は全角15字以下でお願いします。"), SJIS(kSorryCaption));
    } else {
        switch (m_speechStyle) {
        case SpeechStyle::kJayo:
            ConvertJayo(line, line);
            break;
        case SpeechStyle::kNiigata:
            ConvertNiigata(line, line);
            break;
        case SpeechStyle::kDearimasu:
            ConvertDearimasu(line, line);
            break;
        case SpeechStyle::kUserRules:
            ConvertUserRules(m_rules, line, line);
            break;
        case SpeechStyle::kNone:
            break;
        }
        // The line must reach the others as it reads here: a character CP932 cannot hold would go out as "?", and
        // bytes that are not CP932 (a rule of omake.txt may hold them) would show as replacement marks.
        line.toUtf8(&unsendable);
        if (!unsendable.empty()) {
            MessageBox(SJIS("この文字は送信できません: "), unsendable, SJIS(kSorryCaption));
        } else if (auto record = WireFormat::chatRecord(WireFormat::composeLine(m_userName, line)); !record) {
            // A speech style can lengthen a line past what one record holds; nothing is cut or sent.
            MessageBox(SJIS("変換後の文章が長すぎるため送信できません。"), SJIS(kSorryCaption));
        } else {
            int remaining = WireFormat::kRecordSize;
            while (remaining > 0) {
                int sent = m_pSocket->Send(record->data() + (WireFormat::kRecordSize - remaining), remaining, 0);
                // A send that writes nothing would never finish the record: it counts as a failure.
                if (sent <= 0) {
                    MessageBox(SJIS("送信できませんでした。"), SJIS("送信エラー"));
                    break;
                }
                remaining -= sent;
            }
            if (remaining == 0) {
                m_sendText.SetWindowText(CString());
            }
        }
    }
    m_sendText.SetFocus();
}

void CClientDlg::OnDisconnect() {
    if (m_signedIn != kSignedIn || !m_pSocket) {
        MessageBox(SJIS(kNotConnected), SJIS(kConnectErrorCaption));
        return;
    }
    // What was read but not yet shown (a message waiting for the stream to go quiet, the head of a record) is part
    // of the conversation.
    m_pSocket->takeHeldLines();
    m_pSocket->ShutDown(1);
    releaseConnection();
    SetWindowText(SJIS(kTitleDisconnected));
    m_signedIn = kNotSignedIn;
    m_received.SetWindowText(CString());
}

void CClientDlg::OnExit() {
    if (MessageBox(SJIS("チャットを終了しますか？"), SJIS("プログラム終了"), MB_YESNO) != IDYES) {
        return;
    }
    CString notice = WireFormat::leaveNotice(m_name.GetWindowText());
    if (m_pSocket) {
        m_pSocket->Send(notice.data(), notice.GetLength(), 0);
    }
    AfxPostQuitMessage(0);
}
