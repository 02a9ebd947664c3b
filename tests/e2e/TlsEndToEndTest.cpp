#include "ClientFixture.h"
#include "ServerHarness.h"
#include "TestCertificate.h"
#include "TestClient.h"

#include <cstdlib>

namespace {

vesmira::ServerHarness::Options withTls(const TestCertificate* certificate = nullptr) {
    vesmira::ServerHarness::Options options;
    options.tls = true;
    options.certificate = certificate;
    return options;
}

} // namespace

// The client over TLS against the real server, answered through the test seam: the certificate question on first
// contact and what each answer leaves behind, a changed certificate, an authority's certificate, no plain fallback.
class TlsEndToEnd : public ClientFixture {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_server.running()) << m_server.error();
        openWindow();
    }
    // Points the window at the server's TLS port with TLS ticked (by a click, as the user would) and connects.
    void connectTls(std::uint16_t port, const std::string& host = "127.0.0.1") {
        setText(IDC_ADDRESS, host);
        setText(IDC_PORT, std::to_string(port));
        if (window().GetDlgItem(IDC_TLS)->GetCheck() == 0) {
            ASSERT_TRUE(window().clickButton(IDC_TLS));
        }
        press(IDC_CONNECT);
    }
    static void expectRegistration(const std::string& id) {
        TestSeam::expect([id](ModalWindow& dialog) {
            dialog.setControlText(IDC_ENTRY_ID, id);
            dialog.setControlText(IDC_ENTRY_PASSWORD, "himitsu");
            dialog.press(IDC_ENTRY_REGISTER);
        });
    }
    // The certificate question, its fingerprint on two lines; `answer` is pressed.
    void expectQuestion(int answer) {
        TestSeam::expect([print = m_server.certificate().fingerprint, answer](ModalWindow& box) {
            EXPECT_EQ(box.caption(), "サーバー証明書の確認");
            EXPECT_NE(box.text().find("\r\n" + print.substr(0, 47) + "\r\n" + print.substr(48) + "\r\n"),
                      std::string::npos)
                << box.text();
            EXPECT_EQ(box.buttons(), (std::vector<std::string>{"常に信頼する(&A)", "今回のみ(&O)", "キャンセル"}));
            box.press(answer);
        });
    }
    bool stored(const std::string& fingerprint) const {
        const std::string line = "127.0.0.1 " + std::to_string(m_server.tlsPort()) + " tls " + fingerprint + "\r\n";
        return TempDir::read("TlsServers.txt").find(line) != std::string::npos;
    }

    vesmira::ServerHarness m_server{withTls()};
};

TEST_F(TlsEndToEnd, TrustedAlwaysChatsByteExactWithAPlainUserAndIsNotAskedAgain) {
    expectQuestion(IDYES);
    expectRegistration("さくら");
    connectTls(m_server.tlsPort());
    ASSERT_TRUE(pumpUntil([this] { return window().signedIn() == 1; }));
    EXPECT_TRUE(stored(m_server.certificate().fingerprint));
    auto plain = vesmira::registered(m_server.port(), "bob");
    ASSERT_TRUE(plain);
    const std::string sakura = sjis("さくら：こんにちは");
    const std::string bob = "bob" + sjis("：やあ");
    setText(IDC_SEND_TEXT, "こんにちは");
    press(IDC_SEND);
    EXPECT_EQ(plain->receive(500), chatRecord(sakura));
    ASSERT_TRUE(plain->send(chatRecord(bob)));
    EXPECT_EQ(plain->receive(500), chatRecord(bob));
    const std::string bobJoined = "bob" + sjis("：入室しました。") + "\r\n";
    ASSERT_TRUE(pumpUntil([&] { return window().transcript().bytes() == bobJoined + sakura + "\r\n" + bob + "\r\n"; }));

    // Typing the port anew ticks the box again: TLS is remembered for the server. The next connection asks nothing.
    press(IDC_DISCONNECT);
    window().GetDlgItem(IDC_TLS)->SetCheck(0);
    QWidget* port = window().GetDlgItem(IDC_PORT)->widget();
    setText(IDC_PORT, "");
    for (QChar digit : QString::number(m_server.tlsPort())) {
        QKeyEvent key(QEvent::KeyPress, Qt::Key_0 + digit.digitValue(), Qt::NoModifier, QString(digit));
        QApplication::sendEvent(port, &key);
    }
    EXPECT_EQ(window().GetDlgItem(IDC_TLS)->GetCheck(), 1);
    TestSeam::expect([](ModalWindow& dialog) {
        dialog.setControlText(IDC_JUDGE_PASSWORD, "himitsu");
        dialog.press(IDC_JUDGE_AUTHENTICATE);
    });
    press(IDC_CONNECT);
    ASSERT_TRUE(pumpUntil([this] { return window().signedIn() == 1; }));
    // The leave notice, then TLS's end of the stream: the plain user gets it as a line.
    TestSeam::expect([](ModalWindow& box) { box.press(IDYES); });
    press(IDC_EXIT);
    closeWindow();
    // The server's lines for the Disconnect and the new sign-in come first.
    EXPECT_EQ(plain->receive(500), chatRecord(sjis("さくら：退室しました。")));
    EXPECT_EQ(plain->receive(500), chatRecord(sjis("さくら：入室しました。")));
    EXPECT_EQ(plain->receive(500), chatRecord(sjis("さくら：退室しました。")));
}

