#include "ClientFixture.h"

#include <QPlainTextEdit>

#include <string>
#include <tuple>

using SessionCommands = ClientFixture;

namespace {

const std::string kColon = "\x81\x46";
const std::string kLeave = "\x81\x46\x91\xDE\x8E\xBA\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42";

} // namespace

TEST_F(SessionCommands, SendWritesOneZeroFilledRecordPerLine) {
    struct Case {
        const char* name;
        std::string typed; // CP932 as typed
        std::string line;  // what the record holds before its NUL
    };
    const std::string text479(479, 'x');
    const Case cases[] = {
        {"short line", sjis("こんにちは"), "taro" + kColon + sjis("こんにちは")},
        {"479 bytes", text479, "taro" + kColon + text479},
        {"line breaks stay CR LF", "a\r\nb", "taro" + kColon + "a\r\nb"},
        {"empty line", "", "taro" + kColon},
    };
    std::atomic<int> received{0};
    signIn("taro", [&](PeerConnection& peer) {
        for (const Case& c : cases) {
            EXPECT_EQ(peer.read(500), chatRecord(c.line)) << c.name;
            ++received;
        }
        // Held open until the client closes, so the close cannot race the last check.
        peer.waitForEnd();
    });
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int before = received;
        setBytes(IDC_SEND_TEXT, c.typed);
        press(IDC_SEND);
        EXPECT_EQ(text(IDC_SEND_TEXT), "");
        EXPECT_EQ(focusId(), IDC_SEND_TEXT);
        ASSERT_TRUE(pumpUntil([&] { return received == before + 1; }));
    }
}

TEST_F(SessionCommands, SendRefusesLongLinesAndNamesAndKeepsTheLine) {
    signIn("taro", [](PeerConnection& peer) { EXPECT_EQ(peer.readAvailable(std::chrono::milliseconds(300)), ""); });
    setBytes(IDC_SEND_TEXT, std::string(480, 'y'));
    expectBox("文章は全角220字以下でお願いします。", "申し訳ありませんが…");
    press(IDC_SEND);
    EXPECT_EQ(text(IDC_SEND_TEXT), std::string(480, 'y'));

    setBytes(IDC_SEND_TEXT, "hi");
    setText(IDC_NAME, "あいうえおかきくけこさしすせそ"); // 15 full-width characters: 30 bytes
    expectBox("名前は全角15字以下でお願いします。", "申し訳ありませんが…");
    press(IDC_SEND);
    EXPECT_EQ(text(IDC_SEND_TEXT), "hi");
}

TEST_F(SessionCommands, AConvertedLineTooLongForOneRecordIsRefused) {
    signIn("taro", [](PeerConnection& peer) { EXPECT_EQ(peer.readAvailable(std::chrono::milliseconds(300)), ""); });
    press(IDC_STYLE_DEARIMASU);
    // 119 times "です" is 476 bytes typed; as "であります" it is 1190 bytes.
    std::string typed;
    for (int i = 0; i < 119; ++i) {
        typed += sjis("です");
    }
    setBytes(IDC_SEND_TEXT, typed);
    expectBox("変換後の文章が長すぎるため送信できません。", "申し訳ありませんが…");
    press(IDC_SEND);
    EXPECT_EQ(CString(window().GetDlgItemText(IDC_SEND_TEXT)).bytes(), typed);
}

TEST_F(SessionCommands, CharactersCp932CannotHoldAreNamedAndNeitherSentNorStored) {
    const std::tuple<int, QString, std::string> cases[] = {
        {IDC_STYLE_NONE, QStringLiteral("絵文字😀です😀€"), "😀 €"}, // each run once, in order
        {IDC_STYLE_JAYO, QStringLiteral("😀です"), "😀"},
        {IDC_STYLE_USER, QStringLiteral("w"), "\xEF\xBF\xBD"}, // the rule below puts in a byte CP932 lacks
    };
    TempDir::write("omake.txt", "w\r\n\x80\r\n");
    std::atomic<bool> done{false};
    signIn("taro", [&](PeerConnection& peer) {
        waitForFlag(done);
        EXPECT_EQ(peer.readAvailable(std::chrono::milliseconds(100)), "");
    });
    auto* field = qobject_cast<QPlainTextEdit*>(window().GetDlgItem(IDC_SEND_TEXT)->widget());
    for (const auto& [style, typed, named] : cases) {
        press(style);
        field->setPlainText(typed);
        expectBox("この文字は送信できません: " + named, "申し訳ありませんが…");
        press(IDC_SEND);
        EXPECT_EQ(field->toPlainText(), typed);
    }
    done = true;
    TestSeam::expect([](ModalWindow& editor) {
        editor.setControlText(IDC_OMAKE_REPLACED, "www");
        editor.setControlText(IDC_OMAKE_REPLACEMENT, "😀");
        editor.press(IDC_OMAKE_REGISTER);
        editor.press(IDC_OMAKE_EXIT);
    });
    expectBox("この文字は登録できません: 😀", "入力エラー");
    press(IDC_EDIT_RULES);
    EXPECT_EQ(TempDir::read("omake.txt"), "w\r\n\x80\r\n");
}

