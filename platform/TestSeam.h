#pragma once

#include "platform/base/CString.h"

#include <functional>
#include <string>
#include <vector>

class CDialog;
class QWidget;

// What a scripted answer sees of a modal window (message box, dialog or context menu) and what it can do with it,
// as a user would. Texts are UTF-8.
class ModalWindow {
public:
    enum class Kind { MessageBox, Dialog, Menu, FileDialog };

    explicit ModalWindow(QWidget* window) : m_window(window) {}

    Kind kind() const;
    std::string caption() const;
    // The message box's text exactly as the program gave it (CR LF kept).
    std::string text() const;
    bool hasWarningIcon() const;
    std::vector<std::string> buttons() const;
    CDialog* dialog() const;
    int templateId() const;
    // The window itself, for checks of its geometry.
    QWidget* widget() const { return m_window; }

    std::string controlText(int id) const;
    void setControlText(int id, const std::string& utf8);
    // Types CP932 bytes (converted as the window system would deliver them).
    void setControlBytes(int id, const CString& bytes);
    bool isControlVisible(int id) const;
    int focusId() const;
    int defaultButtonId() const;

    // Presses a button: IDOK, IDYES, IDNO in a message box; a control ID in a dialog.
    void press(int id);
    // A key pressed in the focused control (VK_RETURN, VK_ESCAPE).
    void key(unsigned virtualKey);
    // The close box of the window's title bar.
    void close();
    void chooseMenuItem(const std::string& utf8Text);
    std::vector<std::string> menuItems() const;
    bool isOpen() const;

    // File dialogs: the offered name, the filter entries, save or open mode; choosing a path confirms it (an
    // existing file may then bring up the overwrite question, answered by the next answer).
    std::string offeredFileName() const;
    std::vector<std::string> fileFilters() const;
    bool isSaveDialog() const;
    void chooseFile(const std::string& path);

private:
    QWidget* m_window;
};

// Answers every modal run of the program from a script, in order. A modal window that opens when no answer is
// queued is reported through the unexpected-window handler and closed; so is one that an answer leaves open.
namespace TestSeam {

using Answer = std::function<void(ModalWindow&)>;

void install(std::function<void(const std::string& description)> onUnexpected);
void expect(Answer answer);
int pendingAnswers();
void clear();
// Number of modal windows answered since install().
int answeredCount();

} // namespace TestSeam
