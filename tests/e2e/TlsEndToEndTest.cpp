#include "ClientFixture.h"
#include "ServerHarness.h"
#include "TestCertificate.h"
#include "TestClient.h"
#include "session/TlsServersFile.h"

#include <QLineEdit>

#include <cstdlib>

// The client over TLS against the real server: the certificate box on first contact and what each answer leaves
// behind, the warning for a changed certificate, a certificate an authority vouches for, and no plain fallback.
class TlsEndToEnd : public ClientFixture {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_server.running()) << m_server.error();
        openWindow();
    }
    // The window pointed at the server's TLS port with TLS ticked, as the user would.
    void pointAtTls(const std::string& host = "127.0.0.1") {
        setText(IDC_ADDRESS, host);
        setText(IDC_PORT, std::to_string(m_server.tlsPort()));
        if (window().GetDlgItem(IDC_TLS)->GetCheck() == 0) {
            ASSERT_TRUE(window().clickButton(IDC_TLS));
        }
    }
    // Connects and registers `id` through the registration dialog.
    void connectAndRegister(const std::string& id) {
        TestSeam::expect([id](ModalWindow& dialog) {
            EXPECT_EQ(dialog.caption(), "新規ユーザー登録");
            dialog.setControlText(IDC_ENTRY_ID, id);
            dialog.setControlText(IDC_ENTRY_PASSWORD, "himitsu");
            dialog.press(IDC_ENTRY_REGISTER);
        });
        press(IDC_CONNECT);
        ASSERT_TRUE(pumpUntil([this] { return window().signedIn() == 1; }));
    }
    // The next box is the certificate question for `fingerprint`; `answer` is pressed.
    static void expectQuestion(const std::string& fingerprint, int answer) {
        TestSeam::expect([fingerprint, answer](ModalWindow& box) {
            EXPECT_EQ(box.caption(), "サーバー証明書の確認");
            EXPECT_NE(box.text().find("\r\n" + fingerprint.substr(0, 47) + "\r\n" + fingerprint.substr(48) + "\r\n"),
                      std::string::npos)
                << box.text();
            EXPECT_EQ(box.buttons(), (std::vector<std::string>{"常に信頼する(&A)", "今回のみ(&O)", "キャンセル"}));
            box.press(answer);
        });
    }
    std::string storedLine() const { return "127.0.0.1 " + std::to_string(m_server.tlsPort()) + " tls "; }

    vesmira::ServerHarness m_server{[] {
        vesmira::ServerHarness::Options options;
        options.tls = true;
        return options;
    }()};
};

TEST_F(TlsEndToEnd, TrustedAlwaysChatsByteExactWithAPlainUserAndIsNotAskedAgain) {
    pointAtTls();
    expectQuestion(m_server.certificate().fingerprint, IDYES);
    connectAndRegister("さくら");
    EXPECT_EQ(TempDir::read("TlsServers.txt").find(storedLine() + m_server.certificate().fingerprint + "\r\n") !=
                  std::string::npos,
              true)
        << TempDir::read("TlsServers.txt");

    auto plain = vesmira::registered(m_server.port(), "bob");
    ASSERT_TRUE(plain);
    const std::string sakura = sjis("さくら") + sjis("：");
    setText(IDC_SEND_TEXT, "こんにちは");
    press(IDC_SEND);
    EXPECT_EQ(plain->receive(500), chatRecord(sakura + sjis("こんにちは")));
    ASSERT_TRUE(plain->send(chatRecord("bob" + sjis("：") + sjis("やあ"))));
    EXPECT_EQ(plain->receive(500), chatRecord("bob" + sjis("：") + sjis("やあ")));
    const std::string both = sakura + sjis("こんにちは") + "\r\nbob" + sjis("：") + sjis("やあ") + "\r\n";
    ASSERT_TRUE(pumpUntil([&] { return window().transcript().bytes() == both; }));

    // Trusted: the next connection asks nothing; the box follows the server typed in.
    press(IDC_DISCONNECT);
    window().GetDlgItem(IDC_TLS)->SetCheck(0);
    // Typing the port anew ticks the box again: the server is known to want TLS.
    QWidget* port = window().GetDlgItem(IDC_PORT)->widget();
    static_cast<QLineEdit*>(port)->clear();
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
    TestSeam::expect([](ModalWindow& box) { box.press(IDYES); });
    press(IDC_EXIT);
    closeWindow();
    EXPECT_EQ(plain->receive(500), chatRecord(sakura + sjis("退室しました。")));
}