TEST_F(SessionCommands, SendAndDisconnectWhenNotSignedInSayNotConnected) {
    TempDir::write("EntryData.txt", "taro\r\npw\r\n");
    openWindow();
    expectBox("サーバーに接続していません。", "接続エラー");
    press(IDC_SEND);
    EXPECT_EQ(focusId(), IDC_CONNECT);
    expectBox("サーバーに接続していません。", "接続エラー");
    press(IDC_DISCONNECT);
    EXPECT_EQ(title(), "Vesmira クライアントアプリケーション");
}

TEST_F(SessionCommands, ConnectWhileSignedInChangesNothing) {
    signIn("taro", [](PeerConnection& peer) { peer.waitForEnd(); });
    CClientSocket* before = window().connection();
    TempDir::write("EntryData.txt", "jiro\r\npw\r\n");
    expectBox("既に接続しています。", "接続エラー");
    press(IDC_CONNECT);
    EXPECT_EQ(window().connection(), before);
    EXPECT_EQ(title(), "クライアント:通信中");
    // The file is read again all the same.
    EXPECT_EQ(window().userName().toUtf8(), "jiro");
}

TEST_F(SessionCommands, ConnectAgainReleasesTheEarlierConnection) {
    TempDir::write("EntryData.txt", "taro\r\npw\r\n");
    openWindow();
    std::atomic<bool> sawEnd{false};
    connect([&](PeerConnection& peer) { sawEnd = peer.waitForEnd(); });
    ASSERT_EQ(title(), "クライアント:ユーザー認証");
    CClientSocket* first = window().connection();
    // The second attempt fails (port with no digits gives 0) and still replaces the first connection.
    setText(IDC_PORT, "abc");
    TestSeam::expect([](ModalWindow& box) {
        EXPECT_EQ(box.caption(), "クライアント");
        EXPECT_FALSE(box.text().empty());
        box.press(IDOK);
    });
    press(IDC_CONNECT);
    EXPECT_EQ(title(), "クライアント:接続失敗");
    EXPECT_NE(window().connection(), nullptr);
    EXPECT_NE(window().connection(), first);
    EXPECT_TRUE(m_peer.finish());
    EXPECT_TRUE(sawEnd);
}

TEST_F(SessionCommands, ConnectFailuresShowTheSystemText) {
    TempDir::write("EntryData.txt", "taro\r\npw\r\n");
    openWindow();
    struct Case {
        const char* host;
        const char* port;
    };
    // A closed port on the loopback, a name that does not resolve.
    for (Case c : {Case{"127.0.0.1", "1"}, Case{"no-such-host.invalid", "3000"}}) {
        SCOPED_TRACE(c.host);
        setText(IDC_ADDRESS, c.host);
        setText(IDC_PORT, c.port);
        std::string shown;
        TestSeam::expect([&](ModalWindow& box) {
            shown = box.text();
            EXPECT_EQ(box.caption(), "クライアント");
            box.press(IDOK);
        });
        press(IDC_CONNECT);
        EXPECT_FALSE(shown.empty());
        EXPECT_EQ(title(), "クライアント:接続失敗");
    }
}

