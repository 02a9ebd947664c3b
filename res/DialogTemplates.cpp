#include "res/ResourceIds.h"
#include "res/ResourceTypes.h"

namespace res {
namespace {

using K = ControlKind;

constexpr ControlTemplate kAboutControls[] = {
    {IDR_MAINFRAME, K::Icon, "", 11, 17, 20, 20, 0},
    {-1, K::Label, "Vesmira Version 1.0", 40, 10, 119, 8, kNoPrefix},
    {IDOK, K::PushButton, "OK", 178, 7, 50, 14, kTabStop | kGroup | kDefault},
};

constexpr ControlTemplate kClientControls[] = {
    {IDC_ADDRESS, K::Edit, "", 230, 57, 67, 13, kTabStop | kBorder | kAutoHScroll},
    // The port field is narrowed to make room for the TLS check box beside it; five digits still fit.
    {IDC_PORT, K::Edit, "", 230, 71, 36, 13, kTabStop | kBorder | kAutoHScroll},
    {IDC_CONNECT, K::PushButton, "接続", 201, 188, 46, 22, kTabStop},
    {IDC_SAVE, K::PushButton, "保存", 201, 214, 47, 22, kTabStop},
    {IDC_EXIT, K::PushButton, "終了", 250, 188, 47, 22, kTabStop},
    {IDC_SEND_TEXT, K::Edit, "", 9, 213, 157, 24, kTabStop | kBorder | kMultiLine | kAutoVScroll},
    {IDC_SEND, K::PushButton, "送信", 168, 214, 20, 22, kTabStop},
    {-1, K::GroupBox, "データ送受信", 5, 6, 185, 238, 0},
    {IDC_RECEIVED, K::Edit, "", 9, 18, 177, 179, kBorder | kMultiLine | kAutoVScroll | kVScrollBar},
    {IDC_NAME, K::Edit, "", 231, 20, 67, 13, kBorder | kReadOnly | kAutoHScroll},
    {IDC_HIDDEN_USER, K::Edit, "", 229, 232, 6, 12, kHidden | kDisabled | kBorder},
    {IDC_HIDDEN_PASSWORD, K::Edit, "", 223, 232, 6, 12, kHidden | kDisabled | kBorder},
    {IDC_DISCONNECT, K::PushButton, "切断", 235, 222, 20, 22, kHidden | kDisabled},
    {IDC_HIDDEN_LIST, K::ListBox, "", 295, 235, 8, 9, kHidden | kDisabled | kVScrollBar},
    {-1, K::GroupBox, "接続サーバー", 195, 45, 108, 46, 0},
    {-1, K::Label, "IPアドレス", 199, 59, 29, 9, 0},
    {-1, K::Label, "ポート", 210, 73, 18, 10, 0},
    {-1, K::Label, "送信メッセージ", 10, 204, 51, 9, 0},
    {-1, K::GroupBox, "プロフィール", 195, 6, 108, 35, 0},
    {-1, K::Label, "名前（HN）", 199, 22, 31, 9, 0},
    {IDC_AUTHENTICATE_HIDDEN, K::PushButton, "認証", 274, 222, 20, 22, kHidden | kDisabled},
    {IDC_REGISTER_HIDDEN, K::PushButton, "登録", 254, 222, 20, 22, kHidden | kDisabled},
    {IDC_EDIT_RULES, K::PushButton, "編集", 276, 147, 21, 22, 0},
    {IDC_STYLE_NONE, K::AutoRadioButton, "オプション無し", 202, 111, 57, 10, kGroup},
    {IDC_STYLE_JAYO, K::AutoRadioButton, "じゃよ", 202, 147, 26, 10, 0},
    {IDC_STYLE_NIIGATA, K::AutoRadioButton, "新潟弁", 202, 159, 30, 10, 0},
    {IDC_STYLE_DEARIMASU, K::AutoRadioButton, "であります", 202, 135, 47, 10, 0},
    {-1, K::GroupBox, "おまけ", 195, 98, 108, 78, 0},
    {IDC_STYLE_USER, K::AutoRadioButton, "ユーザー定義", 202, 123, 57, 10, 0},
    // Beside the port, but last in the tab order (after 送信, before the address), so that the order of the
    // original controls stays as it was.
    {IDC_TLS, K::AutoCheckBox, "TLS", 269, 72, 28, 10, kTabStop},
};

constexpr ControlTemplate kEntryControls[] = {
    {IDC_ENTRY_ID, K::Edit, "", 46, 8, 87, 14, kTabStop | kBorder | kAutoHScroll},
    {IDC_ENTRY_PASSWORD, K::Edit, "", 46, 25, 87, 14, kTabStop | kBorder | kAutoHScroll},
    {IDC_ENTRY_REGISTER, K::PushButton, "登録する", 138, 7, 39, 14, kTabStop},
    {IDC_ENTRY_CANCEL, K::PushButton, "キャンセル", 138, 25, 39, 14, kTabStop},
    {-1, K::Label, "ユーザーID", 9, 11, 35, 8, 0},
    {-1, K::Label, "PASSWORD", 9, 28, 36, 8, 0},
};

constexpr ControlTemplate kJudgeControls[] = {
    {IDC_JUDGE_ID, K::Edit, "", 46, 8, 86, 14, kTabStop | kBorder | kAutoHScroll},
    {IDC_JUDGE_PASSWORD, K::Edit, "", 46, 25, 86, 14, kTabStop | kBorder | kAutoHScroll},
    {-1, K::Label, "ユーザーID", 9, 11, 35, 8, 0},
    {-1, K::Label, "PASSWORD", 9, 28, 36, 8, 0},
    {IDC_JUDGE_AUTHENTICATE, K::PushButton, "認証", 137, 7, 39, 14, kTabStop},
    {IDC_JUDGE_CANCEL, K::PushButton, "キャンセル", 137, 25, 39, 14, kTabStop},
};

constexpr ControlTemplate kOmakeEditControls[] = {
    {IDC_OMAKE_REPLACED, K::Edit, "", 7, 7, 116, 14, kTabStop | kBorder | kAutoHScroll},
    {IDC_OMAKE_REPLACEMENT, K::Edit, "", 7, 23, 116, 14, kTabStop | kBorder | kAutoHScroll},
    {IDC_OMAKE_PREVIOUS, K::PushButton, "前", 25, 164, 18, 20, kTabStop},
    {IDC_OMAKE_NEXT, K::PushButton, "後", 46, 164, 18, 20, kTabStop},
    {IDC_OMAKE_REGISTER, K::PushButton, "登録", 73, 164, 19, 20, kTabStop},
    {IDC_OMAKE_DELETE, K::PushButton, "削除", 95, 164, 19, 20, kTabStop},
    {IDC_OMAKE_CLEAR, K::PushButton, "クリア", 116, 164, 19, 20, kTabStop},
    {IDC_OMAKE_EXIT, K::PushButton, "終了", 138, 164, 19, 20, kTabStop},
    {-1, K::Label, "を", 125, 11, 8, 8, 0},
    {-1, K::Label, "に変換", 125, 26, 21, 8, 0},
    {IDC_OMAKE_LIST, K::Edit, "", 7, 43, 176, 114, kBorder | kMultiLine | kVScrollBar | kAutoVScroll | kAutoHScroll},
    {IDC_OMAKE_HIDDEN_LIST, K::ListBox, "", 25, 175, 8, 9, kHidden | kDisabled},
    {-1, K::Label, "件目", 168, 174, 15, 9, kHidden | kDisabled},
    {IDC_OMAKE_COUNT, K::Label, "0", 160, 174, 8, 8, kHidden | kDisabled},
};

constexpr DialogTemplate kTemplates[] = {
    {IDD_ABOUTBOX, "Vesmiraのﾊﾞｰｼﾞｮﾝ情報", 235, 55, kAboutControls, false},
    {IDD_CLIENT_DIALOG, "Vesmira クライアントアプリケーション", 310, 251, kClientControls, true},
    {IDD_ENTRY_DIALOG, "新規ユーザー登録", 183, 47, kEntryControls, false},
    {IDD_JUDGE_DIALOG, "ユーザー認証", 183, 47, kJudgeControls, false},
    {IDD_OMAKE_EDIT, "おまけエディット", 190, 191, kOmakeEditControls, false},
};

} // namespace

const DialogTemplate* findDialogTemplate(int id) {
    for (const DialogTemplate& dialogTemplate : kTemplates) {
        if (dialogTemplate.id == id) {
            return &dialogTemplate;
        }
    }
    return nullptr;
}

} // namespace res
