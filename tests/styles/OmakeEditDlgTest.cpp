#include "ScriptedPeer.h"
#include "TempDir.h"
#include "platform/TestSeam.h"
#include "platform/base/TextFile.h"
#include "res/ResourceIds.h"
#include "styles/OmakeEditDlg.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>

namespace {

struct Fields {
    std::string replaced;
    std::string replacement;
    friend bool operator==(const Fields&, const Fields&) = default;
    friend std::ostream& operator<<(std::ostream& out, const Fields& f) {
        return out << "(" << f.replaced << ", " << f.replacement << ")";
    }
};

Fields fields(const ModalWindow& editor) {
    return {editor.controlText(IDC_OMAKE_REPLACED), editor.controlText(IDC_OMAKE_REPLACEMENT)};
}

void type(ModalWindow& editor, const std::string& replaced, const std::string& replacement) {
    editor.setControlText(IDC_OMAKE_REPLACED, replaced);
    editor.setControlText(IDC_OMAKE_REPLACEMENT, replacement);
}

std::string list(const ModalWindow& editor) {
    return editor.controlText(IDC_OMAKE_LIST);
}

void expectMessage(const std::string& text, const std::string& caption) {
    TestSeam::expect([text, caption](ModalWindow& box) {
        EXPECT_EQ(box.kind(), ModalWindow::Kind::MessageBox);
        EXPECT_EQ(box.text(), text);
        EXPECT_EQ(box.caption(), caption);
        box.press(IDOK);
    });
}

std::string numberedRules(int count) {
    std::string file;
    for (int i = 0; i < count; ++i) {
        file += "r" + std::to_string(i) + "\r\ns" + std::to_string(i) + "\r\n";
    }
    return file;
}

struct InjectedFailure {
    explicit InjectedFailure(long afterBytes) { AtomicTextWriter::failAfterBytesForTesting(afterBytes); }
    ~InjectedFailure() { AtomicTextWriter::failAfterBytesForTesting(-1); }
};

class RuleEditor : public testing::Test {
protected:
    // Queues the answer that drives the editor; `script` must end it. Message boxes that the script opens are
    // answered by what is queued after it.
    void expectEditor(const std::function<void(ModalWindow&)>& script) {
        TestSeam::expect([this, script](ModalWindow& editor) {
            ASSERT_EQ(editor.kind(), ModalWindow::Kind::Dialog);
            ASSERT_EQ(editor.templateId(), IDD_OMAKE_EDIT);
            script(editor);
        });
    }
    void run(const std::function<void(ModalWindow&)>& script) {
        expectEditor(script);
        m_editor.DoModal();
    }

