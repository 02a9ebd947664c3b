#include "CWnd.h"

#include "platform/CWinApp.h"
#include "platform/QtBridge.h"
#include "platform/TextLogView.h"
#include "platform/WindowAttention.h"
#include "platform/base/TextLog.h"
#include "res/ResourceIds.h"

#include <QAbstractButton>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTextDocument>

#include <algorithm>

namespace QtBridge {

QString toQt(const CString& text) {
    std::string utf8 = text.toUtf8();
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

CString fromQt(const QString& text, Cp932Codec::Unconvertible* unconvertible) {
    QByteArray utf8 = text.toUtf8();
    return CString::fromUtf8(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())), unconvertible);
}

QString toQtMultiLine(const CString& text) {
    QString converted = toQt(text);
    converted.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return converted;
}

CString fromQtMultiLine(const QString& text, Cp932Codec::Unconvertible* unconvertible) {
    // One pass: QString::replace with a longer text moves the rest of the string for every batch of matches, which
    // takes minutes on a text of millions of lines.
    QString converted;
    converted.reserve(text.size() + text.count(QLatin1Char('\n')) + text.count(QChar::ParagraphSeparator));
    for (QChar c : text) {
        if (c == QLatin1Char('\n') || c == QChar::ParagraphSeparator) {
            converted += QLatin1Char('\r');
            c = QLatin1Char('\n');
        }
        converted += c;
    }
    return fromQt(converted, unconvertible);
}

int controlId(const QObject* widget) {
    QVariant id = widget ? widget->property(kControlId) : QVariant();
    return id.isValid() ? id.toInt() : -1;
}

} // namespace QtBridge

CWnd::~CWnd() = default;

int CWnd::GetDlgCtrlID() const {
    return QtBridge::controlId(m_widget);
}

void CWnd::SetWindowText(const CString& text) {
    if (!m_widget) {
        return;
    }
    if (auto* edit = dynamic_cast<TextLogView*>(m_widget)) {
        edit->stopShowingLog();
        edit->setPlainText(QtBridge::toQtMultiLine(text));
        edit->document()->setModified(false);
    } else if (auto* line = qobject_cast<QLineEdit*>(m_widget)) {
        line->setText(QtBridge::toQt(text));
    } else if (auto* button = qobject_cast<QAbstractButton*>(m_widget)) {
        button->setText(QtBridge::toQt(text));
    } else if (auto* label = qobject_cast<QLabel*>(m_widget)) {
        label->setText(QtBridge::toQt(text));
    } else if (m_widget->isWindow()) {
        m_widget->setWindowTitle(QtBridge::toQt(text));
    }
}

void CWnd::SetWindowText(const TextLog& text) {
    if (auto* edit = dynamic_cast<TextLogView*>(m_widget); edit && edit->lineWrapMode() != QPlainTextEdit::NoWrap) {
        edit->showLog(text);
        return;
    }
    SetWindowText(CString(text.bytes()));
}

