#include "CWnd.h"

#include "platform/CWinApp.h"
#include "platform/QtBridge.h"
#include "platform/WindowAttention.h"

#include <QAbstractButton>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

namespace bridge {

QString toQt(const CString& text) {
    std::string utf8 = text.toUtf8();
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

CString fromQt(const QString& text) {
    QByteArray utf8 = text.toUtf8();
    return CString::fromUtf8(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
}

QString toQtMultiLine(const CString& text) {
    QString converted = toQt(text);
    converted.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return converted;
}

CString fromQtMultiLine(const QString& text) {
    QString converted = text;
    converted.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    converted.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return fromQt(converted);
}

int controlId(const QObject* widget) {
    QVariant id = widget ? widget->property(kControlId) : QVariant();
    return id.isValid() ? id.toInt() : -1;
}

} // namespace bridge

namespace {
// Bytes of the text last set into a multi-line edit by the program.
constexpr const char* kSetSize = "vesmiraSetSize";

// A server can send lines far faster than a screen can show them: while lines stream in, the control is drawn at
// most once per frame instead of once per line. Its text is always current; only the drawing waits.
void coalesceRepaints(QWidget* widget) {
    if (!widget->updatesEnabled()) {
        return;
    }
    widget->setUpdatesEnabled(false);
    QTimer::singleShot(16, widget, [widget] { widget->setUpdatesEnabled(true); });
}

} // namespace

CWnd::~CWnd() = default;

int CWnd::GetDlgCtrlID() const {
    return bridge::controlId(m_widget);
}

void CWnd::SetWindowText(const CString& text) {
    if (!m_widget) {
        return;
    }
    if (auto* edit = qobject_cast<QPlainTextEdit*>(m_widget)) {
        edit->setPlainText(bridge::toQtMultiLine(text));
        edit->document()->setModified(false);
        edit->setProperty(kSetSize, static_cast<qlonglong>(text.size()));
    } else if (auto* line = qobject_cast<QLineEdit*>(m_widget)) {
        line->setText(bridge::toQt(text));
    } else if (auto* button = qobject_cast<QAbstractButton*>(m_widget)) {
        button->setText(bridge::toQt(text));
    } else if (auto* label = qobject_cast<QLabel*>(m_widget)) {
        label->setText(bridge::toQt(text));
    } else if (m_widget->isWindow()) {
        m_widget->setWindowTitle(bridge::toQt(text));
    }
}

void CWnd::SetWindowTextAppending(const CString& whole, const CString& tail) {
    auto* edit = qobject_cast<QPlainTextEdit*>(m_widget);
    QVariant setSize = edit ? edit->property(kSetSize) : QVariant();
    bool unchanged = setSize.isValid() && !edit->document()->isModified() &&
                     static_cast<std::size_t>(setSize.toLongLong()) + tail.size() == whole.size();
    // A CR LF split between the old text and the tail would read differently in pieces.
    bool splitsLineEnd = !tail.IsEmpty() && tail[0] == '\n' && whole.size() > tail.size() &&
                         whole[whole.size() - tail.size() - 1] == '\r';
    if (!unchanged || splitsLineEnd) {
        SetWindowText(whole);
        return;
    }
    QTextCursor cursor(edit->document());
    cursor.movePosition(QTextCursor::End);
    coalesceRepaints(edit);
    cursor.insertText(bridge::toQtMultiLine(tail));
    edit->document()->setModified(false);
    edit->setProperty(kSetSize, static_cast<qlonglong>(whole.size()));
}

CString CWnd::GetWindowText() const {
    if (!m_widget) {
        return {};
    }
    if (auto* edit = qobject_cast<QPlainTextEdit*>(m_widget)) {
        return bridge::fromQtMultiLine(edit->toPlainText());
    }
    if (auto* line = qobject_cast<QLineEdit*>(m_widget)) {
        return bridge::fromQt(line->text());
    }
    if (auto* button = qobject_cast<QAbstractButton*>(m_widget)) {
        return bridge::fromQt(button->text());
    }
    if (auto* label = qobject_cast<QLabel*>(m_widget)) {
        return bridge::fromQt(label->text());
    }
    return bridge::fromQt(m_widget->windowTitle());
}

void CWnd::FlashWindow() {
    WindowAttention::request(m_widget);
}

void CWnd::SetFocus() {
    if (m_widget) {
        m_widget->setFocus(Qt::OtherFocusReason);
    }
}

void CWnd::ShowWindow(bool show) {
    if (m_widget) {
        m_widget->setVisible(show);
    }
}

bool CWnd::IsWindowVisible() const {
    return m_widget && !m_widget->isHidden();
}

void CWnd::EnableWindow(bool enable) {
    if (m_widget) {
        m_widget->setEnabled(enable);
    }
}

bool CWnd::IsWindowEnabled() const {
    return m_widget && m_widget->isEnabled();
}

void CWnd::SetSel(int start, int end) {
    if (auto* edit = qobject_cast<QPlainTextEdit*>(m_widget)) {
        QTextCursor cursor = edit->textCursor();
        if (start == -1) {
            cursor.clearSelection();
        } else {
            cursor.movePosition(QTextCursor::End);
            int last = cursor.position();
            cursor.setPosition(std::min(start, last));
            cursor.setPosition(end < 0 ? last : std::min(end, last), QTextCursor::KeepAnchor);
        }
        edit->setTextCursor(cursor);
    } else if (auto* line = qobject_cast<QLineEdit*>(m_widget)) {
        if (start == -1) {
            line->deselect();
        } else {
            int last = static_cast<int>(line->text().size());
            int to = end < 0 ? last : std::min(end, last);
            line->setSelection(std::min(start, last), to - std::min(start, last));
        }
    }
}

void CWnd::ScrollCaret() {
    if (auto* edit = qobject_cast<QPlainTextEdit*>(m_widget)) {
        edit->ensureCursorVisible();
    }
}

void CWnd::ScrollToEnd() {
    // Selecting everything and deselecting again ends with the caret at the end and the last line in view; going
    // there directly gives the same result without touching every line of a long text twice.
    if (auto* edit = qobject_cast<QPlainTextEdit*>(m_widget)) {
        QTextCursor cursor = edit->textCursor();
        cursor.movePosition(QTextCursor::End);
        edit->setTextCursor(cursor);
        edit->ensureCursorVisible();
        return;
    }
    SetSel(0, -1);
    ScrollCaret();
    SetSel(-1, -1);
    ScrollCaret();
}

CWnd* CWnd::GetDlgItem(int id) const {
    // A control's siblings are found through its dialog.
    CDialog* dialog = m_widget ? CDialog::fromWidget(m_widget) : nullptr;
    return dialog && dialog != this ? dialog->GetDlgItem(id) : nullptr;
}

void CWnd::SetDlgItemText(int id, const CString& text) {
    if (CWnd* item = GetDlgItem(id)) {
        item->SetWindowText(text);
    }
}

CString CWnd::GetDlgItemText(int id) const {
    CWnd* item = GetDlgItem(id);
    return item ? item->GetWindowText() : CString();
}

int CWnd::MessageBox(const CString& text, const CString* caption, unsigned style) {
    CString shownCaption = caption ? *caption : (AfxGetApp() ? AfxGetApp()->appName() : CString());
    return showMessageBox(m_widget, text, shownCaption, style);
}

namespace {

// A question must be answered: Escape and the close box do nothing (a box without a cancel choice has its close box
// disabled on the desktop the program was written for).
class QuestionBox : public QMessageBox {
public:
    QuestionBox(QWidget* owner, bool mustAnswer) : QMessageBox(owner), m_mustAnswer(mustAnswer) {
        if (mustAnswer) {
            setWindowFlag(Qt::WindowCloseButtonHint, false);
        }
    }

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (m_mustAnswer && event->key() == Qt::Key_Escape) {
            return;
        }
        QMessageBox::keyPressEvent(event);
    }
    void closeEvent(QCloseEvent* event) override {
        if (m_mustAnswer) {
            event->ignore();
            return;
        }
        QMessageBox::closeEvent(event);
    }

private:
    bool m_mustAnswer;
};

} // namespace

int showMessageBox(QWidget* owner, const CString& text, const CString& caption, unsigned style) {
    QuestionBox box(owner, (style & 0xF) == MB_YESNO);
    box.setWindowTitle(bridge::toQt(caption));
    box.setText(bridge::toQtMultiLine(text));
    box.setTextFormat(Qt::PlainText);
    box.setProperty(bridge::kCp932Text, QByteArray(text.data(), text.GetLength()));
    box.setProperty(bridge::kCp932Caption, QByteArray(caption.data(), caption.GetLength()));
    box.setIcon((style & 0xF0) == MB_ICONEXCLAMATION ? QMessageBox::Warning : QMessageBox::NoIcon);
    // The button texts are set here so that they are Japanese whatever the user's locale.
    if ((style & 0xF) == MB_YESNO) {
        QPushButton* yes = box.addButton(QStringLiteral("はい(&Y)"), QMessageBox::YesRole);
        yes->setProperty(bridge::kControlId, 6);
        QPushButton* no = box.addButton(QStringLiteral("いいえ(&N)"), QMessageBox::NoRole);
        no->setProperty(bridge::kControlId, 7);
        box.setDefaultButton(yes);
        box.setEscapeButton(static_cast<QAbstractButton*>(nullptr));
    } else {
        QPushButton* ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
        ok->setProperty(bridge::kControlId, 1);
        box.setDefaultButton(ok);
        box.setEscapeButton(ok);
    }
    box.exec();
    return bridge::controlId(box.clickedButton()) == 6 ? 6 : ((style & 0xF) == MB_YESNO ? 7 : 1);
}