    TempDir m_folder;
    COmakeEditDlg m_editor;
};

TEST_F(RuleEditor, WalkThrough) {
    TempDir::write("omake.txt", sjis("あ\r\nい\r\nか\r\nき\r\n"));
    run([this](ModalWindow& editor) {
        EXPECT_EQ(editor.caption(), "おまけエディット");
        EXPECT_EQ(list(editor), "あ→い\r\nか→き\r\n");
        EXPECT_EQ(m_editor.currentPosition(), 2);
        EXPECT_EQ(fields(editor), (Fields{"", ""}));
        EXPECT_EQ(editor.focusId(), IDC_OMAKE_REPLACED);
        EXPECT_EQ(editor.defaultButtonId(), IDC_OMAKE_REGISTER);

        type(editor, "さ", "し");
        editor.key(VK_RETURN);
        EXPECT_EQ(m_editor.rules().count, 3);
        EXPECT_EQ(m_editor.currentPosition(), 3);
        EXPECT_EQ(fields(editor), (Fields{"", ""}));
        EXPECT_EQ(list(editor), "あ→い\r\nか→き\r\nさ→し\r\n");
        EXPECT_EQ(editor.focusId(), IDC_OMAKE_REPLACED);

        editor.press(IDC_OMAKE_PREVIOUS);
        editor.press(IDC_OMAKE_PREVIOUS);
        EXPECT_EQ(m_editor.currentPosition(), 1);
        EXPECT_EQ(fields(editor), (Fields{"か", "き"}));

        editor.setControlText(IDC_OMAKE_REPLACEMENT, "け");
        editor.press(IDC_OMAKE_REGISTER);
        EXPECT_EQ(m_editor.rules().count, 3);
        EXPECT_EQ(m_editor.currentPosition(), 1);
        EXPECT_EQ(fields(editor), (Fields{"か", "け"}));
        EXPECT_EQ(list(editor), "あ→い\r\nか→け\r\nさ→し\r\n");

        editor.press(IDC_OMAKE_DELETE);
        EXPECT_EQ(m_editor.rules().count, 2);
        EXPECT_EQ(m_editor.currentPosition(), 1);
        EXPECT_EQ(fields(editor), (Fields{"さ", "し"}));
        EXPECT_EQ(list(editor), "あ→い\r\nさ→し\r\n");

        editor.press(IDC_OMAKE_NEXT);
        EXPECT_EQ(m_editor.currentPosition(), 2);
        EXPECT_EQ(fields(editor), (Fields{"", ""}));

        editor.press(IDC_OMAKE_EXIT);
    });
    EXPECT_EQ(TempDir::read("omake.txt"), "\x82\xA0\r\n\x82\xA2\r\n\x82\xB3\r\n\x82\xB5\r\n");
}

TEST_F(RuleEditor, ListShowsEachRuleWithAnArrowAndCrLf) {
    TempDir::write("omake.txt", sjis("だから\nだっけ\nください\nくらっしぇ\nう"));
    run([](ModalWindow& editor) {
        EXPECT_EQ(list(editor), "だから→だっけ\r\nください→くらっしぇ\r\nう→う\r\n");
        editor.press(IDC_OMAKE_EXIT);
    });
    // The odd last line became a rule of its own and is saved as two lines.
    EXPECT_EQ(TempDir::read("omake.txt"), sjis("だから\r\nだっけ\r\nください\r\nくらっしぇ\r\nう\r\nう\r\n"));
}

TEST_F(RuleEditor, DeletingMovesLaterRulesUpAndNextReachesTheAppendPosition) {
    TempDir::write("omake.txt", sjis("あ\r\nい\r\nか\r\nき\r\nさ\r\nし\r\n"));
    run([this](ModalWindow& editor) {
        editor.press(IDC_OMAKE_PREVIOUS);
        editor.press(IDC_OMAKE_PREVIOUS);
        editor.press(IDC_OMAKE_PREVIOUS);
        ASSERT_EQ(m_editor.currentPosition(), 0);
        editor.press(IDC_OMAKE_DELETE);
        EXPECT_EQ(fields(editor), (Fields{"か", "き"}));
        EXPECT_EQ(list(editor), "か→き\r\nさ→し\r\n");
        editor.press(IDC_OMAKE_NEXT);
        EXPECT_EQ(fields(editor), (Fields{"さ", "し"}));
        editor.press(IDC_OMAKE_NEXT);
        EXPECT_EQ(m_editor.currentPosition(), 2);
        EXPECT_EQ(fields(editor), (Fields{"", ""}));

        // Deleting the last rule leaves the position at the new append position.
        editor.press(IDC_OMAKE_PREVIOUS);
        editor.press(IDC_OMAKE_DELETE);
        EXPECT_EQ(m_editor.rules().count, 1);
        EXPECT_EQ(m_editor.currentPosition(), 1);
        EXPECT_EQ(fields(editor), (Fields{"", ""}));
        EXPECT_EQ(list(editor), "か→き\r\n");
        editor.press(IDC_OMAKE_EXIT);
    });
    EXPECT_EQ(TempDir::read("omake.txt"), sjis("か\r\nき\r\n"));
}

TEST_F(RuleEditor, ButtonsAtEitherEndChangeNothing) {
    TempDir::write("omake.txt", sjis("あ\r\nい\r\n"));
    run([this](ModalWindow& editor) {
        type(editor, "typed", "text");
        editor.press(IDC_OMAKE_DELETE);
        editor.press(IDC_OMAKE_NEXT);
        EXPECT_EQ(m_editor.currentPosition(), 1);
        EXPECT_EQ(m_editor.rules().count, 1);
        EXPECT_EQ(fields(editor), (Fields{"typed", "text"}));

        editor.press(IDC_OMAKE_PREVIOUS);
        editor.press(IDC_OMAKE_PREVIOUS);
        EXPECT_EQ(m_editor.currentPosition(), 0);
        EXPECT_EQ(fields(editor), (Fields{"あ", "い"}));
        EXPECT_EQ(list(editor), "あ→い\r\n");
        editor.press(IDC_OMAKE_EXIT);
    });
    EXPECT_EQ(TempDir::read("omake.txt"), sjis("あ\r\nい\r\n"));
}

TEST_F(RuleEditor, ClearThenRegisterOverwritesTheRuleAtThePosition) {
    TempDir::write("omake.txt", sjis("あ\r\nい\r\nか\r\nき\r\n"));
    run([this](ModalWindow& editor) {
        editor.press(IDC_OMAKE_PREVIOUS);
        editor.press(IDC_OMAKE_PREVIOUS);
        editor.press(IDC_OMAKE_CLEAR);
        EXPECT_EQ(fields(editor), (Fields{"", ""}));
        EXPECT_EQ(m_editor.currentPosition(), 0);
        type(editor, "x", "y");
        editor.press(IDC_OMAKE_REGISTER);
        EXPECT_EQ(m_editor.rules().count, 2);
        EXPECT_EQ(fields(editor), (Fields{"x", "y"}));
        EXPECT_EQ(list(editor), "x→y\r\nか→き\r\n");
        editor.press(IDC_OMAKE_EXIT);
    });
    EXPECT_EQ(TempDir::read("omake.txt"), sjis("x\r\ny\r\nか\r\nき\r\n"));
}

TEST_F(RuleEditor, TextTypedIntoTheListIsNeverSaved) {
    TempDir::write("omake.txt", "a\r\nb\r\n");
    run([](ModalWindow& editor) {
        editor.setControlText(IDC_OMAKE_LIST, "c→d\n");
        type(editor, "e", "f");
        editor.press(IDC_OMAKE_REGISTER);
        EXPECT_EQ(list(editor), "a→b\r\ne→f\r\n");
        editor.press(IDC_OMAKE_EXIT);
    });
    EXPECT_EQ(TempDir::read("omake.txt"), "a\r\nb\r\ne\r\nf\r\n");
}

TEST_F(RuleEditor, RegisterRefusesEmptyFields) {
    TempDir::write("omake.txt", sjis("あ\r\nい\r\n"));
    struct Case {
        const char* replaced;
        const char* replacement;
    };
    const Case cases[] = {{"", ""}, {"か", ""}, {"", "き"}};
    expectEditor([&](ModalWindow& editor) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.replaced) + "/" + c.replacement);
            type(editor, c.replaced, c.replacement);
            m_editor.GetDlgItem(IDC_OMAKE_REPLACEMENT)->SetFocus();
            editor.press(IDC_OMAKE_REGISTER);
            EXPECT_EQ(m_editor.rules().count, 1);
            EXPECT_EQ(m_editor.currentPosition(), 1);
            EXPECT_EQ(fields(editor), (Fields{c.replaced, c.replacement}));
            EXPECT_EQ(editor.focusId(), IDC_OMAKE_REPLACEMENT);
            EXPECT_EQ(list(editor), "あ→い\r\n");
        }
        editor.press(IDC_OMAKE_PREVIOUS);
        editor.setControlText(IDC_OMAKE_REPLACEMENT, "");
        editor.press(IDC_OMAKE_REGISTER);
        editor.press(IDC_OMAKE_CLEAR);
        editor.press(IDC_OMAKE_REGISTER);
        EXPECT_EQ(m_editor.rules().count, 1);
        EXPECT_EQ(m_editor.rules().replacements[0].bytes(), sjis("い"));
        editor.press(IDC_OMAKE_EXIT);
    });
    // Once per case, then twice at an existing rule, which would otherwise be overwritten.
    for (std::size_t i = 0; i < std::size(cases) + 2; ++i) {
        expectMessage("単語を入力して下さい。", "入力エラー");
    }
    m_editor.DoModal();
    EXPECT_EQ(TempDir::read("omake.txt"), sjis("あ\r\nい\r\n"));
}