TEST_F(SessionCommands, ExitSendsTheLeaveNoticeWithTheNameFieldText) {
    TempDir::write("EntryData.txt", "taro\r\npw\r\n");
    openWindow();
    std::string received;
    connect([&](PeerConnection& peer) { received = peer.readAvailable(std::chrono::seconds(2)); });
    TestSeam::expect([](ModalWindow& box) {
        EXPECT_EQ(box.text(), "チャットを終了しますか？");
        EXPECT_EQ(box.caption(), "プログラム終了");
        box.press(IDYES);
    });
    press(IDC_EXIT);
    EXPECT_TRUE(AfxGetApp()->quitRequested());
    closeWindow();
    // Connected but not signed in: "NONE" and the 16 bytes, 20 in all, no NUL.
    EXPECT_EQ(received, "NONE" + kLeave);
    EXPECT_EQ(received.size(), 20u);
}

TEST_F(SessionCommands, ExitAnsweredNoChangesNothing) {
    TempDir::write("EntryData.txt", "taro\r\npw\r\n");
    openWindow();
    TestSeam::expect([](ModalWindow& box) {
        // Only a button answers the question: Escape and the close box do nothing.
        box.key(VK_ESCAPE);
        box.close();
        EXPECT_TRUE(box.isOpen());
        box.press(IDNO);
    });
    press(IDC_EXIT);
    EXPECT_FALSE(AfxGetApp()->quitRequested());
}

TEST_F(SessionCommands, ExitAfterDisconnectSendsNothing) {
    std::string afterDisconnect = "unset";
    signIn("taro", [&](PeerConnection& peer) {
        // Disconnect shuts down sending: the server sees the end of the stream and nothing before it.
        afterDisconnect = peer.readAvailable(std::chrono::seconds(2));
    });
    setText(IDC_RECEIVED, "old text");
    press(IDC_DISCONNECT);
    EXPECT_EQ(title(), "クライアント:切断完了");
    EXPECT_EQ(window().connection(), nullptr);
    EXPECT_EQ(window().signedIn(), 0);
    EXPECT_EQ(text(IDC_RECEIVED), "");
    EXPECT_EQ(window().GetDefID(), IDC_SEND);
    TestSeam::expect([](ModalWindow& box) { box.press(IDYES); });
    press(IDC_EXIT);
    EXPECT_TRUE(AfxGetApp()->quitRequested());
    EXPECT_TRUE(m_peer.finish());
    EXPECT_EQ(afterDisconnect, "");
}

TEST_F(SessionCommands, SendConvertsTheTextByTheChosenStyleButNeverTheName) {
    TempDir::write("omake.txt", sjis("雨\r\n雪\r\n"));
    struct Case {
        int button;
        std::string typed;
        std::string sent; // after the name's colon
    };
    const Case cases[] = {
        {IDC_STYLE_JAYO, "雨ですね", "雨じゃね"},
        {IDC_STYLE_NIIGATA, "雨だから", "雨だっけ"},
        {IDC_STYLE_DEARIMASU, "雨です", "雨であります"},
        {IDC_STYLE_USER, "雨です", "雪です"},
        {IDC_STYLE_NONE, "雨です", "雨です"},
    };
    std::atomic<int> received{0};
    signIn(sjis("です"), [&](PeerConnection& peer) {
        for (const Case& c : cases) {
            EXPECT_EQ(peer.read(500), chatRecord(sjis("です：" + c.sent))) << c.typed;
            ++received;
        }
        peer.waitForEnd(); // a close now would race the test's last check
    });
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sent);
        int before = received;
        press(c.button);
        setText(IDC_SEND_TEXT, c.typed);
        press(IDC_SEND);
        ASSERT_TRUE(pumpUntil([&] { return received == before + 1; }));
    }
    EXPECT_EQ(window().speechStyle(), 1);
}

TEST_F(SessionCommands, UserStyleRereadsTheRuleFileOnEveryClick) {
    TempDir::write("EntryData.txt", "taro\r\npw\r\n");
    openWindow();
    expectBox("ファイルが開けませんでした。\n", "omake.txt");
    press(IDC_STYLE_USER);
    EXPECT_EQ(window().speechStyle(), 5);
    EXPECT_EQ(window().userRules().count, 0);
    TempDir::write("omake.txt", "a\r\nb\r\nc\r\n");
    press(IDC_STYLE_USER);
    ASSERT_EQ(window().userRules().count, 2);
    EXPECT_EQ(window().userRules().replacements[1].bytes(), "c");
}
