#pragma once

#include "platform/base/CString.h"
#include "platform/base/Cp932Codec.h"

class QWidget;
class TextLog;

// Message-box styles and answers.
enum MessageBoxStyle : unsigned {
    MB_OK = 0x0,
    MB_YESNOCANCEL = 0x3,
    MB_YESNO = 0x4,
    MB_ICONEXCLAMATION = 0x30,
};

// A key message as the dialogs' key filter sees it.
struct MSG {
    unsigned message = 0;
    unsigned wParam = 0;
};
constexpr unsigned WM_KEYDOWN = 256;
constexpr unsigned VK_RETURN = 13;
constexpr unsigned VK_ESCAPE = 27;

// A window or control. Texts cross this boundary as CP932 bytes; the conversion to the window system's UTF-8
// happens inside. A CWnd does not own its widget.
class CWnd {
public:
    CWnd() = default;
    virtual ~CWnd();
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    bool IsWindow() const { return m_widget != nullptr; }
    int GetDlgCtrlID() const;

    void SetWindowText(const CString& text);
    // Sets the text to the log as it is now. A multi-line edit shares the log's bytes instead of copying them and
    // draws only the lines in view, so the cost of setting it does not grow with the log.
    void SetWindowText(const TextLog& text);
    // Characters CP932 cannot hold become "?"; each is named in `unconvertible` when it is given.
    CString GetWindowText(Cp932Codec::Unconvertible* unconvertible = nullptr) const;

    // Marks this window's top-level window as wanting the user's attention (the urgency hint taskbars show) until
    // the program is next in front; nothing while it is in front. No sound, no pop-up.
    void FlashWindow();
    void SetFocus();
    void ShowWindow(bool show);
    bool IsWindowVisible() const;
    void EnableWindow(bool enable);
    bool IsWindowEnabled() const;
    // Check boxes: 1 checked, 0 not.
    int GetCheck() const;
    void SetCheck(int check);
    // The name assistive technology reads for the control, where its caption alone says too little.
    void SetAccessibleName(const CString& name);

    // Edit controls: select from `start` to `end` (-1 = the end; a start of -1 removes the selection and keeps the
    // caret), and scroll the caret into view.
    void SetSel(int start, int end);
    void ScrollCaret();
    // Caret to the end and last line in view: select all, scroll, deselect, scroll. A multi-line edit showing a log
    // leaves a reader who had scrolled away from the end or selected text where they were when the log grew.
    void ScrollToEnd();

    // Finds a child control by its ID; nullptr when there is none.
    virtual CWnd* GetDlgItem(int id) const;
    void SetDlgItemText(int id, const CString& text);
    CString GetDlgItemText(int id) const;

    // A modal message box owned by this window. Without a caption the application's name shows. Returns IDOK,
    // IDYES or IDNO.
    int MessageBox(const CString& text, const CString* caption = nullptr, unsigned style = MB_OK);
    int MessageBox(const CString& text, const CString& caption, unsigned style = MB_OK) {
        return MessageBox(text, &caption, style);
    }
    // A box with one OK button whose text goes on to name characters CP932 cannot hold.
    int MessageBox(const CString& text, const Cp932Codec::Unconvertible& named, const CString& caption);
    // A question with three answers whose buttons say what each does (MB_YESNOCANCEL, with MB_ICONEXCLAMATION if
    // wanted): IDYES, IDNO, or IDCANCEL, which Escape and the close box also give.
    int MessageBox(const CString& text, const CString& caption, unsigned style, const CString (&buttons)[3]);

    // Platform side only.
    QWidget* widget() const { return m_widget; }
    void attach(QWidget* widget) { m_widget = widget; }
    void detach() { m_widget = nullptr; }

protected:
    QWidget* m_widget = nullptr;
};

using CEdit = CWnd;
using CButton = CWnd;
using CListBox = CWnd;