TEST_F(TlsEndToEnd, ThisTimeConnectsAndCancelDoesNotAndNeitherIsRemembered) {
    struct Case {
        int answer;
        bool connected;
        std::string title;
    };
    for (const Case& c :
         {Case{IDNO, true, "クライアント:ユーザー登録"}, Case{IDCANCEL, false, "クライアント:接続失敗"}}) {
        pointAtTls();
        expectQuestion(m_server.certificate().fingerprint, c.answer);
        press(IDC_CONNECT);
        EXPECT_EQ(title(), c.title);
        EXPECT_EQ(window().connection() && window().connection()->handle() >= 0, c.connected) << c.answer;
        EXPECT_NE(TempDir::read("TlsServers.txt").find(storedLine() + "-\r\n"), std::string::npos) << c.answer;
        if (c.connected) {
            TestSeam::expect([](ModalWindow& dialog) { dialog.press(IDC_ENTRY_CANCEL); });
            TestSeam::expect([](ModalWindow& box) { box.press(IDOK); });
            ASSERT_TRUE(pumpUntil([] { return TestSeam::pendingAnswers() == 0; }));
        }
    }
}

TEST_F(TlsEndToEnd, ChangedCertificateIsRefusedNamingBothAndHowToForget) {
    pointAtTls();
    const std::string before = m_server.certificate().fingerprint;
    expectQuestion(before, IDYES);
    connectAndRegister("taro");
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
    EXPECT_NE(TempDir::read("TlsServers.txt").find(storedLine() + before), std::string::npos);
}

TEST_F(TlsEndToEnd, NoFallbackToPlainWhenTheServerDoesNotSpeakTls) {
    setText(IDC_ADDRESS, "127.0.0.1");
    setText(IDC_PORT, std::to_string(m_server.port()));
    ASSERT_TRUE(window().clickButton(IDC_TLS));
    TestSeam::expect([](ModalWindow& box) {
        EXPECT_EQ(box.caption(), "接続エラー");
        EXPECT_TRUE(box.text().starts_with("TLSで接続できませんでした。\r\n")) << box.text();
        box.press(IDOK);
    });
    press(IDC_CONNECT);
    EXPECT_EQ(title(), "クライアント:接続失敗");
    EXPECT_EQ(window().connection()->handle(), -1);
}

// A certificate that an authority the system trusts issued for the host name: no question at all.
class TlsAuthorityEndToEnd : public ClientFixture {};

TEST_F(TlsAuthorityEndToEnd, VouchedForCertificateIsAcceptedSilently) {
    const TestCertificate authority = TestCertificate::authority(m_dir.path(), "authority");
    const TestCertificate issued = TestCertificate::make(m_dir.path(), "issued", "localhost", &authority);
    vesmira::ServerHarness::Options options;
    options.tls = true;
    options.certificate = &issued;
    vesmira::ServerHarness server(options);
    ASSERT_TRUE(server.running()) << server.error();
    ::setenv("SSL_CERT_FILE", authority.certificate.c_str(), 1);
    openWindow();
    setText(IDC_ADDRESS, "localhost");
    setText(IDC_PORT, std::to_string(server.tlsPort()));
    ASSERT_TRUE(window().clickButton(IDC_TLS));
    TestSeam::expect([](ModalWindow& dialog) {
        EXPECT_EQ(dialog.caption(), "新規ユーザー登録");
        dialog.setControlText(IDC_ENTRY_ID, "ca");
        dialog.setControlText(IDC_ENTRY_PASSWORD, "pw");
        dialog.press(IDC_ENTRY_REGISTER);
    });
    press(IDC_CONNECT);
    ::unsetenv("SSL_CERT_FILE");
    ASSERT_TRUE(pumpUntil([this] { return window().signedIn() == 1; }));
    EXPECT_NE(TempDir::read("TlsServers.txt").find("localhost " + std::to_string(server.tlsPort()) + " tls -"),
              std::string::npos);
}
