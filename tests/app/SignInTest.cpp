#include "ClientFixture.h"
#include "platform/base/TextFile.h"

#include <sys/stat.h>

using SignIn = ClientFixture;

namespace {

const std::string kEntry("ENTRY\0", 6);
const std::string kJudge("JUDGE\0", 6);

void typeAndPress(ModalWindow& dialog, int idEdit, const std::string& id, int passwordEdit, const std::string& password,
                  int button) {
    dialog.setControlText(idEdit, id);
    dialog.setControlText(passwordEdit, password);
    dialog.press(button);
}

void expectAppBox(const std::string& text) {
    TestSeam::expect([text](ModalWindow& box) {
        EXPECT_EQ(box.text(), text);
        EXPECT_EQ(box.caption(), "Vesmira");
        EXPECT_TRUE(box.hasWarningIcon());
        box.press(IDOK);
    });
}

} // namespace

TEST_F(SignIn, RegistrationStoresTheCredentialsAndSignsIn) {
    openWindow();
    TestSeam::expect([](ModalWindow& dialog) {
        EXPECT_EQ(dialog.caption(), "新規ユーザー登録");
        EXPECT_EQ(dialog.controlText(IDC_ENTRY_ID), "");
        EXPECT_EQ(dialog.controlText(IDC_ENTRY_PASSWORD), "");
        EXPECT_EQ(dialog.focusId(), IDC_ENTRY_ID);
        EXPECT_EQ(dialog.defaultButtonId(), IDC_ENTRY_REGISTER);
        dialog.setControlText(IDC_ENTRY_ID, "さくら");
        dialog.setControlText(IDC_ENTRY_PASSWORD, "himitsu");
        dialog.key(VK_ESCAPE); // swallowed
        ASSERT_TRUE(dialog.isOpen());
        dialog.key(VK_RETURN); // presses Register
    });
    std::atomic<bool> sendHelloAgain{false};
    connect([&](PeerConnection& peer) {
        peer.send("Hello");
        EXPECT_EQ(peer.read(6), kEntry);
        peer.send(std::string("ok\0\0\0", 5));
        EXPECT_EQ(peer.read(6), sjis("さくら"));
        peer.send("ok");
        EXPECT_EQ(peer.read(7), "himitsu");
        peer.send("ok");
        // The flow is now authentication and signed in: even "Hello" is a chat line.
        waitForFlag(sendHelloAgain);
        peer.send(chatRecord("Hello"));
        peer.waitForEnd();
    });
    EXPECT_EQ(title(), "クライアント:ユーザー登録");
    ASSERT_TRUE(pumpUntil([this] { return window().signedIn() == 1; }));
    EXPECT_EQ(title(), "クライアント:通信中");
    EXPECT_EQ(text(IDC_NAME), "さくら");
    EXPECT_EQ(window().GetDefID(), IDC_SEND);
    EXPECT_EQ(window().connection()->m_flow, 1);
    EXPECT_EQ(TempDir::read("EntryData.txt"), sjis("さくら") + "\r\nhimitsu\r\n");
    struct stat info {};
    ASSERT_EQ(::stat("EntryData.txt", &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    sendHelloAgain = true;
    ASSERT_TRUE(pumpUntil([this] { return !window().transcript().IsEmpty(); }));
    EXPECT_EQ(window().transcript().bytes(), "Hello\r\n");
}

TEST_F(SignIn, RegistrationRefusalsKeepTheDialogOpenAndRestartTheExchange) {
    openWindow();
    TestSeam::expect([](ModalWindow& dialog) {
        // Both empty: only the ID is asked for, and the focus stays.
        dialog.setControlText(IDC_ENTRY_PASSWORD, "");
        dialog.press(IDC_ENTRY_REGISTER);
        dialog.setControlText(IDC_ENTRY_ID, "u1");
        dialog.press(IDC_ENTRY_REGISTER);
        // The command refused: nothing shown.
        typeAndPress(dialog, IDC_ENTRY_ID, "u1", IDC_ENTRY_PASSWORD, "p1", IDC_ENTRY_REGISTER);
        EXPECT_TRUE(dialog.isOpen());
        typeAndPress(dialog, IDC_ENTRY_ID, "u1", IDC_ENTRY_PASSWORD, "p1", IDC_ENTRY_REGISTER);
        EXPECT_EQ(dialog.focusId(), IDC_ENTRY_ID);
        dialog.setControlText(IDC_ENTRY_ID, "u2");
        dialog.press(IDC_ENTRY_REGISTER);
        EXPECT_EQ(dialog.focusId(), IDC_ENTRY_PASSWORD);
        dialog.press(IDC_ENTRY_CANCEL);
    });
    TestSeam::expect([](ModalWindow& box) {
        EXPECT_EQ(box.text(), "ユーザーIDを入力して下さい。");
        EXPECT_EQ(box.caption(), "Vesmira");
        EXPECT_FALSE(box.hasWarningIcon());
        box.press(IDOK);
    });
    expectBox("Passwordを入力して下さい。", "Vesmira");
    expectAppBox("IDが登録されませんでした");
    expectAppBox("違うパスワードを入力して下さい");
    expectBox("ユーザー登録は\r\nキャンセルされました。", "ユーザー未登録");
    connect([](PeerConnection& peer) {
        peer.send("Hello");
        EXPECT_EQ(peer.read(6), kEntry);
        peer.send("ng");
        EXPECT_EQ(peer.read(6), kEntry);
        peer.send("ok");
        EXPECT_EQ(peer.read(2), "u1");
        peer.send("ok\r\n");
        EXPECT_EQ(peer.read(6), kEntry);
        peer.send("ok");
        EXPECT_EQ(peer.read(2), "u2");
        peer.send("ok");
        EXPECT_EQ(peer.read(2), "p1");
        peer.send("OK");
        peer.waitForEnd();
    });
    ASSERT_TRUE(pumpUntil([] { return TestSeam::pendingAnswers() == 0; }));
    pumpFor(std::chrono::milliseconds(50));
    EXPECT_EQ(title(), "クライアント:ユーザー登録");
    EXPECT_EQ(window().signedIn(), 0);
    EXPECT_NE(window().connection(), nullptr);
    EXPECT_FALSE(TempDir::exists("EntryData.txt"));
}

TEST_F(SignIn, ReplyOver256BytesLeavesItsTailForTheNextReceive) {
    openWindow();
    TestSeam::expect([](ModalWindow& dialog) {
        typeAndPress(dialog, IDC_ENTRY_ID, "u", IDC_ENTRY_PASSWORD, "p", IDC_ENTRY_REGISTER);
        // The second run's command is answered by the tail of the first reply.
        dialog.press(IDC_ENTRY_REGISTER);
    });
    connect([](PeerConnection& peer) {
        peer.send("Hello");
        EXPECT_EQ(peer.read(6), kEntry);
        peer.send(std::string(256, 'z') + "ok");
        EXPECT_EQ(peer.read(6), kEntry);
        EXPECT_EQ(peer.read(1), "u");
        peer.send("ok");
        EXPECT_EQ(peer.read(1), "p");
        peer.send("ok");
        peer.waitForEnd();
    });
    EXPECT_TRUE(pumpUntil([this] { return window().signedIn() == 1; }));
}

TEST_F(SignIn, OnlyAGreetingAloneInItsReadOpensTheDialog) {
    TempDir::write("EntryData.txt", "taro\r\npw\r\n");
    openWindow();
    std::atomic<bool> next{false};
    int opened = 0;
    TestSeam::expect([&](ModalWindow& dialog) {
        ++opened;
        EXPECT_EQ(dialog.caption(), "ユーザー認証");
        dialog.press(IDC_JUDGE_CANCEL);
    });
    expectBox("ユーザー認証は\r\nキャンセルされました。", "ユーザー未登録");
    connect([&](PeerConnection& peer) {
        for (const char* dropped : {"Hello\r\n", "hello", "Hello ", "HelloHello"}) {
            peer.send(dropped);
            waitForFlag(next);
            next = false;
        }
        peer.send(std::string("Hello\0\0", 7));
        peer.waitForEnd();
    });
    for (int i = 0; i < 4; ++i) {
        pumpFor(std::chrono::milliseconds(60));
        EXPECT_EQ(opened, 0);
        next = true;
        pumpUntil([&] { return !next.load(); });
    }
    ASSERT_TRUE(pumpUntil([&] { return TestSeam::pendingAnswers() == 0; }));
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(title(), "クライアント:ユーザー認証");
    EXPECT_EQ(text(IDC_NAME), "NONE");
    EXPECT_EQ(window().GetDefID(), IDC_CONNECT);
}

TEST_F(SignIn, AuthenticationRefusalsMoveTheFocusAndSendFreshRuns) {
    TempDir::write("EntryData.txt", "taro\r\npw\r\n");
    openWindow();
    TestSeam::expect([](ModalWindow& dialog) {
        EXPECT_EQ(dialog.controlText(IDC_JUDGE_ID), "taro");
        EXPECT_EQ(dialog.controlText(IDC_JUDGE_PASSWORD), "");
        EXPECT_EQ(dialog.focusId(), IDC_JUDGE_ID);
        dialog.setControlText(IDC_JUDGE_ID, "");
        dialog.press(IDC_JUDGE_AUTHENTICATE);
        EXPECT_EQ(dialog.focusId(), IDC_JUDGE_ID);
        dialog.setControlText(IDC_JUDGE_ID, "taro");
        dialog.press(IDC_JUDGE_AUTHENTICATE);
        EXPECT_EQ(dialog.focusId(), IDC_JUDGE_PASSWORD);
        typeAndPress(dialog, IDC_JUDGE_ID, "taro", IDC_JUDGE_PASSWORD, "bad", IDC_JUDGE_AUTHENTICATE);
        EXPECT_EQ(dialog.focusId(), IDC_JUDGE_ID);
        dialog.press(IDC_JUDGE_AUTHENTICATE);
        EXPECT_EQ(dialog.focusId(), IDC_JUDGE_PASSWORD);
        typeAndPress(dialog, IDC_JUDGE_ID, "taro", IDC_JUDGE_PASSWORD, "good", IDC_JUDGE_AUTHENTICATE);
    });
    expectBox("ユーザーIDを入力して下さい。", "Vesmira");
    expectBox("Passwordを入力して下さい。", "Vesmira");
    expectAppBox("IDが無効です。");
    expectAppBox("パスワードが無効です。");
    connect([](PeerConnection& peer) {
        peer.send("Hello");
        EXPECT_EQ(peer.read(6), kJudge);
        peer.send("ok");
        EXPECT_EQ(peer.read(9), "USER:taro");
        peer.send("no");
        EXPECT_EQ(peer.read(6), kJudge);
        peer.send("ok");
        EXPECT_EQ(peer.read(9), "USER:taro");
        peer.send("ok");
        EXPECT_EQ(peer.read(12), "PASSWORD:bad");
        peer.send("");
        peer.send(std::string(1, '\0'));
        EXPECT_EQ(peer.read(6), kJudge);
        peer.send("ok");
        EXPECT_EQ(peer.read(9), "USER:taro");
        peer.send("ok");
        EXPECT_EQ(peer.read(13), "PASSWORD:good");
        peer.send("ok");
        peer.waitForEnd();
    });
    ASSERT_TRUE(pumpUntil([this] { return window().signedIn() == 1; }));
    EXPECT_EQ(text(IDC_NAME), "taro");
    EXPECT_EQ(title(), "クライアント:通信中");
}

TEST_F(SignIn, OverlongFieldsAreRefusedBeforeAnythingIsSent) {
    openWindow();
    TestSeam::expect([](ModalWindow& dialog) {
        typeAndPress(dialog, IDC_ENTRY_ID, std::string(45, 'i'), IDC_ENTRY_PASSWORD, "p", IDC_ENTRY_REGISTER);
        EXPECT_EQ(dialog.focusId(), IDC_ENTRY_ID);
        typeAndPress(dialog, IDC_ENTRY_ID, std::string(44, 'i'), IDC_ENTRY_PASSWORD, std::string(41, 'p'),
                     IDC_ENTRY_REGISTER);
        EXPECT_EQ(dialog.focusId(), IDC_ENTRY_PASSWORD);
        dialog.close();
    });
    expectBox("ユーザーIDは半角44字以下でお願いします。", "申し訳ありませんが…");
    expectBox("パスワードは半角40字以下でお願いします。", "申し訳ありませんが…");
    expectBox("ユーザー登録は\r\nキャンセルされました。", "ユーザー未登録");
    std::string sent = "unset";
    connect([&](PeerConnection& peer) {
        peer.send("Hello");
        sent = peer.readAvailable(std::chrono::seconds(1));
        peer.waitForEnd();
    });
    ASSERT_TRUE(pumpUntil([] { return TestSeam::pendingAnswers() == 0; }));
    closeWindow();
    EXPECT_EQ(sent, "");
}

TEST_F(SignIn, AFailedCredentialsWriteKeepsTheDialogOpenAsCancelled) {
    const std::string line = "hanako" + sjis("：早いね"); // relayed as soon as the server accepted
    // Then Cancel: the server counts the user as signed in, so the connection is closed. Or Register again: only
    // the store is tried again, nothing is sent, and the line is shown once signed in.
    for (bool pressAgain : {false, true}) {
        SCOPED_TRACE(pressAgain ? "pressed again" : "cancelled");
        TempDir folder;
        openWindow();
        std::atomic<bool> relayed{false};
        TestSeam::expect([&](ModalWindow& dialog) {
            AtomicTextWriter::failAfterBytesForTesting(3);
            typeAndPress(dialog, IDC_ENTRY_ID, "user", IDC_ENTRY_PASSWORD, "pass", IDC_ENTRY_REGISTER);
            AtomicTextWriter::failAfterBytesForTesting(-1);
            EXPECT_TRUE(dialog.isOpen());
            ASSERT_TRUE(pumpUntil([&] { return relayed.load(); }));
            pumpFor(std::chrono::milliseconds(100)); // its notification comes inside the dialog
            dialog.setControlText(IDC_ENTRY_ID, "other");
            dialog.press(pressAgain ? IDC_ENTRY_REGISTER : IDC_ENTRY_CANCEL);
        });
        expectBox("ファイル 'EntryData.txt' が開けませんでした。\n", "エラー");
        if (!pressAgain) {
            expectBox("ユーザー登録は\r\nキャンセルされました。", "ユーザー未登録");
        }
        std::string afterAccept = "unset";
        connect([&](PeerConnection& peer) {
            peer.send("Hello");
            for (int step = 0; step < 3; ++step) {
                EXPECT_TRUE(peer.read(step == 0 ? 6 : 4).has_value());
                peer.send("ok");
            }
            peer.send(chatRecord(line));
            relayed = true;
            afterAccept = peer.readAvailable(std::chrono::seconds(5));
        });
        ASSERT_TRUE(pumpUntil([] { return TestSeam::pendingAnswers() == 0; }));
        const std::string shown = pressAgain ? line + "\r\n" : "";
        EXPECT_TRUE(pumpUntil([&] { return window().transcript().bytes() == shown; }));
        EXPECT_EQ(TempDir::exists("EntryData.txt") ? TempDir::read("EntryData.txt") : "",
                  pressAgain ? "user\r\npass\r\n" : "");
        EXPECT_EQ(window().signedIn(), pressAgain ? 1 : 0);
        EXPECT_EQ(window().connection() != nullptr, pressAgain);
        closeWindow();
        EXPECT_EQ(afterAccept, "");
    }
}

TEST_F(SignIn, GreetingsDuringASignInOpenNoOtherDialog) {
    const std::string greeting = chatRecord("Hello");
    openWindow();
    std::atomic<bool> flooded{false};
    int dialogs = 0;
    TestSeam::expect([&](ModalWindow& dialog) {
        ++dialogs;
        ASSERT_TRUE(pumpUntil([&] { return flooded.load(); }));
        pumpFor(std::chrono::milliseconds(200)); // the flood's notifications come inside this dialog
        dialog.close();
    });
    expectBox("ユーザー登録は\r\nキャンセルされました。", "ユーザー未登録");
    // A server that greets again during a sign-in makes no sense: the connection ends as if it had closed it.
    expectBox("サーバーにより切断されました。", "通信エラー");
    connect([&](PeerConnection& peer) {
        peer.send(greeting);
        std::string flood;
        for (int i = 0; i < 300; ++i) {
            flood += greeting;
        }
        peer.send(flood);
        flooded = true;
        peer.waitForEnd();
    });
    ASSERT_TRUE(pumpUntil([] { return TestSeam::pendingAnswers() == 0; }));
    EXPECT_EQ(dialogs, 1);
    EXPECT_EQ(title(), "クライアント:切断");
    TestSeam::expect([](ModalWindow& box) { box.press(IDYES); });
    press(IDC_EXIT);
    EXPECT_TRUE(AfxGetApp()->quitRequested());
}

TEST_F(SignIn, ServerCloseWhileTheDialogIsOpen) {
    openWindow();
    std::atomic<bool> closeNow{false};
    TestSeam::expect([&](ModalWindow& dialog) {
        closeNow = true;
        // The close notification runs inside the dialog's loop and lets go of the connection.
        ASSERT_TRUE(pumpUntil([this] { return window().connection() == nullptr; }));
        typeAndPress(dialog, IDC_ENTRY_ID, "user", IDC_ENTRY_PASSWORD, "pass", IDC_ENTRY_REGISTER);
        EXPECT_TRUE(dialog.isOpen());
        dialog.press(IDC_ENTRY_CANCEL);
    });
    expectBox("サーバーにより切断されました。", "通信エラー");
    expectBox("サーバーに接続していません。", "接続エラー");
    expectBox("ユーザー登録は\r\nキャンセルされました。", "ユーザー未登録");
    connect([&](PeerConnection& peer) {
        peer.send("Hello");
        waitForFlag(closeNow);
        peer.close();
    });
    ASSERT_TRUE(pumpUntil([] { return TestSeam::pendingAnswers() == 0; }));
    EXPECT_EQ(title(), "クライアント:切断");
    EXPECT_FALSE(TempDir::exists("EntryData.txt"));

    // A registration opened after the close starts with the user name of that moment.
    TestSeam::expect([](ModalWindow& dialog) {
        EXPECT_EQ(dialog.controlText(IDC_ENTRY_ID), "");
        EXPECT_EQ(dialog.controlText(IDC_ENTRY_PASSWORD), "");
        dialog.press(IDC_ENTRY_CANCEL);
    });
    expectBox("ユーザー登録は\r\nキャンセルされました。", "ユーザー未登録");
    connect([](PeerConnection& peer) {
        peer.send("Hello");
        peer.waitForEnd();
    });
    ASSERT_TRUE(pumpUntil([] { return TestSeam::pendingAnswers() == 0; }));
}

TEST_F(SignIn, ChatLinesAreAppendedOnePerRecord) {
    std::atomic<int> stage{0};
    const std::string first = chatRecord("taro" + sjis("：") + sjis("こんにちは"));
    // Each send waits until the client has taken the one before, so every send is one read.
    const std::string sends[] = {first.substr(0, 8), first.substr(8), chatRecord("b") + chatRecord("c"),
                                 std::string(500, 'x'), chatRecord("Hello")};
    signIn("taro", [&](PeerConnection& peer) {
        for (int i = 0; i < 5; ++i) {
            peer.send(sends[i]);
            while (stage.load() == i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        peer.waitForEnd();
    });
    const std::string lines[] = {
        "",                                     // the first read ends inside the record
        "taro" + sjis("：こんにちは") + "\r\n", // the rest of it completes the line
        "b\r\nc\r\n",                           // two records in one read
        std::string(500, 'x') + "\r\n",         // no NUL: all 500 bytes
        "Hello\r\n",                            // signed in, the greeting is a chat line
    };
    std::string expected;
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        expected += lines[i];
        ASSERT_TRUE(pumpUntil([&] { return window().transcript().bytes() == expected; }))
            << CString(window().transcript().bytes()).toUtf8();
        EXPECT_EQ(CString::fromUtf8(text(IDC_RECEIVED)).bytes(), expected);
        stage = i + 1;
    }
}
