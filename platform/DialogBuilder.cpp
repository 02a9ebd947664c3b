#include "DialogBuilder.h"

#include "platform/CWinApp.h"
#include "platform/QtBridge.h"
#include "platform/TextLogView.h"
#include "res/ResourceIds.h"
#include "res/ResourceTypes.h"

#include <QApplication>
#include <QCheckBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>

#include <cmath>

namespace DialogBuilder {

BaseUnits baseUnits() {
    QFontMetrics metrics(QApplication::font());
    int alphabetWidth =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {(alphabetWidth / 26 + 1) / 2, metrics.height()};
}

int toPixelsX(int dialogUnits) {
    return static_cast<int>(std::lround(dialogUnits * baseUnits().x / 4.0));
}

int toPixelsY(int dialogUnits) {
    return static_cast<int>(std::lround(dialogUnits * baseUnits().y / 8.0));
}

QIcon icon(int iconId) {
    if (iconId != IDR_MAINFRAME) {
        return {};
    }
    static const QIcon applicationIcon = [] {
        QIcon loaded;
        for (int size : {16, 24, 32, 48, 64, 128, 256}) {
            loaded.addFile(QStringLiteral(":/vesmira/icons/%1/vesmira.png").arg(size), QSize(size, size));
        }
        return loaded;
    }();
    return applicationIcon;
}

namespace {

// Narrower than this a text is hard to read; a font that needs it is not one the dialogs are made for.
constexpr int kNarrowestStretch = 70;

QWidget* makeEdit(const res::ControlTemplate& control, QWidget* dialog) {
    if (!(control.style & res::kMultiLine)) {
        auto* line = new QLineEdit(dialog);
        line->setReadOnly(control.style & res::kReadOnly);
        line->setFrame(control.style & res::kBorder);
        return line;
    }
    auto* edit = new TextLogView(dialog);
    edit->setReadOnly(control.style & res::kReadOnly);
    edit->setTabChangesFocus(true);
    edit->setVerticalScrollBarPolicy((control.style & res::kVScrollBar) ? Qt::ScrollBarAlwaysOn
                                                                        : Qt::ScrollBarAlwaysOff);
    edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    edit->setLineWrapMode((control.style & res::kAutoHScroll) ? QPlainTextEdit::NoWrap : QPlainTextEdit::WidgetWidth);
    edit->setProperty(QtBridge::kWantReturn, bool(control.style & res::kWantReturn));
    return edit;
}

QWidget* makeControl(const res::ControlTemplate& control, QWidget* dialog) {
    QString text = QString::fromUtf8(control.text);
    switch (control.kind) {
    case res::ControlKind::PushButton: {
        auto* button = new QPushButton(text, dialog);
        button->setAutoDefault(false);
        return button;
    }
    case res::ControlKind::Edit:
        return makeEdit(control, dialog);
    case res::ControlKind::Label: {
        auto* label = new QLabel(text, dialog);
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label->setAttribute(Qt::WA_TransparentForMouseEvents);
        return label;
    }
    case res::ControlKind::GroupBox: {
        auto* group = new QGroupBox(text, dialog);
        // A group box only frames its neighbours; clicks must reach the controls inside its rectangle.
        group->setAttribute(Qt::WA_TransparentForMouseEvents);
        return group;
    }
    case res::ControlKind::AutoRadioButton:
        return new QRadioButton(text, dialog);
    case res::ControlKind::AutoCheckBox:
        return new QCheckBox(text, dialog);
    case res::ControlKind::ListBox:
        return new QListWidget(dialog);
    case res::ControlKind::Icon: {
        auto* label = new QLabel(dialog);
        int size = std::min(toPixelsX(control.width), toPixelsY(control.height));
        label->setPixmap(icon(control.id).pixmap(size, size));
        return label;
    }
    }
    return nullptr;
}

// The templates were drawn for the metrics of their own font; where ours draws a label's text wider than its
// rectangle, the text is narrowed until it fits, so that it is neither cut off nor touching the field beside it.
void narrowToFit(QLabel* label) {
    QFont font = label->font();
    int width = QFontMetrics(font).horizontalAdvance(label->text());
    if (width <= label->width() || width == 0) {
        return;
    }
    for (int stretch = std::max(kNarrowestStretch, 100 * label->width() / width); stretch >= kNarrowestStretch;
         --stretch) {
        font.setStretch(stretch);
        if (QFontMetrics(font).horizontalAdvance(label->text()) <= label->width()) {
            break;
        }
    }
    label->setFont(font);
}

} // namespace

bool build(int templateId, QWidget* dialog) {
    const res::DialogTemplate* dialogTemplate = res::findDialogTemplate(templateId);
    if (!dialogTemplate) {
        return false;
    }
    dialog->setWindowTitle(QString::fromUtf8(dialogTemplate->caption));
    dialog->setFixedSize(toPixelsX(dialogTemplate->width), toPixelsY(dialogTemplate->height));
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;
    if (dialogTemplate->applicationWindow) {
        flags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;
    }
    dialog->setWindowFlags(flags);

    QWidget* previousTabStop = nullptr;
    for (const res::ControlTemplate& control : dialogTemplate->controls) {
        QWidget* widget = makeControl(control, dialog);
        if (!widget) {
            continue;
        }
        widget->setProperty(QtBridge::kControlId, control.id);
        widget->setGeometry(toPixelsX(control.x), toPixelsY(control.y), toPixelsX(control.width),
                            toPixelsY(control.height));
        if (control.kind == res::ControlKind::Label) {
            narrowToFit(static_cast<QLabel*>(widget));
        }
        if (control.kind == res::ControlKind::GroupBox) {
            widget->lower();
        }
        if (control.style & res::kTabStop) {
            widget->setFocusPolicy(Qt::StrongFocus);
            if (previousTabStop) {
                QWidget::setTabOrder(previousTabStop, widget);
            }
            previousTabStop = widget;
        } else if (control.kind == res::ControlKind::Label || control.kind == res::ControlKind::GroupBox ||
                   control.kind == res::ControlKind::Icon) {
            widget->setFocusPolicy(Qt::NoFocus);
        } else {
            widget->setFocusPolicy(Qt::ClickFocus);
        }
        if (control.style & res::kDefault) {
            if (auto* button = qobject_cast<QPushButton*>(widget)) {
                button->setDefault(true);
            }
        }
        widget->setEnabled(!(control.style & res::kDisabled));
        widget->setVisible(!(control.style & res::kHidden));
    }
    return true;
}

QPushButton* templateDefaultButton(QWidget* dialog) {
    for (QPushButton* button : dialog->findChildren<QPushButton*>()) {
        if (button->isDefault()) {
            return button;
        }
    }
    return nullptr;
}

void focusFirstTabStop(QWidget* dialog) {
    QWidget* first = nullptr;
    for (QWidget* child : dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (child->focusPolicy() == Qt::StrongFocus && !child->isHidden() && child->isEnabled()) {
            first = child;
            break;
        }
    }
    if (first) {
        first->setFocus(Qt::TabFocusReason);
    }
}

} // namespace DialogBuilder
