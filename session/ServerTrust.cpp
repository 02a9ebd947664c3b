#include "ServerTrust.h"

#include "platform/CAsyncSocket.h"
#include "platform/CWnd.h"
#include "protocol/Fingerprint.h"
#include "res/ResourceIds.h"
#include "session/SessionTexts.h"
#include "session/TlsServersFile.h"

#include <cerrno>

namespace ServerTrust {

namespace {

// The colon after 16 of the 32 bytes: each half fits a line of a box.
constexpr std::size_t kFingerprintHalf = vesmira::kFingerprintTextLength / 2;

CString server(const CString& host, int port) {
    return host + CString(":" + std::to_string(port));
}

// The fingerprint on two lines.
CString shown(const CString& fingerprint) {
    const std::string& text = fingerprint.bytes();
    return CString(text.substr(0, kFingerprintHalf) + "\r\n" + text.substr(kFingerprintHalf + 1));
}

bool remember(CWnd& window, const CString& host, int port, const TlsServersFile::Entry& entry) {
    if (TlsServersFile::store(host, port, entry)) {
        return true;
    }
    window.MessageBox(SJIS("ファイルに書き込めませんでした。\n"), CString(TlsServersFile::kFileName));
    return false;
}

// The user's verdict on a certificate that no authority vouches for.
bool trust(CWnd& window, const CString& host, int port, const TlsPeer& peer, TlsServersFile::Entry entry) {
    if (peer.verified || peer.fingerprint.bytes() == entry.fingerprint) {
        return true;
    }
    if (!entry.fingerprint.empty()) {
        window.MessageBox(
            SJIS("サーバー ") + server(host, port) +
                SJIS(" の証明書が、以前に信頼したものと違います。\r\n"
                     "通信を盗み見ようとする者がいるおそれがあるため、接続しませんでした。\r\n\r\n"
                     "以前の SHA-256 フィンガープリント:\r\n") +
                shown(CString(entry.fingerprint)) + SJIS("\r\n今回の SHA-256 フィンガープリント:\r\n") +
                shown(peer.fingerprint) +
                SJIS("\r\n\r\nサーバーの管理者が証明書を作り直したと確認できた場合は、作業フォルダーの ") +
                CString(TlsServersFile::kFileName) + SJIS(" から「") + host + CString(" " + std::to_string(port)) +
                SJIS("」で始まる行を削除して、以前の証明書を忘れてから接続し直してください。"),
            SJIS("証明書の警告"), MB_ICONEXCLAMATION);
        return false;
    }
    const CString buttons[3] = {SJIS("常に信頼する(&A)"), SJIS("今回のみ(&O)"), SJIS("キャンセル")};
    const int answer = window.MessageBox(
        SJIS("サーバー ") + server(host, port) +
            SJIS(" の証明書は、認証局では確認できませんでした。\r\n\r\nSHA-256 フィンガープリント:\r\n") +
            shown(peer.fingerprint) +
            SJIS("\r\n\r\nサーバーの管理者から聞いたフィンガープリントと一致する場合だけ、信頼してください。\r\n"
                 "このサーバーを信頼しますか？"),
        SJIS("サーバー証明書の確認"), MB_YESNOCANCEL, buttons);
    if (answer == IDYES) {
        entry.fingerprint = peer.fingerprint.bytes();
        remember(window, host, port, entry);
    }
    return answer == IDYES || answer == IDNO;
}

} // namespace

Outcome connect(CSocket& socket, CWnd& window, const CString& host, int port, bool tls) {
    std::optional<TlsServersFile::Entry> known = TlsServersFile::find(host, port);
    TlsServersFile::Entry entry = known.value_or(TlsServersFile::Entry{});
    if (!tls) {
        if (known && known->tls) {
            entry.tls = false;
            remember(window, host, port, entry);
        }
        return socket.Connect(host, port) ? kConnected : kConnectFailed;
    }
    if (!known || !known->tls) {
        entry.tls = true;
        remember(window, host, port, entry);
    }
    if (socket.ConnectTls(host, port, [&](const TlsPeer& peer) { return trust(window, host, port, peer, entry); })) {
        return kConnected;
    }
    if (GetLastError() == EPROTO) {
        window.MessageBox(SJIS("TLSで接続できませんでした。\r\n"
                               "サーバーがTLSで待ち受けているか、ポート番号が正しいか確認してください。\r\n（") +
                              GetLastTlsError() + SJIS("）"),
                          SJIS(SessionTexts::kConnectErrorCaption));
        return kRefused;
    }
    return GetLastError() == ECONNABORTED ? kRefused : kConnectFailed;
}

std::optional<bool> rememberedTls(const CString& host, int port) {
    std::optional<TlsServersFile::Entry> entry = TlsServersFile::find(host, port);
    return entry ? std::optional<bool>(entry->tls) : std::nullopt;
}

} // namespace ServerTrust
