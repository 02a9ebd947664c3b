#include "ClientFixture.h"
#include "platform/base/TextFile.h"

#include <QAccessible>
#include <QPlainTextEdit>
#include <QTextCursor>

#include <filesystem>

using Save = ClientFixture;

namespace {

// Answers the save dialog with `path` and checks what it offers.
void chooseInSaveDialog(const std::string& path) {
    TestSeam::expect([path](ModalWindow& dialog) {
        ASSERT_EQ(dialog.kind(), ModalWindow::Kind::FileDialog);
        EXPECT_TRUE(dialog.isSaveDialog());
        EXPECT_EQ(dialog.offeredFileName(), "log.txt");
        EXPECT_EQ(dialog.fileFilters(), (std::vector<std::string>{"テキスト　 (*.txt)", " All Files (*.*)"}));
        dialog.chooseFile(path);
    });
}

} // namespace

TEST_F(Save, AnEmptyTranscriptGivesAnEmptyFileInAnyState) {
    TempDir::write("EntryData.txt", "taro\r\npw\r\n");
    openWindow();
    std::string path = m_dir.file("log.txt");
    TempDir::write(path, "old content");
    chooseInSaveDialog(path);
    TestSeam::expect([](ModalWindow& question) {
        // Replacing an existing file is asked first.
        EXPECT_EQ(question.kind(), ModalWindow::Kind::MessageBox);
        question.press(IDYES);
    });
    expectBox("保存しました。\n", "log.txt");
    press(IDC_SAVE);
    EXPECT_TRUE(TempDir::exists(path));
    EXPECT_EQ(TempDir::read(path), "");
}

TEST_F(Save, WritesTheTranscriptBytesWithCrLfAtTheChosenPathOnly) {
    const std::string invalid = "\x81\x20\xFF\x80\xA0"; // not CP932: shown marked, kept as they are
    signIn("taro", [&](PeerConnection& peer) {
        peer.send(chatRecord("taro" + sjis("：") + sjis("おはよう")));
        peer.readAvailable(std::chrono::milliseconds(100));
        peer.send(chatRecord(invalid));
        peer.waitForEnd();
    });
    std::string expected = "taro" + sjis("：") + sjis("おはよう") + "\r\n" + invalid + "\r\n";
    ASSERT_TRUE(pumpUntil([&] { return window().transcript().bytes() == expected; }));
    QAccessibleTextInterface* shown =
        QAccessible::queryAccessibleInterface(window().GetDlgItem(IDC_RECEIVED)->widget())->textInterface();
    EXPECT_TRUE(shown->text(0, shown->characterCount()).contains(QChar(0xFFFD))); // marked on screen only

    std::filesystem::create_directory("elsewhere");
    std::string path = m_dir.file("elsewhere/chat.txt");
    std::string before = std::filesystem::current_path().string();
    chooseInSaveDialog(path);
    expectBox("保存しました。\n", "chat.txt");
    press(IDC_SAVE);
    EXPECT_EQ(TempDir::read(path), expected);
    // The current folder stays, so the stored user is still found.
    EXPECT_EQ(std::filesystem::current_path().string(), before);
    EXPECT_EQ(window().ReadCredentials(), 2);
}

TEST_F(Save, WritesIntoTheFileALinkNamesAndKeepsItsMode) {
    TempDir::write("EntryData.txt", "taro\r\npw\r\n");
    openWindow();
    window().transcript() += CString("line\r\n");
    std::filesystem::create_directory("logs");
    TempDir::write("logs/chat.txt", "old");
    std::filesystem::permissions("logs/chat.txt", std::filesystem::perms(0640));
    std::filesystem::create_symlink("logs/chat.txt", "link.txt");
    chooseInSaveDialog(m_dir.file("link.txt"));
    TestSeam::expect([](ModalWindow& question) { question.press(IDYES); });
    expectBox("保存しました。\n", "link.txt");
    press(IDC_SAVE);
    EXPECT_TRUE(std::filesystem::is_symlink("link.txt"));
    EXPECT_EQ(TempDir::read("logs/chat.txt"), "line\r\n");
    EXPECT_EQ(std::filesystem::status("logs/chat.txt").permissions(), std::filesystem::perms(0640));
}

TEST_F(Save, FailuresAreReportedAndNeverAsSuccess) {
    TempDir::write("EntryData.txt", "taro\r\npw\r\n");
    openWindow();
    window().transcript() += CString("line\r\n");
    // A "folder" that is a file: nothing can be created in it.
    TempDir::write("plain", "x");
    chooseInSaveDialog(m_dir.file("plain/log.txt"));
    expectBox("ファイルが開けませんでした。\n", "log.txt");
    press(IDC_SAVE);

    // A disk that fills up half-way: the old file stays as it was.
    std::string path = m_dir.file("kept.txt");
    TempDir::write(path, "previous");
    chooseInSaveDialog(path);
    TestSeam::expect([](ModalWindow& question) { question.press(IDYES); });
    expectBox("ファイルに書き込めませんでした。\n", "kept.txt");
    AtomicTextWriter::failAfterBytesForTesting(2);
    press(IDC_SAVE);
    AtomicTextWriter::failAfterBytesForTesting(-1);
    EXPECT_EQ(TempDir::read(path), "previous");
}

TEST_F(Save, CancelWritesNothing) {
    TempDir::write("EntryData.txt", "taro\r\npw\r\n");
    openWindow();
    TestSeam::expect([](ModalWindow& dialog) { dialog.close(); });
    press(IDC_SAVE);
    EXPECT_FALSE(TempDir::exists("log.txt"));
}

TEST_F(Save, TheReceivedTextShowsTheTranscriptAfterTypingAndDisconnect) {
    std::atomic<bool> sendTwo{false};
    signIn("taro", [&](PeerConnection& peer) {
        peer.send(chatRecord("one"));
        waitForFlag(sendTwo);
        peer.send(chatRecord("two"));
        peer.waitForEnd();
    });
    ASSERT_TRUE(pumpUntil([&] { return text(IDC_RECEIVED) == "one\r\n"; }));
    // What the user types into the control is replaced by the transcript at the next line.
    auto* edit = qobject_cast<QPlainTextEdit*>(window().GetDlgItem(IDC_RECEIVED)->widget());
    QTextCursor cursor = edit->textCursor();
    cursor.movePosition(QTextCursor::End);
    edit->setTextCursor(cursor);
    edit->insertPlainText(QStringLiteral("typed"));
    sendTwo = true;
    ASSERT_TRUE(pumpUntil([&] { return window().transcript().bytes() == "one\r\ntwo\r\n"; }));
    EXPECT_EQ(text(IDC_RECEIVED), "one\r\ntwo\r\n");

    // Disconnect empties the control but not the transcript; the next line shows all of it again.
    press(IDC_DISCONNECT);
    EXPECT_EQ(text(IDC_RECEIVED), "");
    ASSERT_TRUE(m_peer.finish());
    authenticate("taro", [](PeerConnection& peer) {
        peer.send(chatRecord("three"));
        peer.waitForEnd();
    });
    ASSERT_TRUE(pumpUntil([&] { return text(IDC_RECEIVED) == "one\r\ntwo\r\nthree\r\n"; }));
    EXPECT_EQ(window().transcript().bytes(), "one\r\ntwo\r\nthree\r\n");
}