TEST_F(RuleEditor, FiftyRulesRefuseEveryRegisterUntilOneIsDeleted) {
    TempDir::write("omake.txt", numberedRules(50));
    expectEditor([this](ModalWindow& editor) {
        EXPECT_EQ(m_editor.currentPosition(), 50);
        editor.press(IDC_OMAKE_REGISTER);
        type(editor, "new", "rule");
        editor.press(IDC_OMAKE_REGISTER);
        editor.press(IDC_OMAKE_PREVIOUS);
        EXPECT_EQ(fields(editor), (Fields{"r49", "s49"}));
        editor.setControlText(IDC_OMAKE_REPLACEMENT, "changed");
        editor.press(IDC_OMAKE_REGISTER);
        EXPECT_EQ(m_editor.rules().count, 50);
        EXPECT_EQ(m_editor.rules().replacements[49].bytes(), "s49");

        editor.press(IDC_OMAKE_DELETE);
        EXPECT_EQ(m_editor.currentPosition(), 49);
        type(editor, "new", "rule");
        editor.press(IDC_OMAKE_REGISTER);
        EXPECT_EQ(m_editor.rules().count, 50);
        EXPECT_EQ(m_editor.currentPosition(), 50);
        editor.press(IDC_OMAKE_EXIT);
    });
    // At the append position with empty fields, at the append position with both texts, over an existing rule.
    for (int i = 0; i < 3; ++i) {
        expectMessage("データを削除して下さい。", "登録件数オーバー");
    }
    m_editor.DoModal();
    EXPECT_EQ(TempDir::read("omake.txt"), numberedRules(49) + "new\r\nrule\r\n");
}

