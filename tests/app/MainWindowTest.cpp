#include "ClientFixture.h"
#include "platform/DialogBuilder.h"

#include <QAbstractButton>
#include <QContextMenuEvent>

using MainWindow = ClientFixture;

TEST_F(MainWindow, OpensWithDefaultsAndTheRegisterHintWhenNoCredentials) {
    bool windowShownBeforeHint = true;
    TestSeam::expect([&](ModalWindow& box) {
        EXPECT_EQ(box.text(), "接続ボタンを押して\r\nユーザー登録してください");
        EXPECT_EQ(box.caption(), "新規ユーザー作成");
        windowShownBeforeHint = m_window->widget()->isVisible();
        box.press(IDOK);
    });
    m_window = std::make_unique<CClientDlg>();
    AfxGetApp()->m_pMainWnd = m_window.get();
    ASSERT_TRUE(m_window->Create());
    EXPECT_FALSE(windowShownBeforeHint);
    EXPECT_EQ(title(), "Vesmira クライアントアプリケーション");
    EXPECT_EQ(text(IDC_ADDRESS), GetLocalIPv4Address().toUtf8());
    EXPECT_EQ(text(IDC_PORT), "3000");
    EXPECT_EQ(text(IDC_NAME), "NONE");
    EXPECT_EQ(text(IDC_RECEIVED), "");
    EXPECT_EQ(window().GetDefID(), IDC_CONNECT);
    EXPECT_EQ(window().speechStyle(), 1);
    EXPECT_EQ(window().signedIn(), 0);
    EXPECT_NE(window().connection(), nullptr);
    EXPECT_EQ(focusId(), IDC_ADDRESS);
    for (int id : {IDC_HIDDEN_USER, IDC_HIDDEN_PASSWORD, IDC_DISCONNECT, IDC_HIDDEN_LIST, IDC_AUTHENTICATE_HIDDEN,
                   IDC_REGISTER_HIDDEN}) {
        SCOPED_TRACE(id);
        EXPECT_FALSE(window().GetDlgItem(id)->IsWindowVisible());
        EXPECT_FALSE(window().GetDlgItem(id)->IsWindowEnabled());
    }
    for (int id : {IDC_STYLE_NONE, IDC_STYLE_JAYO, IDC_STYLE_NIIGATA, IDC_STYLE_DEARIMASU, IDC_STYLE_USER}) {
        SCOPED_TRACE(id);
        auto* radio = qobject_cast<QAbstractButton*>(window().GetDlgItem(id)->widget());
        ASSERT_NE(radio, nullptr);
        EXPECT_FALSE(radio->isChecked());
    }
}

TEST_F(MainWindow, StoredCredentialsGiveTheUserNameAndNoHint) {
    TempDir::write("EntryData.txt", "taro\r\nsecret\r\n");
    openWindow();
    EXPECT_EQ(window().userName().toUtf8(), "taro");
    EXPECT_EQ(text(IDC_NAME), "NONE");
}

TEST_F(MainWindow, IsLaidOutInDialogUnitsOfTheDialogFont) {
    openWindow();
    QWidget* widget = window().widget();
    // 310 x 251 dialog units at the font's base units.
    EXPECT_EQ(widget->width(), DialogBuilder::toPixelsX(310));
    EXPECT_EQ(widget->height(), DialogBuilder::toPixelsY(251));
    QWidget* send = window().GetDlgItem(IDC_SEND)->widget();
    EXPECT_EQ(send->geometry(), QRect(DialogBuilder::toPixelsX(168), DialogBuilder::toPixelsY(214),
                                      DialogBuilder::toPixelsX(20), DialogBuilder::toPixelsY(22)));
}

