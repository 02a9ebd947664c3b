#pragma once

// Qt-side helpers shared by the platform's own sources; nothing outside platform/ includes this.

#include "platform/CDialog.h"
#include "platform/base/CString.h"
#include "platform/base/Cp932Codec.h"

#include <QDialog>
#include <QString>

class QAbstractButton;

namespace QtBridge {

// Dynamic properties that tie widgets to the program's view of them.
inline constexpr const char* kControlId = "vesmiraControlId";
inline constexpr const char* kCp932Text = "vesmiraCp932Text";
inline constexpr const char* kCp932Caption = "vesmiraCp932Caption";
inline constexpr const char* kNamedText = "vesmiraNamedText";
inline constexpr const char* kWantReturn = "vesmiraWantReturn";

QString toQt(const CString& text);
// What CP932 cannot hold becomes "?" and is named in `unconvertible` when it is given.
CString fromQt(const QString& text, Cp932Codec::Unconvertible* unconvertible = nullptr);
// Window texts of multi-line edits hold CR LF; Qt's hold LF.
QString toQtMultiLine(const CString& text);
CString fromQtMultiLine(const QString& text, Cp932Codec::Unconvertible* unconvertible = nullptr);

int controlId(const QObject* widget);

} // namespace QtBridge

// The Qt window of a CDialog. Closing it (close box, Alt+F4) goes through the dialog's cancel path.
class DialogWidget : public QDialog {
public:
    DialogWidget(CDialog* owner, QWidget* parent);
    CDialog* owner() const { return m_owner; }
    void forget() { m_owner = nullptr; }
    void finish(int result) { QDialog::done(result); }

    void reject() override;

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    CDialog* m_owner;
};

// Builds and runs a message box; `owner` may be null. `named` (UTF-8) follows the text: what CP932 cannot hold. A
// MB_YESNOCANCEL box shows `buttons` on its three buttons.
int showMessageBox(QWidget* owner, const CString& text, const CString& caption, unsigned style,
                   const std::string& named = {}, const CString* buttons = nullptr);
