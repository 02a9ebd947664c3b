#include "OmakeEditDlg.h"

#include "res/ResourceIds.h"
#include "styles/UserRuleFile.h"
#include "styles/UserRules.h"

namespace {
// "→" (81 A8) between the two texts of a rule in the list.
constexpr std::string_view kArrow = "\x81\xA8";
} // namespace

COmakeEditDlg::COmakeEditDlg() : CDialog(IDD_OMAKE_EDIT) {}

COmakeEditDlg::~COmakeEditDlg() {
    DestroyWindow();
}

void COmakeEditDlg::DoDataExchange(CDataExchange* exchange) {
    DDX_Control(exchange, IDC_OMAKE_LIST, m_list);
    DDX_Control(exchange, IDC_OMAKE_HIDDEN_LIST, m_hiddenList);
    DDX_Control(exchange, IDC_OMAKE_REPLACEMENT, m_replacementField);
    DDX_Control(exchange, IDC_OMAKE_REPLACED, m_replacedField);
}

bool COmakeEditDlg::PreTranslateMessage(const MSG& message) {
    return swallowEscape(message) || CDialog::PreTranslateMessage(message);
}

bool COmakeEditDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    SetDefID(IDC_OMAKE_REGISTER);
    m_position = 0;
    m_startupListText.Empty();
    bool loaded = LoadUserRules(m_rules, *this, SJIS("編集ファイルが\r\n見つかりませんでした。"), [this](int slot) {
        auto index = static_cast<std::size_t>(slot);
        m_startupListText += m_rules.replaced[index] + CString(kArrow) + m_rules.replacements[index] + "\r\n";
    });
    m_keepUnreadFile = !loaded && !UserRuleFile::missing();
    if (loaded) {
        m_position = m_rules.count;
        // Not scrolled: the list opens showing its first lines.
        m_list.SetWindowText(m_startupListText);
    }
    return true;
}

bool COmakeEditDlg::OnCommand(int id) {
    switch (id) {
    case IDC_OMAKE_REGISTER:
        OnRegister();
        return true;
    case IDC_OMAKE_DELETE:
        OnDelete();
        return true;
    case IDC_OMAKE_PREVIOUS:
        OnPrevious();
        return true;
    case IDC_OMAKE_NEXT:
        OnNext();
        return true;
    case IDC_OMAKE_CLEAR:
        OnClear();
        return true;
    case IDC_OMAKE_EXIT:
        OnOK();
        return true;
    default:
        return false;
    }
}

void COmakeEditDlg::OnDestroy() {
    // Written however the dialog was closed: the exit button, the close box or the window manager.
    if (m_keepUnreadFile) {
        ReportUserRulesNotSaved(*this);
    } else {
        SaveUserRules(m_rules, *this);
    }
}

void COmakeEditDlg::OnRegister() {
    if (m_rules.count >= UserRuleTable::kCapacity) {
        MessageBox(SJIS("データを削除して下さい。"), SJIS("登録件数オーバー"));
        return;
    }
    Cp932Codec::Unconvertible unconvertible;
    CString replaced = m_replacedField.GetWindowText(&unconvertible);
    CString replacement = m_replacementField.GetWindowText(&unconvertible);
    if (replaced.IsEmpty() || replacement.IsEmpty()) {
        MessageBox(SJIS("単語を入力して下さい。"), SJIS("入力エラー"));
        return;
    }
    if (!unconvertible.empty()) {
        // Stored, each would be a "?" in the rule and in every line it rewrites.
        MessageBox(SJIS("この文字は登録できません: "), unconvertible, SJIS("入力エラー"));
        return;
    }
    auto slot = static_cast<std::size_t>(m_position);
    m_rules.replaced[slot] = replaced;
    m_rules.replacements[slot] = replacement;
    if (m_position == m_rules.count) {
        ++m_rules.count;
        ++m_position;
        m_replacedField.SetWindowText(CString());
        m_replacementField.SetWindowText(CString());
    }
    refreshList();
    m_replacedField.SetFocus();
}

void COmakeEditDlg::OnDelete() {
    if (m_position >= m_rules.count) {
        return;
    }
    for (int i = m_position; i + 1 < m_rules.count; ++i) {
        auto slot = static_cast<std::size_t>(i);
        m_rules.replaced[slot] = m_rules.replaced[slot + 1];
        m_rules.replacements[slot] = m_rules.replacements[slot + 1];
    }
    --m_rules.count;
    auto last = static_cast<std::size_t>(m_rules.count);
    m_rules.replaced[last].Empty();
    m_rules.replacements[last].Empty();
    showRule(m_position);
    refreshList();
}

void COmakeEditDlg::OnPrevious() {
    if (m_position > 0) {
        showRule(--m_position);
    }
}

void COmakeEditDlg::OnNext() {
    if (m_position < m_rules.count) {
        showRule(++m_position);
    }
}

void COmakeEditDlg::OnClear() {
    m_replacedField.SetWindowText(CString());
    m_replacementField.SetWindowText(CString());
}

void COmakeEditDlg::showRule(int position) {
    auto slot = static_cast<std::size_t>(position);
    bool isRule = position < m_rules.count;
    m_replacedField.SetWindowText(isRule ? m_rules.replaced[slot] : CString());
    m_replacementField.SetWindowText(isRule ? m_rules.replacements[slot] : CString());
}

CString COmakeEditDlg::listText() const {
    CString text;
    for (int i = 0; i < m_rules.count; ++i) {
        auto slot = static_cast<std::size_t>(i);
        text += m_rules.replaced[slot] + CString(kArrow) + m_rules.replacements[slot] + "\r\n";
    }
    return text;
}

void COmakeEditDlg::refreshList() {
    m_list.SetWindowText(listText());
    m_list.ScrollToEnd();
}
