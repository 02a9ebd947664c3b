#include "ClientFixture.h"

#include <sys/ioctl.h>
#include <vector>

// What the server relays after sign-in, cut and merged the ways TCP cuts and merges it, through the real receive
// handler: every record is one line, nothing lost, nothing doubled, no empty line the server did not send.
using Receive = ClientFixture;

namespace {

struct Relay {
    const char* name;
    std::vector<std::string> reads; // each waits until the client has read the one before
    std::vector<std::string> lines;
};

std::string textOf(const std::string& record) {
    return record.substr(0, record.find('\0'));
}

// Waits until everything sent has left the client's socket buffer, so that the next send is a read of its own.
void waitUntilRead(int peerFd, int clientFd) {
    for (int i = 0; i < 20000; ++i) {
        int unacknowledged = 0;
        int unread = 0;
        ::ioctl(peerFd, TIOCOUTQ, &unacknowledged);
        ::ioctl(clientFd, FIONREAD, &unread);
        if (unacknowledged == 0 && unread == 0) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

std::vector<std::string> splitLines(const std::string& transcript) {
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = transcript.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(transcript.substr(start, end - start));
    }
    return lines;
}

} // namespace

TEST_F(Receive, EveryRelayedRecordIsOneLineHoweverTheReadsCutIt) {
    const std::string a = chatRecord("taro" + sjis("：こんにちは"));
    const std::string b = chatRecord(sjis("はなこ：") + std::string(480, 'b'));
    const std::string c = chatRecord(std::string(499, 'c'));  // its NUL is the record's last byte
    const std::string noNul(500, 'x');                        // taken whole
    const std::string leave = sjis("じろう：退室しました。"); // a short message, written by itself
    std::vector<Relay> table = {
        {"merged", {a + b + c + noNul}, {textOf(a), textOf(b), textOf(c), noNul}},
        {"over three reads", {b.substr(0, 100), b.substr(100, 250), b.substr(350)}, {textOf(b)}},
        {"zero fill alone", {a.substr(0, textOf(a).size() + 1), a.substr(textOf(a).size() + 1)}, {textOf(a)}},
        {"short message glued before a record", {leave + a}, {leave, textOf(a)}},
        {"short message glued after a record", {b + leave, c}, {textOf(b), leave, textOf(c)}},
        {"greeting while signed in", {chatRecord("Hello")}, {"Hello"}},
    };
    for (std::size_t cut = 1; cut < 500; ++cut) {
        table.push_back({"cut at every offset", {a + b.substr(0, cut), b.substr(cut)}, {textOf(a), textOf(b)}});
    }
    Relay segments{"1,448-byte segments", {}, {}};
    std::string stream;
    for (int i = 0; i < 60; ++i) {
        std::string record = i % 3 == 2 ? c : chatRecord("line " + std::to_string(i) + std::string(i * 7, '.'));
        stream += record;
        segments.lines.push_back(textOf(record));
    }
    for (std::size_t at = 0; at < stream.size(); at += 1448) {
        segments.reads.push_back(stream.substr(at, 1448));
    }
    table.push_back(segments);
    table.push_back({"short message in its own read, then quiet", {leave}, {leave}});

    std::atomic<int> clientFd{-1};
    signIn("taro", [&](PeerConnection& peer) {
        while (clientFd.load() < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (const Relay& relay : table) {
            for (const std::string& read : relay.reads) {
                peer.send(read);
                waitUntilRead(peer.handle(), clientFd.load());
            }
        }
        peer.waitForEnd(std::chrono::seconds(60));
    });
    clientFd = window().connection()->handle();

    std::vector<std::string> expected;
    std::vector<const char*> rowOfLine;
    for (const Relay& relay : table) {
        expected.insert(expected.end(), relay.lines.begin(), relay.lines.end());
        rowOfLine.insert(rowOfLine.end(), relay.lines.size(), relay.name);
    }
    pumpUntil([&] { return splitLines(window().transcript().bytes()).size() >= expected.size(); },
              std::chrono::seconds(60));
    pumpFor(std::chrono::milliseconds(700)); // past the quiet time: nothing more may come
    std::vector<std::string> shown = splitLines(window().transcript().bytes());
    for (std::size_t i = 0; i < std::min(shown.size(), expected.size()); ++i) {
        ASSERT_EQ(shown[i], expected[i]) << "line " << i << " of \"" << rowOfLine[i] << "\"";
    }
    EXPECT_EQ(shown.size(), expected.size());
    EXPECT_EQ(CString::fromUtf8(text(IDC_RECEIVED)), CString(window().transcript().bytes()));
}

TEST_F(Receive, TextHeldWhenTheServerClosesIsTheLastLine) {
    const std::string leave = sjis("じろう：退室しました。");
    std::atomic<bool> signedIn{false};
    signIn("taro", [&](PeerConnection& peer) {
        waitForFlag(signedIn);
        peer.send(leave);
        peer.close(); // the end of the stream, not a quiet time, tells that nothing more belongs to it
    });
    expectBox("サーバーにより切断されました。", "通信エラー");
    signedIn = true;
    ASSERT_TRUE(pumpUntil([this] { return window().connection() == nullptr; }));
    EXPECT_EQ(window().transcript().bytes(), leave + "\r\n");
}

TEST_F(Receive, TheLastOkOfASignInMayCarryTheFirstLine) {
    const std::string record = chatRecord("hanako" + sjis("：はじめまして"));
    struct Case {
        bool registration;
        int gluedStep; // the step whose "ok" arrives with a relayed record in the same write
    };
    for (Case run : {Case{true, 3}, Case{false, 3}, Case{true, 2}, Case{false, 2}}) {
        SCOPED_TRACE(std::string(run.registration ? "registration" : "authentication") + ", step " +
                     std::to_string(run.gluedStep));
        TempDir folder;
        if (!run.registration) {
            TempDir::write("EntryData.txt", "hanako\r\npassword\r\n");
        }
        openWindow();
        TestSeam::expect([run](ModalWindow& dialog) {
            if (run.registration) {
                dialog.setControlText(IDC_ENTRY_ID, "hanako");
                dialog.setControlText(IDC_ENTRY_PASSWORD, "pw");
                dialog.press(IDC_ENTRY_REGISTER);
            } else {
                dialog.setControlText(IDC_JUDGE_PASSWORD, "pw");
                dialog.press(IDC_JUDGE_AUTHENTICATE);
            }
            if (dialog.isOpen()) {
                dialog.press(run.registration ? int(IDC_ENTRY_CANCEL) : int(IDC_JUDGE_CANCEL));
            }
        });
        if (run.gluedStep == 2) {
            // Before the last step, "ok" with more after it is still a refusal.
            expectBox(run.registration ? "IDが登録されませんでした" : "IDが無効です。", "Vesmira");
            expectBox(run.registration ? "ユーザー登録は\r\nキャンセルされました。"
                                       : "ユーザー認証は\r\nキャンセルされました。",
                      "ユーザー未登録");
        }
        const std::vector<std::string> steps =
            run.registration ? std::vector<std::string>{std::string("ENTRY\0", 6), "hanako", "pw"}
                             : std::vector<std::string>{std::string("JUDGE\0", 6), "USER:hanako", "PASSWORD:pw"};
        connect([&](PeerConnection& peer) {
            peer.send("Hello");
            for (int step = 1; step <= run.gluedStep; ++step) {
                EXPECT_EQ(peer.read(steps[step - 1].size()), steps[step - 1]);
                peer.send(step == run.gluedStep ? "ok" + record : "ok");
            }
            peer.waitForEnd();
        });
        if (run.gluedStep == 3) {
            ASSERT_TRUE(pumpUntil([this] { return !window().transcript().IsEmpty(); }));
            EXPECT_EQ(window().signedIn(), 1);
            EXPECT_EQ(window().transcript().bytes(), textOf(record) + "\r\n");
        } else {
            ASSERT_TRUE(pumpUntil([] { return TestSeam::pendingAnswers() == 0; }));
            EXPECT_EQ(window().signedIn(), 0);
        }
        closeWindow();
    }
}

TEST_F(Receive, WhatWasReadIsKeptAsShownUpToItsFirstNulWithBreaksMarkedThroughDisconnect) {
    const std::string mark = sjis("　");
    const std::string mallory = "mallory" + sjis("：");
    const std::string hanako = "hanako" + sjis("：");
    const std::string leave = sjis("じろう：退室しました。");
    const struct {
        std::string relayed;
        std::string stored;
    } rows[] = {
        {chatRecord(mallory + "hi" + std::string(1, '\0') + hanako + "I resign"), mallory + "hi\r\n"},
        {chatRecord(mallory + "a\r\n" + hanako + "I resign"), mallory + "a\r\n" + mark + hanako + "I resign\r\n"},
        {chatRecord("L1\nL2\rL3\r\r\n"), "L1\r\n" + mark + "L2\r\n" + mark + "L3\r\n" + mark + "\r\n" + mark + "\r\n"},
        {std::string(500, '\0'), ""},
        {chatRecord(hanako + "real"), hanako + "real\r\n"},
        {leave, leave + "\r\n"},
    };
    std::string stream;
    std::string expected;
    for (const auto& row : rows) {
        stream += row.relayed;
        expected += row.stored;
    }
    signIn("taro", [&](PeerConnection& peer) {
        peer.send(stream);
        peer.waitForEnd();
    });
    // Everything is read at once; the leave notice waits for 0.5 s of quiet, and Disconnect comes before.
    const std::string shown = expected.substr(0, expected.size() - leave.size() - 2);
    ASSERT_TRUE(pumpUntil([&] { return CString::fromUtf8(text(IDC_RECEIVED)).bytes() == shown; }));
    pumpFor(std::chrono::milliseconds(150));
    press(IDC_DISCONNECT);
    EXPECT_EQ(window().transcript().bytes(), expected);
    TestSeam::expect([this](ModalWindow& dialog) { dialog.chooseFile(m_dir.file("log.txt")); });
    expectBox("保存しました。\n", "log.txt");
    press(IDC_SAVE);
    EXPECT_EQ(TempDir::read(m_dir.file("log.txt")), expected);
}
