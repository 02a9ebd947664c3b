#include "ClientFixture.h"
#include "ServerHarness.h"
#include "TestClient.h"

// The client against the real server: registration, a restart that authenticates with the stored ID, lines
// between the client and a second user, and the leave notice at exit.
using EndToEnd = ClientFixture;

TEST_F(EndToEnd, RegisterRestartAuthenticateChatAndLeave) {
    vesmira::ServerHarness server;
    ASSERT_TRUE(server.running()) << server.error();
    const std::string port = std::to_string(server.port());

    openWindow();
    setText(IDC_ADDRESS, "127.0.0.1");
    setText(IDC_PORT, port);
    TestSeam::expect([](ModalWindow& dialog) {
        EXPECT_EQ(dialog.caption(), "新規ユーザー登録");
        dialog.setControlText(IDC_ENTRY_ID, "さくら");
        dialog.setControlText(IDC_ENTRY_PASSWORD, "himitsu");
        dialog.press(IDC_ENTRY_REGISTER);
    });
    press(IDC_CONNECT);
    ASSERT_TRUE(pumpUntil([this] { return window().signedIn() == 1; }));
    EXPECT_EQ(TempDir::read("EntryData.txt"), sjis("さくら") + "\r\nhimitsu\r\n");

    // A new run of the program finds the stored user and authenticates.
    closeWindow();
    openWindow();
    EXPECT_EQ(window().userName().toUtf8(), "さくら");
    setText(IDC_ADDRESS, "127.0.0.1");
    setText(IDC_PORT, port);
    TestSeam::expect([](ModalWindow& dialog) {
        EXPECT_EQ(dialog.caption(), "ユーザー認証");
        EXPECT_EQ(dialog.controlText(IDC_JUDGE_ID), "さくら");
        dialog.setControlText(IDC_JUDGE_PASSWORD, "himitsu");
        dialog.press(IDC_JUDGE_AUTHENTICATE);
    });
    press(IDC_CONNECT);
    ASSERT_TRUE(pumpUntil([this] { return window().signedIn() == 1; }));
    EXPECT_EQ(title(), "クライアント:通信中");

    vesmira::TestClient other;
    ASSERT_TRUE(other.connect(server.port()));
    ASSERT_EQ(other.receive(5), "Hello");
    ASSERT_TRUE(other.registerUser("bob", "pw"));

    // The server tells the room who comes: an ordinary line for the client.
    const std::string bobJoined = "bob" + sjis("：入室しました。") + "\r\n";
    const std::string sakura = sjis("さくら") + sjis("：");
    setText(IDC_SEND_TEXT, "こんにちは");
    press(IDC_SEND);
    EXPECT_EQ(other.receive(500), chatRecord(sakura + sjis("こんにちは")));
    ASSERT_TRUE(
        pumpUntil([&] { return window().transcript().bytes() == bobJoined + sakura + sjis("こんにちは") + "\r\n"; }));

    ASSERT_TRUE(other.send(chatRecord("bob" + sjis("：") + sjis("やあ"))));
    std::string expected = bobJoined + sakura + sjis("こんにちは") + "\r\nbob" + sjis("：") + sjis("やあ") + "\r\n";
    ASSERT_TRUE(pumpUntil([&] { return window().transcript().bytes() == expected; }));
    EXPECT_EQ(CString::fromUtf8(text(IDC_RECEIVED)).bytes(), expected);
    EXPECT_EQ(other.receive(500), chatRecord("bob" + sjis("：") + sjis("やあ")));

    TestSeam::expect([](ModalWindow& box) { box.press(IDYES); });
    press(IDC_EXIT);
    EXPECT_TRUE(AfxGetApp()->quitRequested());
    closeWindow(); // the program ends, and with it the connection
    EXPECT_EQ(other.receive(500), chatRecord(sakura + sjis("退室しました。")));
}
