#include "TestSeam.h"

#include "platform/CDialog.h"
#include "platform/CWnd.h"
#include "platform/QtBridge.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>

#include <deque>

namespace {

std::string fromProperty(const QWidget* widget, const char* name, const QString& fallback) {
    QVariant value = widget->property(name);
    if (value.isValid()) {
        QByteArray bytes = value.toByteArray();
        return CString(bytes.constData(), static_cast<std::size_t>(bytes.size())).toUtf8();
    }
    return fallback.toStdString();
}

class ModalAnswerFilter : public QObject {
public:
    std::deque<TestSeam::Answer> answers;
    std::function<void(const std::string&)> onUnexpected;
    int answered = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Show || !watched->isWidgetType()) {
            return false;
        }
        auto* widget = static_cast<QWidget*>(watched);
        bool modal = (qobject_cast<QDialog*>(widget) && widget->isModal()) || qobject_cast<QMenu*>(widget);
        if (!modal || !widget->isWindow()) {
            return false;
        }
        QPointer<QWidget> window(widget);
        // Posted, so the answer runs inside the window's own loop.
        QMetaObject::invokeMethod(
            widget,
            [this, window] {
                if (!window || !window->isVisible()) {
                    return;
                }
                ModalWindow view(window);
                if (answers.empty()) {
                    report("unexpected modal window", view);
                    forceClose(window);
                    return;
                }
                TestSeam::Answer answer = std::move(answers.front());
                answers.pop_front();
                ++answered;
                answer(view);
                if (window && window->isVisible()) {
                    report("answer left the window open", view);
                    forceClose(window);
                }
            },
            Qt::QueuedConnection);
        return false;
    }

private:
    // Ends a window that a test did not answer, even one whose close box does nothing (a question).
    static void forceClose(const QPointer<QWidget>& window) {
        ModalWindow(window).close();
        if (auto* dialog = qobject_cast<QDialog*>(window.data()); dialog && dialog->isVisible()) {
            dialog->done(0);
        }
    }

    void report(const char* what, const ModalWindow& view) {
        std::string description = std::string(what) + ": \"" + view.caption() + "\" " + view.text();
        if (onUnexpected) {
            onUnexpected(description);
        }
    }
};

ModalAnswerFilter* g_filter = nullptr;

QWidget* control(QWidget* window, int id) {
    for (QWidget* child : window->findChildren<QWidget*>()) {
        if (QtBridge::controlId(child) == id) {
            return child;
        }
    }
    return nullptr;
}

} // namespace

ModalWindow::Kind ModalWindow::kind() const {
    if (qobject_cast<QMessageBox*>(m_window)) {
        return Kind::MessageBox;
    }
    if (qobject_cast<QMenu*>(m_window)) {
        return Kind::Menu;
    }
    if (qobject_cast<QFileDialog*>(m_window)) {
        return Kind::FileDialog;
    }
    return Kind::Dialog;
}

std::string ModalWindow::caption() const {
    return fromProperty(m_window, QtBridge::kCp932Caption, m_window->windowTitle());
}

std::string ModalWindow::text() const {
    auto* box = qobject_cast<QMessageBox*>(m_window);
    return fromProperty(m_window, QtBridge::kCp932Text, box ? box->text() : QString()) +
           m_window->property(QtBridge::kNamedText).toByteArray().toStdString();
}

bool ModalWindow::hasWarningIcon() const {
    auto* box = qobject_cast<QMessageBox*>(m_window);
    return box && box->icon() == QMessageBox::Warning;
}

std::vector<std::string> ModalWindow::buttons() const {
    std::vector<std::string> texts;
    if (auto* box = qobject_cast<QMessageBox*>(m_window)) {
        for (QAbstractButton* button : box->buttons()) {
            texts.push_back(button->text().toStdString());
        }
    }
    return texts;
}

CDialog* ModalWindow::dialog() const {
    return CDialog::fromWidget(m_window);
}

int ModalWindow::templateId() const {
    CDialog* owner = dialog();
    return owner ? owner->templateId() : -1;
}

std::string ModalWindow::controlText(int id) const {
    CDialog* owner = dialog();
    CWnd* item = owner ? owner->GetDlgItem(id) : nullptr;
    return item ? item->GetWindowText().toUtf8() : std::string();
}

void ModalWindow::setControlText(int id, const std::string& utf8) {
    QWidget* widget = control(m_window, id);
    if (auto* line = qobject_cast<QLineEdit*>(widget)) {
        line->setText(QString::fromStdString(utf8));
    } else if (auto* edit = qobject_cast<QPlainTextEdit*>(widget)) {
        edit->setPlainText(QString::fromStdString(utf8));
    }
}

