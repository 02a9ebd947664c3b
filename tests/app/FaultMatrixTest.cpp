#include "ClientFixture.h"
#include "platform/CAsyncSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <random>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

// The server misbehaving at every point of a session: closing (orderly or with a reset), never answering, sending
// noise, dripping bytes. Whatever happens, the client must not crash, hang past its bounded waits or use a freed
// connection (the sanitizer build runs these too), must end in the state the window shows, and must write
// EntryData.txt only when a registration succeeded.
namespace {

const std::string kEntry("ENTRY\0", 6);

std::string noise(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator() & 0xFF);
    }
    return bytes;
}

class FaultMatrix : public ClientFixture {
protected:
    void TearDown() override {
        CSocket::setWaitLimits(20000, 30000);
        ClientFixture::TearDown();
    }

    // A user who answers every box with OK and, in a sign-in dialog, tries to register once and then cancels.
    void answerLikeAUser(int windows) {
        for (int i = 0; i < windows; ++i) {
            TestSeam::expect([this](ModalWindow& window) {
                if (window.kind() == ModalWindow::Kind::MessageBox) {
                    m_boxes.insert(window.text());
                    window.press(IDOK);
                    return;
                }
                ++m_dialogs;
                m_dialogOpen = true;
                window.setControlText(IDC_ENTRY_ID, "user");
                window.setControlText(IDC_ENTRY_PASSWORD, "pass");
                window.press(IDC_ENTRY_REGISTER);
                if (window.isOpen()) {
                    window.press(IDC_ENTRY_CANCEL);
                }
            });
        }
    }

    void expectClosedByServer() {
        ASSERT_TRUE(pumpUntil([this] { return window().connection() == nullptr; }));
        pumpFor(std::chrono::milliseconds(30));
        EXPECT_EQ(title(), "クライアント:切断");
        EXPECT_EQ(window().signedIn(), 0);
        EXPECT_EQ(m_boxes.count("サーバーにより切断されました。"), 1u);
        TestSeam::clear();
    }

    std::set<std::string> m_boxes;
    int m_dialogs = 0;
    std::atomic<bool> m_dialogOpen{false};
};

void end(PeerConnection& peer, bool reset) {
    reset ? peer.reset() : peer.close();
}

} // namespace

TEST_F(FaultMatrix, ServerClosesAtEachPointOfARegistration) {
    // How many replies the server gives before it closes: -1 = before "Hello", 0 = right after it, 1..3 after each
    // "ok".
    for (bool reset : {false, true}) {
        for (int replies = -1; replies <= 3; ++replies) {
            SCOPED_TRACE((reset ? "reset after " : "close after ") + std::to_string(replies) + " replies");
            TempDir folder;
            openWindow();
            answerLikeAUser(6);
            // A reset before the client has seen its connect complete would fail the connect instead.
            std::atomic<bool> connected{false};
            connect([&, replies, reset](PeerConnection& peer) {
                if (replies < 0) {
                    waitForFlag(connected);
                }
                if (replies >= 0) {
                    peer.send("Hello");
                    // A reset can discard what the client has not read yet: close only once "Hello" was taken.
                    waitForFlag(m_dialogOpen);
                }
                for (int step = 0; step < replies; ++step) {
                    peer.read(step == 0 ? 6 : 4);
                    peer.send("ok");
                }
                if (replies >= 0) {
                    peer.readAvailable(std::chrono::milliseconds(50));
                }
                end(peer, reset);
            });
            connected = true;
            expectClosedByServer();
            // Only a registration the server accepted in full is stored.
            EXPECT_EQ(TempDir::exists("EntryData.txt"), replies == 3);
            EXPECT_EQ(m_dialogs, replies >= 0 ? 1 : 0);
            closeWindow();
            m_boxes.clear();
            m_dialogs = 0;
            m_dialogOpen = false;
        }
    }
}

TEST_F(FaultMatrix, ServerClosesWhileTheCancelledBoxIsOpen) {
    openWindow();
    std::atomic<bool> closeNow{false};
    TestSeam::expect([](ModalWindow& dialog) { dialog.press(IDC_ENTRY_CANCEL); });
    TestSeam::expect([&](ModalWindow& box) {
        EXPECT_EQ(box.text(), "ユーザー登録は\r\nキャンセルされました。");
        closeNow = true;
        // The close notification runs inside this box; the connection object outlives it until the handler ends.
        ASSERT_TRUE(pumpUntil([this] { return window().connection() == nullptr; }));
        box.press(IDOK);
    });
    expectBox("サーバーにより切断されました。", "通信エラー");
    connect([&](PeerConnection& peer) {
        peer.send("Hello");
        waitForFlag(closeNow);
        peer.reset();
    });
    ASSERT_TRUE(pumpUntil([] { return TestSeam::pendingAnswers() == 0; }));
    pumpFor(std::chrono::milliseconds(30));
    EXPECT_EQ(title(), "クライアント:切断");
}

TEST_F(FaultMatrix, ServerClosesMidChatAndMidRecord) {
    for (bool midRecord : {false, true}) {
        SCOPED_TRACE(midRecord ? "mid-record" : "mid-chat");
        TempDir folder;
        std::atomic<bool> closeNow{false};
        signIn("taro", [&](PeerConnection& peer) {
            peer.send(chatRecord("first"));
            peer.send(midRecord ? chatRecord("second").substr(0, 250) : chatRecord("second"));
            waitForFlag(closeNow);
            peer.reset();
        });
        answerLikeAUser(2);
        ASSERT_TRUE(pumpUntil([this] { return window().transcript().GetLength() >= 7; }));
        closeNow = true;
        expectClosedByServer();
        EXPECT_EQ(window().transcript().bytes().substr(0, 7), "first\r\n");
        // Still shows the last user and the lines; Send now says it is not connected.
        EXPECT_EQ(text(IDC_NAME), "taro");
        EXPECT_EQ(window().GetDefID(), IDC_SEND);
        closeWindow();
        m_boxes.clear();
    }
}