TEST_F(TlsEndToEnd, ThisTimeConnectsAndCancelDoesNotAndNeitherIsRemembered) {
    for (const auto& [answer, expected] :
         {std::pair(IDNO, "クライアント:ユーザー登録"), {IDCANCEL, "クライアント:接続失敗"}}) {
        expectQuestion(answer);
        connectTls(m_server.tlsPort());
        EXPECT_EQ(title(), expected);
        EXPECT_EQ(window().connection()->handle() >= 0, answer == IDNO);
        EXPECT_TRUE(stored("-")) << answer;
    }
}

TEST_F(TlsEndToEnd, ChangedCertificateIsRefusedNamingBothAndHowToForget) {
    const std::string before = m_server.certificate().fingerprint;
    expectQuestion(IDYES);
    expectRegistration("taro");
    connectTls(m_server.tlsPort());
    ASSERT_TRUE(pumpUntil([this] { return window().signedIn() == 1; }));
    press(IDC_DISCONNECT);
    ASSERT_TRUE(m_server.renewCertificate());
    const std::string after = m_server.certificate().fingerprint;
    const std::string port = std::to_string(m_server.tlsPort());
    TestSeam::expect([&](ModalWindow& box) {
        EXPECT_EQ(box.caption(), "証明書の警告");
        EXPECT_TRUE(box.hasWarningIcon());
        for (const std::string& part :
             {"127.0.0.1:" + port, before.substr(0, 47), before.substr(48), after.substr(0, 47), after.substr(48),
              "TlsServers.txt から「127.0.0.1 " + port + "」で始まる行を削除"}) {
            EXPECT_NE(box.text().find(part), std::string::npos) << part << "\n" << box.text();
        }
        box.press(IDOK);
    });
    press(IDC_CONNECT);
    EXPECT_EQ(title(), "クライアント:接続失敗");
    EXPECT_EQ(window().connection()->handle(), -1);
    EXPECT_TRUE(stored(before));
}

TEST_F(TlsEndToEnd, NoFallbackToPlainWhenTheServerDoesNotSpeakTls) {
    TestSeam::expect([](ModalWindow& box) {
        EXPECT_EQ(box.caption(), "接続エラー");
        EXPECT_TRUE(box.text().starts_with("TLSで接続できませんでした。\r\n")) << box.text();
        box.press(IDOK);
    });
    connectTls(m_server.port());
    EXPECT_EQ(title(), "クライアント:接続失敗");
    EXPECT_EQ(window().connection()->handle(), -1);
}

TEST_F(TlsEndToEnd, CertificateOfAnAuthorityTheSystemTrustsIsAcceptedSilently) {
    const TestCertificate authority = TestCertificate::authority(m_dir.path(), "authority");
    const TestCertificate issued = TestCertificate::make(m_dir.path(), "issued", "localhost", &authority);
    vesmira::ServerHarness server(withTls(&issued));
    ASSERT_TRUE(server.running()) << server.error();
    ::setenv("SSL_CERT_FILE", authority.certificate.c_str(), 1);
    expectRegistration("ca");
    connectTls(server.tlsPort(), "localhost");
    ::unsetenv("SSL_CERT_FILE");
    ASSERT_TRUE(pumpUntil([this] { return window().signedIn() == 1; }));
}