void ModalWindow::setControlBytes(int id, const CString& bytes) {
    setControlText(id, bytes.toUtf8());
}

bool ModalWindow::isControlVisible(int id) const {
    QWidget* widget = control(m_window, id);
    return widget && !widget->isHidden();
}

int ModalWindow::focusId() const {
    return QtBridge::controlId(m_window->focusWidget());
}

int ModalWindow::defaultButtonId() const {
    CDialog* owner = dialog();
    return owner ? owner->GetDefID() : -1;
}

void ModalWindow::press(int id) {
    if (auto* box = qobject_cast<QMessageBox*>(m_window)) {
        for (QAbstractButton* button : box->buttons()) {
            if (QtBridge::controlId(button) == id) {
                button->click();
                return;
            }
        }
        // Boxes of Qt's own dialogs (the overwrite question) carry standard buttons.
        QMessageBox::StandardButton standard = id == 6 ? QMessageBox::Yes : id == 7 ? QMessageBox::No : QMessageBox::Ok;
        if (QAbstractButton* button = box->button(standard)) {
            button->click();
        }
        return;
    }
    if (CDialog* owner = dialog()) {
        owner->clickButton(id);
    }
}

void ModalWindow::key(unsigned virtualKey) {
    QWidget* target = m_window->focusWidget() ? m_window->focusWidget() : m_window;
    int qtKey = virtualKey == VK_ESCAPE ? Qt::Key_Escape : Qt::Key_Return;
    QKeyEvent press(QEvent::KeyPress, qtKey, Qt::NoModifier);
    QApplication::sendEvent(target, &press);
}

void ModalWindow::close() {
    if (auto* menu = qobject_cast<QMenu*>(m_window)) {
        menu->close();
        return;
    }
    m_window->close();
}

void ModalWindow::chooseMenuItem(const std::string& utf8Text) {
    if (auto* menu = qobject_cast<QMenu*>(m_window)) {
        for (QAction* action : menu->actions()) {
            if (action->text().toStdString() == utf8Text) {
                menu->setActiveAction(action);
                QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
                QApplication::sendEvent(menu, &press);
                return;
            }
        }
    }
}

std::vector<std::string> ModalWindow::menuItems() const {
    std::vector<std::string> items;
    if (auto* menu = qobject_cast<QMenu*>(m_window)) {
        for (QAction* action : menu->actions()) {
            if (!action->isSeparator()) {
                items.push_back(action->text().toStdString());
            }
        }
    }
    return items;
}

std::string ModalWindow::offeredFileName() const {
    auto* dialog = qobject_cast<QFileDialog*>(m_window);
    QLineEdit* name = dialog ? dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")) : nullptr;
    return name ? name->text().toStdString() : std::string();
}

std::vector<std::string> ModalWindow::fileFilters() const {
    std::vector<std::string> filters;
    auto* dialog = qobject_cast<QFileDialog*>(m_window);
    auto* combo = dialog ? dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo")) : nullptr;
    for (int i = 0; combo && i < combo->count(); ++i) {
        filters.push_back(combo->itemText(i).toStdString());
    }
    return filters;
}

bool ModalWindow::isSaveDialog() const {
    auto* dialog = qobject_cast<QFileDialog*>(m_window);
    return dialog && dialog->acceptMode() == QFileDialog::AcceptSave;
}

void ModalWindow::chooseFile(const std::string& path) {
    if (auto* dialog = qobject_cast<QFileDialog*>(m_window)) {
        dialog->selectFile(QString::fromStdString(path));
        // As the user's press of the dialog's accept button: QFileDialog::accept() is not public.
        QMetaObject::invokeMethod(dialog, "accept", Qt::DirectConnection);
    }
}

bool ModalWindow::isOpen() const {
    return m_window && m_window->isVisible();
}

namespace TestSeam {

void install(std::function<void(const std::string&)> onUnexpected) {
    if (!g_filter) {
        g_filter = new ModalAnswerFilter;
        qApp->installEventFilter(g_filter);
    }
    g_filter->answers.clear();
    g_filter->answered = 0;
    g_filter->onUnexpected = std::move(onUnexpected);
}

void expect(Answer answer) {
    if (g_filter) {
        g_filter->answers.push_back(std::move(answer));
    }
}

int pendingAnswers() {
    return g_filter ? static_cast<int>(g_filter->answers.size()) : 0;
}

void clear() {
    if (g_filter) {
        g_filter->answers.clear();
    }
}

int answeredCount() {
    return g_filter ? g_filter->answered : 0;
}

} // namespace TestSeam