TEST_F(RuleEditor, EscapeDoesNotCloseIt) {
    TempDir::write("omake.txt", "a\r\nb\r\n");
    run([this](ModalWindow& editor) {
        type(editor, "typed", "");
        editor.key(VK_ESCAPE);
        EXPECT_TRUE(editor.isOpen());
        EXPECT_TRUE(m_editor.isModalRunning());
        EXPECT_EQ(fields(editor), (Fields{"typed", ""}));
        editor.press(IDC_OMAKE_EXIT);
    });
    EXPECT_FALSE(m_editor.isModalRunning());
}

TEST_F(RuleEditor, CloseBoxWritesTheFileToo) {
    TempDir::write("omake.txt", sjis("あ\r\nい\n"));
    run([](ModalWindow& editor) {
        type(editor, "か", "き");
        editor.press(IDC_OMAKE_REGISTER);
        editor.close();
    });
    EXPECT_EQ(TempDir::read("omake.txt"), sjis("あ\r\nい\r\nか\r\nき\r\n"));
}

TEST_F(RuleEditor, MissingFileIsReportedAndClosingCreatesIt) {
    expectMessage("編集ファイルが\r\n見つかりませんでした。", "omake.txt");
    run([this](ModalWindow& editor) {
        EXPECT_EQ(list(editor), "");
        EXPECT_EQ(m_editor.rules().count, 0);
        EXPECT_EQ(m_editor.currentPosition(), 0);
        EXPECT_EQ(editor.focusId(), IDC_OMAKE_REPLACED);
        editor.press(IDC_OMAKE_EXIT);
    });
    ASSERT_TRUE(TempDir::exists("omake.txt"));
    EXPECT_EQ(TempDir::read("omake.txt"), "");
}

TEST_F(RuleEditor, MissingFileStillLetsRulesBeRegistered) {
    expectMessage("編集ファイルが\r\n見つかりませんでした。", "omake.txt");
    run([this](ModalWindow& editor) {
        type(editor, "です", "でござる");
        m_editor.GetDlgItem(IDC_OMAKE_REPLACEMENT)->SetFocus();
        editor.key(VK_RETURN);
        EXPECT_EQ(list(editor), "です→でござる\r\n");
        EXPECT_EQ(fields(editor), (Fields{"", ""}));
        EXPECT_EQ(editor.focusId(), IDC_OMAKE_REPLACED);
        editor.press(IDC_OMAKE_EXIT);
    });
    EXPECT_EQ(TempDir::read("omake.txt"), sjis("です\r\nでござる\r\n"));
}

TEST_F(RuleEditor, ClosingLosesNothingOfTheFile) {
    // Rules past the fiftieth never apply, but a hand-made file keeps them.
    TempDir::write("omake.txt", numberedRules(60));
    run([](ModalWindow& editor) { editor.press(IDC_OMAKE_EXIT); });
    EXPECT_EQ(TempDir::read("omake.txt"), numberedRules(60));
    // A file that cannot be read whole (a line longer than the reader takes) is kept, and closing says so.
    const std::string damaged = "a\r\n" + std::string(TextFileReader::kMaxLineBytes + 1, 'b');
    TempDir::write("omake.txt", damaged);
    expectMessage("編集ファイルが\r\n見つかりませんでした。", "omake.txt");
    expectEditor([](ModalWindow& editor) { editor.press(IDC_OMAKE_EXIT); });
    expectMessage("ファイルが開けませんでした。\n", "omake.txt");
    COmakeEditDlg().DoModal();
    EXPECT_TRUE(TempDir::read("omake.txt") == damaged);
}

TEST_F(RuleEditor, FailedSaveReportsAndKeepsTheOldFile) {
    TempDir::write("omake.txt", "a\r\nb\r\n");
    expectEditor([](ModalWindow& editor) {
        type(editor, "c", "d");
        editor.press(IDC_OMAKE_REGISTER);
        editor.press(IDC_OMAKE_EXIT);
    });
    // The save runs as the window goes, after the editor's own answer.
    expectMessage("ファイルが開けませんでした。\n", "omake.txt");
    {
        InjectedFailure full(4);
        m_editor.DoModal();
    }
    EXPECT_EQ(TempDir::read("omake.txt"), "a\r\nb\r\n");
}

} // namespace