TEST_F(MainWindow, EscapeDoesNothingButEnterPressesTheDefaultButton) {
    TempDir::write("EntryData.txt", "taro\r\nsecret\r\n");
    openWindow();
    window().GetDlgItem(IDC_SEND_TEXT)->SetFocus();
    pressKey(VK_ESCAPE);
    EXPECT_TRUE(window().widget()->isVisible());
    EXPECT_FALSE(AfxGetApp()->quitRequested());

    // Enter in the line to send presses Connect before sign-in: with port 0 the attempt fails.
    setText(IDC_PORT, "0");
    TestSeam::expect([](ModalWindow& box) {
        EXPECT_EQ(box.caption(), "クライアント");
        box.press(IDOK);
    });
    pressKey(VK_RETURN);
    EXPECT_EQ(title(), "クライアント:接続失敗");
    EXPECT_EQ(text(IDC_SEND_TEXT), "");
}

TEST_F(MainWindow, ContextMenuOpensTheAboutBoxWhichEscapeCloses) {
    TempDir::write("EntryData.txt", "taro\r\nsecret\r\n");
    openWindow();
    TestSeam::expect([](ModalWindow& menu) {
        ASSERT_EQ(menu.kind(), ModalWindow::Kind::Menu);
        EXPECT_EQ(menu.menuItems(), std::vector<std::string>{"Vesmira のﾊﾞｰｼﾞｮﾝ情報(&A)..."});
        menu.chooseMenuItem("Vesmira のﾊﾞｰｼﾞｮﾝ情報(&A)...");
    });
    bool aboutOpened = false;
    TestSeam::expect([&](ModalWindow& about) {
        aboutOpened = true;
        EXPECT_EQ(about.caption(), "Vesmiraのﾊﾞｰｼﾞｮﾝ情報");
        EXPECT_EQ(about.defaultButtonId(), IDOK);
        about.key(VK_ESCAPE);
        EXPECT_FALSE(about.isOpen());
    });
    QWidget* widget = window().widget();
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), widget->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(widget, &event);
    EXPECT_TRUE(aboutOpened);
}

TEST_F(MainWindow, EverySystemCommandFrom16To31OpensTheAboutBox) {
    TempDir::write("EntryData.txt", "taro\r\nsecret\r\n");
    openWindow();
    for (unsigned command = 16; command <= 31; ++command) {
        TestSeam::expect([](ModalWindow& about) { about.press(IDOK); });
        window().handleSystemCommand(command);
    }
    window().handleSystemCommand(32);
    EXPECT_EQ(TestSeam::answeredCount(), 16);
}

TEST_F(MainWindow, CloseBoxEndsTheRunWithoutQuestionOrLeaveNotice) {
    TempDir::write("EntryData.txt", "taro\r\nsecret\r\n");
    openWindow();
    window().widget()->close();
    EXPECT_FALSE(window().widget()->isVisible());
}

TEST_F(MainWindow, ServerCloseResetsTheWindowAndReleasesTheConnection) {
    for (bool withReset : {false, true}) {
        SCOPED_TRACE(withReset ? "reset" : "orderly close");
        TempDir::write("EntryData.txt", "hanako\r\npw\r\n");
        openWindow();
        std::atomic<bool> closeNow{false};
        connect([&](PeerConnection& peer) {
            waitForFlag(closeNow);
            withReset ? peer.reset() : peer.close();
        });
        ASSERT_EQ(title(), "クライアント:ユーザー認証");
        ASSERT_NE(window().connection(), nullptr);
        expectBox("サーバーにより切断されました。", "通信エラー");
        closeNow = true;
        ASSERT_TRUE(pumpUntil([this] { return window().connection() == nullptr; }));
        EXPECT_EQ(title(), "クライアント:切断");
        EXPECT_EQ(window().signedIn(), 0);
        EXPECT_EQ(text(IDC_HIDDEN_USER), "hanako");
        EXPECT_EQ(text(IDC_HIDDEN_PASSWORD), "");
        EXPECT_EQ(text(IDC_NAME), "NONE");
        closeWindow();
    }
}
