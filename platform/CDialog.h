#pragma once

#include "platform/CWnd.h"

#include <map>
#include <memory>
#include <vector>

class CDialog;
class DialogWidget;

// Handed to DoDataExchange: binds control members to the controls of the dialog.
class CDataExchange {
public:
    explicit CDataExchange(CDialog* dialog) : m_dialog(dialog) {}
    CDialog* dialog() const { return m_dialog; }

private:
    CDialog* m_dialog;
};

void DDX_Control(CDataExchange* exchange, int id, CWnd& control);

// The key filter the program's own dialogs share: an Escape key-down is swallowed, so Escape never cancels them.
inline bool swallowEscape(const MSG& message) {
    return message.message == WM_KEYDOWN && message.wParam == VK_ESCAPE;
}

// A dialog built from a template of the resource table. Runs modally (DoModal) or modelessly (Create).
class CDialog : public CWnd {
public:
    explicit CDialog(int templateId, CWnd* parent = nullptr);
    ~CDialog() override;

    // Builds the window, runs OnInitDialog and a nested loop until EndDialog. Returns the end code.
    int DoModal();
    // Builds and shows the window without a loop of its own (the main window under test is run this way).
    bool Create();
    void DestroyWindow();
    void EndDialog(int result);
    bool isModalRunning() const { return m_modalRunning; }

    // Presses a control as the user's click would: only a visible, enabled control reacts.
    bool clickButton(int id);
    // Runs the handler of a command as if its control had been pressed.
    void sendCommand(int id) { dispatchCommand(id); }

    CWnd* GetDlgItem(int id) const override;

    void SetDefID(int id);
    int GetDefID() const { return m_defId; }
    void GotoDlgCtrl(CWnd* control);

    // The window's context menu stands in for the system menu of other desktops: each item arrives as a system
    // command.
    void appendSystemMenuItem(unsigned command, const CString& text);
    void SetIcon(int iconId, bool big);

    int templateId() const { return m_templateId; }
    static CDialog* fromWidget(QWidget* widget);

    // Platform side: routing of window events into the handlers below.
    void dispatchCommand(int id);
    bool translateKey(unsigned virtualKey, bool control);
    void showSystemMenu(int x, int y);
    void handleSystemCommand(unsigned command) { OnSysCommand(command); }
    void handleCancel() { dispatchCommand(2); }
    void registerBinding(CWnd& control) { m_bindings.push_back(&control); }
    struct SystemMenuItem {
        unsigned command;
        CString text;
    };
    const std::vector<SystemMenuItem>& systemMenuItems() const { return m_systemMenu; }

protected:
    virtual void DoDataExchange(CDataExchange* exchange);
    virtual bool OnInitDialog();
    // The key filter that sees every key message of the dialog and its controls first; true swallows it.
    virtual bool PreTranslateMessage(const MSG& message);
    // Command handlers by control ID; false leaves the command to the defaults (IDOK -> OnOK, IDCANCEL -> OnCancel).
    virtual bool OnCommand(int id);
    virtual void OnSysCommand(unsigned command);
    // The user changed the text of the single-line edit `id` (typing, pasting); not called when the program sets it.
    virtual void OnEditChange(int id);
    virtual void OnOK();
    virtual void OnCancel();
    virtual void OnDestroy();

private:
    bool build();
    void destroyWidgets();
    void placeOverMainWindow();

    int m_templateId;
    CWnd* m_parent;
    DialogWidget* m_dialogWidget = nullptr;
    std::map<int, std::unique_ptr<CWnd>> m_items;
    std::vector<CWnd*> m_bindings;
    std::vector<SystemMenuItem> m_systemMenu;
    int m_defId = 1;
    int m_result = 0;
    bool m_modalRunning = false;
};
