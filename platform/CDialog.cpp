#include "CDialog.h"

#include "platform/CWinApp.h"
#include "platform/DialogBuilder.h"
#include "platform/QtBridge.h"
#include "platform/TextLogView.h"

#include <QAbstractButton>
#include <QContextMenuEvent>
#include <QIcon>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QWindow>

#include <algorithm>

DialogWidget::DialogWidget(CDialog* owner, QWidget* parent) : QDialog(parent), m_owner(owner) {}

void DialogWidget::reject() {
    if (m_owner) {
        m_owner->handleCancel();
    } else {
        QDialog::reject();
    }
}

void DialogWidget::contextMenuEvent(QContextMenuEvent* event) {
    if (m_owner && !m_owner->systemMenuItems().empty()) {
        m_owner->showSystemMenu(event->globalPos().x(), event->globalPos().y());
        event->accept();
    }
}

void DialogWidget::keyPressEvent(QKeyEvent* event) {
    // Enter and Escape are the key filter's; QDialog's own handling would bypass the dialog's handlers.
    if (event->key() == Qt::Key_Escape || event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void DDX_Control(CDataExchange* exchange, int id, CWnd& control) {
    CDialog* dialog = exchange->dialog();
    CWnd* item = dialog->GetDlgItem(id);
    control.attach(item ? item->widget() : nullptr);
    dialog->registerBinding(control);
}

CDialog::CDialog(int templateId, CWnd* parent) : m_templateId(templateId), m_parent(parent) {}

CDialog::~CDialog() {
    destroyWidgets();
}

CDialog* CDialog::fromWidget(QWidget* widget) {
    auto* dialogWidget = widget ? dynamic_cast<DialogWidget*>(widget->window()) : nullptr;
    return dialogWidget ? dialogWidget->owner() : nullptr;
}

bool CDialog::build() {
    destroyWidgets();
    QWidget* parentWidget = m_parent ? m_parent->widget() : nullptr;
    m_dialogWidget = new DialogWidget(this, parentWidget);
    attach(m_dialogWidget);
    if (!DialogBuilder::build(m_templateId, m_dialogWidget)) {
        destroyWidgets();
        return false;
    }
    for (QWidget* child : m_dialogWidget->findChildren<QWidget*>()) {
        int id = QtBridge::controlId(child);
        if (id >= 0 && !m_items.count(id)) {
            auto item = std::make_unique<CWnd>();
            item->attach(child);
            m_items.emplace(id, std::move(item));
        }
        if (auto* button = qobject_cast<QAbstractButton*>(child)) {
            QObject::connect(button, &QAbstractButton::clicked, m_dialogWidget, [this, id] { dispatchCommand(id); });
        } else if (auto* line = qobject_cast<QLineEdit*>(child)) {
            QObject::connect(line, &QLineEdit::textEdited, m_dialogWidget, [this, id] { OnEditChange(id); });
        }
    }
    if (QPushButton* defaultButton = DialogBuilder::templateDefaultButton(m_dialogWidget)) {
        m_defId = QtBridge::controlId(defaultButton);
    }
    m_result = 0;
    bool focusFirst = OnInitDialog();
    if (focusFirst && m_dialogWidget) {
        DialogBuilder::focusFirstTabStop(m_dialogWidget);
    }
    return m_dialogWidget != nullptr;
}

void CDialog::destroyWidgets() {
    if (!m_dialogWidget) {
        return;
    }
    DialogWidget* dialogWidget = m_dialogWidget;
    m_dialogWidget = nullptr;
    OnDestroy();
    for (CWnd* binding : m_bindings) {
        binding->detach();
    }
    m_bindings.clear();
    m_items.clear();
    detach();
    dialogWidget->forget();
    dialogWidget->hide();
    dialogWidget->deleteLater();
}

int CDialog::DoModal() {
    if (!build()) {
        return -1;
    }
    if (!m_parent) {
        placeOverMainWindow();
    }
    m_modalRunning = true;
    m_dialogWidget->setWindowModality(Qt::ApplicationModal);
    int result = m_dialogWidget->exec();
    m_modalRunning = false;
    (void)result;
    destroyWidgets();
    return m_result;
}

void CDialog::placeOverMainWindow() {
    CWnd* main = AfxGetMainWnd();
    QWidget* owner = main && main != this ? main->widget() : nullptr;
    if (!owner || !owner->isVisible()) {
        return;
    }
    // The desktop would put a window without a parent in the middle of the screen, away from a main window the user
    // has moved; it opens centred over the main window instead, frames included, and on the screen.
    QRect frame = owner->frameGeometry();
    QRect inner = owner->geometry();
    QSize outer = m_dialogWidget->size() + (frame.size() - inner.size());
    QPoint topLeft = frame.center() - QPoint(outer.width() / 2, outer.height() / 2);
    if (QScreen* screen = owner->screen()) {
        QRect area = screen->availableGeometry();
        topLeft.setX(std::clamp(topLeft.x(), area.left(), std::max(area.left(), area.right() + 1 - outer.width())));
        topLeft.setY(std::clamp(topLeft.y(), area.top(), std::max(area.top(), area.bottom() + 1 - outer.height())));
    }
    m_dialogWidget->move(topLeft);
    // Kept above the main window, and placed by the compositor where windows cannot place themselves (Wayland).
    m_dialogWidget->winId();
    if (QWindow* window = m_dialogWidget->windowHandle()) {
        window->setTransientParent(owner->windowHandle());
    }
}

bool CDialog::Create() {
    if (!build()) {
        return false;
    }
    m_dialogWidget->show();
    return true;
}

void CDialog::DestroyWindow() {
    destroyWidgets();
}

void CDialog::EndDialog(int result) {
    m_result = result;
    if (m_dialogWidget && m_modalRunning) {
        m_dialogWidget->finish(result);
    } else if (m_dialogWidget) {
        m_dialogWidget->hide();
    }
}

bool CDialog::clickButton(int id) {
    CWnd* item = GetDlgItem(id);
    auto* button = item ? qobject_cast<QAbstractButton*>(item->widget()) : nullptr;
    if (!button || !button->isVisible() || !button->isEnabled()) {
        return false;
    }
    button->click();
    return true;
}

CWnd* CDialog::GetDlgItem(int id) const {
    auto found = m_items.find(id);
    return found == m_items.end() ? nullptr : found->second.get();
}

void CDialog::SetDefID(int id) {
    m_defId = id;
    if (!m_dialogWidget) {
        return;
    }
    for (QPushButton* button : m_dialogWidget->findChildren<QPushButton*>()) {
        button->setDefault(QtBridge::controlId(button) == id);
    }
}

void CDialog::GotoDlgCtrl(CWnd* control) {
    if (control) {
        control->SetFocus();
    }
}

void CDialog::appendSystemMenuItem(unsigned command, const CString& text) {
    m_systemMenu.push_back({command, text});
}

void CDialog::SetIcon(int iconId, bool big) {
    (void)big; // One window icon serves both sizes; the desktop scales it.
    if (m_dialogWidget) {
        m_dialogWidget->setWindowIcon(DialogBuilder::icon(iconId));
    }
}

void CDialog::showSystemMenu(int x, int y) {
    if (!m_dialogWidget) {
        return;
    }
    QMenu menu(m_dialogWidget);
    for (const SystemMenuItem& item : m_systemMenu) {
        menu.addSeparator();
        QAction* action = menu.addAction(QtBridge::toQt(item.text));
        action->setData(item.command);
    }
    QAction* chosen = menu.exec(QPoint(x, y));
    if (chosen) {
        OnSysCommand(chosen->data().toUInt());
    }
}

void CDialog::dispatchCommand(int id) {
    if (OnCommand(id)) {
        return;
    }
    if (id == 1) {
        OnOK();
    } else if (id == 2) {
        OnCancel();
    }
}

bool CDialog::translateKey(unsigned virtualKey, bool control) {
    if (PreTranslateMessage(MSG{WM_KEYDOWN, virtualKey})) {
        return true;
    }
    if (!m_dialogWidget) {
        return true;
    }
    if (virtualKey == VK_ESCAPE) {
        dispatchCommand(2);
        return true;
    }
    if (virtualKey != VK_RETURN) {
        return false;
    }
    QWidget* focus = m_dialogWidget->focusWidget();
    if (auto* edit = qobject_cast<QPlainTextEdit*>(focus)) {
        // A multi-line edit takes Enter as a line break only when it wants returns; Ctrl+Enter always breaks.
        if (control || edit->property(QtBridge::kWantReturn).toBool()) {
            if (!edit->isReadOnly()) {
                if (auto* view = dynamic_cast<TextLogView*>(edit)) {
                    view->beginEditing();
                }
                edit->insertPlainText(QStringLiteral("\n"));
            }
            return true;
        }
    }
    if (auto* button = qobject_cast<QPushButton*>(focus); button && button->isEnabled() && button->isVisible()) {
        dispatchCommand(QtBridge::controlId(button));
        return true;
    }
    CWnd* item = GetDlgItem(m_defId);
    auto* defaultButton = item ? qobject_cast<QPushButton*>(item->widget()) : nullptr;
    if (!item || (defaultButton && defaultButton->isEnabled() && defaultButton->isVisible())) {
        dispatchCommand(m_defId);
    }
    return true;
}

bool CDialog::OnInitDialog() {
    CDataExchange exchange(this);
    DoDataExchange(&exchange);
    return true;
}

void CDialog::DoDataExchange(CDataExchange*) {}

bool CDialog::PreTranslateMessage(const MSG&) {
    return false;
}

void CDialog::OnEditChange(int) {}

bool CDialog::OnCommand(int) {
    return false;
}

void CDialog::OnSysCommand(unsigned) {}

void CDialog::OnOK() {
    EndDialog(1);
}

void CDialog::OnCancel() {
    EndDialog(2);
}

void CDialog::OnDestroy() {}