CString CWnd::GetWindowText(Cp932Codec::Unconvertible* unconvertible) const {
    if (!m_widget) {
        return {};
    }
    if (auto* edit = dynamic_cast<TextLogView*>(m_widget)) {
        return QtBridge::fromQtMultiLine(edit->shownText(), unconvertible);
    }
    QString text = m_widget->windowTitle();
    if (auto* line = qobject_cast<QLineEdit*>(m_widget)) {
        text = line->text();
    } else if (auto* button = qobject_cast<QAbstractButton*>(m_widget)) {
        text = button->text();
    } else if (auto* label = qobject_cast<QLabel*>(m_widget)) {
        text = label->text();
    }
    return QtBridge::fromQt(text, unconvertible);
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

int CWnd::GetCheck() const {
    auto* button = qobject_cast<QAbstractButton*>(m_widget);
    return button && button->isChecked() ? 1 : 0;
}

void CWnd::SetCheck(int check) {
    if (auto* button = qobject_cast<QAbstractButton*>(m_widget)) {
        button->setChecked(check != 0);
    }
}

void CWnd::SetAccessibleName(const CString& name) {
    if (m_widget) {
        m_widget->setAccessibleName(QtBridge::toQt(name));
    }
}

void CWnd::SetSel(int start, int end) {
    if (auto* edit = dynamic_cast<TextLogView*>(m_widget)) {
        edit->select(start, end);
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
    if (auto* edit = dynamic_cast<TextLogView*>(m_widget)) {
        edit->scrollToCaret();
    }
}

void CWnd::ScrollToEnd() {
    // Selecting everything and deselecting again ends with the caret at the end and the last line in view; going
    // there directly gives the same result without touching every line of a long text twice.
    if (auto* edit = dynamic_cast<TextLogView*>(m_widget)) {
        edit->followEnd();
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

int CWnd::MessageBox(const CString& text, const Cp932Codec::Unconvertible& named, const CString& caption) {
    return showMessageBox(m_widget, text, caption, MB_OK, named.joined());
}

int CWnd::MessageBox(const CString& text, const CString& caption, unsigned style, const CString (&buttons)[3]) {
    return showMessageBox(m_widget, text, caption, style, {}, buttons);
}

namespace {

// Room beside a caption in a title bar, in lines of the caption's font: the window's icon, the desktop's buttons (some
// show minimise and maximise even where the window asks for none) and their margins.
constexpr int kTitleBarRoom = 9;

// A box with only a close button, as wide as its caption needs. A question must be answered: Escape and the close box
// do nothing (a box without a cancel choice has its close box disabled on the desktop the program was written for).
class QuestionBox : public QMessageBox {
public:
    QuestionBox(QWidget* owner, bool mustAnswer) : QMessageBox(owner), m_mustAnswer(mustAnswer) {
        setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                       (mustAnswer ? Qt::WindowFlags() : Qt::WindowCloseButtonHint));
    }

protected:
    bool event(QEvent* event) override {
        QPoint before = pos();
        bool handled = QMessageBox::event(event);
        // QMessageBox sizes itself to its text whenever it is shown or laid out; a shorter text than the caption would
        // leave the caption cut off in the title bar.
        switch (event->type()) {
        case QEvent::Show:
            // Shown, the box has been centred on its owner, unless the window manager places windows itself.
            widenForCaption(pos() != before);
            break;
        case QEvent::LayoutRequest:
        case QEvent::FontChange:
        case QEvent::StyleChange:
        case QEvent::WindowTitleChange:
            widenForCaption(false);
            break;
        default:
            break;
        }
        return handled;
    }
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
    // `justCentred`: the box has just been centred at its narrower width, and stays centred.
    void widenForCaption(bool justCentred) {
        QFont title = font();
        title.setBold(true);
        QFontMetrics metrics(title);
        int wanted = metrics.horizontalAdvance(windowTitle()) + kTitleBarRoom * metrics.height();
        QRect available = screen() ? screen()->availableGeometry() : QRect();
        if (available.isValid()) {
            wanted = std::min(wanted, available.width());
        }
        if (isVisible() && width() < wanted) {
            if (justCentred) {
                int left = x() - (wanted - width()) / 2;
                if (available.isValid()) {
                    left = std::clamp(left, available.left(), available.right() + 1 - wanted);
                }
                move(left, y());
            }
            setFixedWidth(wanted);
        }
    }

    bool m_mustAnswer;
};

} // namespace

int showMessageBox(QWidget* owner, const CString& text, const CString& caption, unsigned style,
                   const std::string& named, const CString* buttons) {
    const bool yesNo = (style & 0xF) == MB_YESNO;
    const bool threeAnswers = (style & 0xF) == MB_YESNOCANCEL && buttons;
    QuestionBox box(owner, yesNo);
    box.setWindowTitle(QtBridge::toQt(caption));
    box.setText(QtBridge::toQtMultiLine(text) + QString::fromStdString(named));
    box.setTextFormat(Qt::PlainText);
    box.setProperty(QtBridge::kCp932Text, QByteArray(text.data(), text.GetLength()));
    box.setProperty(QtBridge::kNamedText, QByteArray::fromStdString(named));
    box.setProperty(QtBridge::kCp932Caption, QByteArray(caption.data(), caption.GetLength()));
    box.setIcon((style & 0xF0) == MB_ICONEXCLAMATION ? QMessageBox::Warning : QMessageBox::NoIcon);
    // The button texts are set here so that they are Japanese whatever the user's locale.
    if (threeAnswers) {
        const int ids[] = {IDYES, IDNO, IDCANCEL};
        QPushButton* cancel = nullptr;
        for (int i = 0; i < 3; ++i) {
            // One role for all three keeps them in the order given, whatever the desktop's button order.
            cancel = box.addButton(QtBridge::toQt(buttons[i]), QMessageBox::ActionRole);
            cancel->setProperty(QtBridge::kControlId, ids[i]);
        }
        // Enter must not say yes by accident: the safe answer is the default.
        box.setDefaultButton(cancel);
        box.setEscapeButton(cancel);
    } else if (yesNo) {
        QPushButton* yes = box.addButton(QStringLiteral("はい(&Y)"), QMessageBox::YesRole);
        yes->setProperty(QtBridge::kControlId, int(IDYES));
        QPushButton* no = box.addButton(QStringLiteral("いいえ(&N)"), QMessageBox::NoRole);
        no->setProperty(QtBridge::kControlId, int(IDNO));
        box.setDefaultButton(yes);
        box.setEscapeButton(static_cast<QAbstractButton*>(nullptr));
    } else {
        QPushButton* ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
        ok->setProperty(QtBridge::kControlId, int(IDOK));
        box.setDefaultButton(ok);
        box.setEscapeButton(ok);
    }
    box.exec();
    int pressed = QtBridge::controlId(box.clickedButton());
    if (pressed == IDYES || pressed == IDNO) {
        return pressed;
    }
    return threeAnswers ? IDCANCEL : (yesNo ? IDNO : IDOK);
}
