#include "ClientFixture.h"

using MainWindow = ClientFixture;

TEST_F(MainWindow, OpensWithDefaultsAndTheRegisterHintWhenNoCredentials) {
    std::string hintText, hintCaption;
    TestSeam::expect([&](ModalWindow& box) {
        hintText = box.text();
        hintCaption = box.caption();
        box.press(IDOK);
    });
    m_window = std::make_unique<CClientDlg>();
    AfxGetApp()->m_pMainWnd = m_window.get();
    ASSERT_TRUE(m_window->Create());
    EXPECT_EQ(hintText, "接続ボタンを押して\r\nユーザー登録してください");
    EXPECT_EQ(hintCaption, "新規ユーザー作成");
    EXPECT_EQ(title(), "Vesmira クライアントアプリケーション");
    EXPECT_EQ(text(IDC_PORT), "3000");
    EXPECT_EQ(text(IDC_NAME), "NONE");
    EXPECT_EQ(window().GetDefID(), IDC_CONNECT);
    EXPECT_EQ(window().speechStyle(), 1);
    EXPECT_EQ(window().signedIn(), 0);
    EXPECT_NE(window().connection(), nullptr);
}