TEST_F(FaultMatrix, AServerThatNeverAnswersTimesOutAndTheDialogStaysUsable) {
    CSocket::setWaitLimits(2000, 300);
    openWindow();
    int presses = 0;
    TestSeam::expect([&](ModalWindow& dialog) {
        dialog.setControlText(IDC_ENTRY_ID, "user");
        dialog.setControlText(IDC_ENTRY_PASSWORD, "pass");
        dialog.press(IDC_ENTRY_REGISTER);
        ++presses;
        EXPECT_TRUE(dialog.isOpen());
        // The time-out closed the connection: a late "ok" cannot sign in a user the client gave up on.
        dialog.press(IDC_ENTRY_REGISTER);
        ++presses;
        dialog.press(IDC_ENTRY_CANCEL);
    });
    expectBox("サーバーに接続していません。", "接続エラー");
    expectBox("ユーザー登録は\r\nキャンセルされました。", "ユーザー未登録");
    std::string afterTimeOut = "unset";
    connect([&](PeerConnection& peer) {
        peer.send("Hello");
        // Reads the command word and never answers; the next thing it sees is the end of the stream.
        EXPECT_EQ(peer.read(6), kEntry);
        afterTimeOut = peer.readAvailable(std::chrono::seconds(5));
    });
    ASSERT_TRUE(pumpUntil([] { return TestSeam::pendingAnswers() == 0; }, std::chrono::seconds(10)));
    EXPECT_EQ(presses, 2);
    EXPECT_EQ(title(), "クライアント:切断");
    EXPECT_EQ(window().connection(), nullptr);
    EXPECT_FALSE(TempDir::exists("EntryData.txt"));
    closeWindow();
    EXPECT_EQ(afterTimeOut, "");
}

TEST_F(FaultMatrix, AServerThatNeverCompletesTheConnectionTimesOut) {
    CSocket::setWaitLimits(300, 300);
    openWindow();
    // A loopback listener whose accept queue is full drops further handshakes, so the connect never completes.
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(filler);
    }
    pumpFor(std::chrono::milliseconds(50));
    setText(IDC_ADDRESS, "127.0.0.1");
    setText(IDC_PORT, std::to_string(ntohs(address.sin_port)));
    std::string shown;
    TestSeam::expect([&](ModalWindow& box) {
        shown = box.text();
        box.press(IDOK);
    });
    press(IDC_CONNECT);
    EXPECT_EQ(shown, CString(FormatSystemMessage(ETIMEDOUT)).toUtf8());
    EXPECT_EQ(title(), "クライアント:接続失敗");
    for (int filler : fillers) {
        ::close(filler);
    }
    ::close(listener);
}

TEST_F(FaultMatrix, NoiseBeforeAndAfterSignInIsDroppedOrShown) {
    std::atomic<bool> sendHello{false};
    TempDir::write("EntryData.txt", "taro\r\npw\r\n");
    openWindow();
    // A megabyte of noise before the greeting: dropped, no dialog (the chance that a read is exactly "Hello" is
    // nil for this seed).
    connect([&](PeerConnection& peer) {
        peer.send(noise(1 << 20, 7));
        waitForFlag(sendHello, std::chrono::seconds(30));
        peer.send("Hello");
        peer.read(6);
        peer.send("ok");
        peer.read(9);
        peer.send("ok");
        peer.read(11);
        peer.send("ok");
        peer.readAvailable(std::chrono::milliseconds(100));
        peer.send(noise(1 << 20, 8));
        peer.waitForEnd(std::chrono::seconds(30));
    });
    pumpFor(std::chrono::milliseconds(1500));
    EXPECT_EQ(window().signedIn(), 0);
    EXPECT_EQ(TestSeam::answeredCount(), 0);
    TestSeam::expect([](ModalWindow& dialog) {
        dialog.setControlText(IDC_JUDGE_PASSWORD, "pw");
        dialog.press(IDC_JUDGE_AUTHENTICATE);
    });
    sendHello = true;
    ASSERT_TRUE(pumpUntil([this] { return window().signedIn() == 1; }, std::chrono::seconds(30)));
    // After sign-in every read is a line: at least one line per 500 bytes of noise.
    ASSERT_TRUE(pumpUntil([this] { return window().transcript().GetLength() > 0; }));
    pumpFor(std::chrono::milliseconds(500));
    EXPECT_GE(CString(window().transcript().bytes()).Replace("\r\n", "\r\n"), 1);
}

TEST_F(FaultMatrix, ARecordDrippedOneByteAtATimeIsOneLine) {
    std::atomic<bool> start{false};
    signIn("taro", [&](PeerConnection& peer) {
        waitForFlag(start);
        int noDelay = 1; // every byte its own segment
        ::setsockopt(peer.handle(), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        std::string bytes = chatRecord("abc");
        for (std::size_t i = 0; i < 20; ++i) {
            peer.send(bytes.substr(i, 1));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        peer.waitForEnd();
    });
    start = true;
    ASSERT_TRUE(pumpUntil([this] {
        CString joined(window().transcript().bytes());
        joined.Replace("\r\n", "");
        return joined.view() == "abc";
    }));
    // The rest of its fill never came; the line is shown once the stream is quiet, and only once.
    pumpFor(std::chrono::milliseconds(600));
    EXPECT_EQ(window().transcript().bytes(), "abc\r\n");
}
