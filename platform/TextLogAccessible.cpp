#include "TextLogAccessible.h"

#include "platform/TextLogView.h"

#include <QTextCursor>

namespace {

QAccessibleInterface* accessibleFactory(const QString& className, QObject* object) {
    // The view has no meta-object of its own, so Qt asks under QPlainTextEdit's name.
    if (className == QLatin1String("QPlainTextEdit")) {
        if (auto* view = dynamic_cast<TextLogView*>(object)) {
            return new TextLogAccessible(view);
        }
    }
    return nullptr;
}

} // namespace

TextLogAccessible::TextLogAccessible(TextLogView* view) : QAccessibleWidget(view, QAccessible::EditableText) {}

void TextLogAccessible::installFactory() {
    static const bool installed = [] {
        QAccessible::installFactory(accessibleFactory);
        return true;
    }();
    (void)installed;
}

TextLogView* TextLogAccessible::view() const {
    return static_cast<TextLogView*>(widget());
}

void* TextLogAccessible::interface_cast(QAccessible::InterfaceType type) {
    if (type == QAccessible::TextInterface) {
        return static_cast<QAccessibleTextInterface*>(this);
    }
    if (type == QAccessible::EditableTextInterface) {
        return static_cast<QAccessibleEditableTextInterface*>(this);
    }
    return QAccessibleWidget::interface_cast(type);
}

QAccessible::State TextLogAccessible::state() const {
    QAccessible::State state = QAccessibleWidget::state();
    state.multiLine = true;
    state.selectableText = true;
    state.editable = !view()->isReadOnly();
    state.readOnly = view()->isReadOnly();
    return state;
}

QString TextLogAccessible::text(QAccessible::Text type) const {
    return type == QAccessible::Value ? view()->shownText() : QAccessibleWidget::text(type);
}

void TextLogAccessible::selection(int index, int* start, int* end) const {
    *start = *end = 0;
    if (index == 0) {
        view()->selectionOffsets(start, end);
    }
}

int TextLogAccessible::selectionCount() const {
    int start = 0;
    int end = 0;
    view()->selectionOffsets(&start, &end);
    return start == end ? 0 : 1;
}

void TextLogAccessible::addSelection(int start, int end) {
    view()->select(start, end);
}

void TextLogAccessible::removeSelection(int) {
    view()->select(-1, -1);
}

void TextLogAccessible::setSelection(int, int start, int end) {
    view()->select(start, end);
}

int TextLogAccessible::cursorPosition() const {
    return view()->caretOffset();
}

void TextLogAccessible::setCursorPosition(int position) {
    view()->select(position, position);
}

QString TextLogAccessible::text(int start, int end) const {
    return view()->textRange(start, end);
}

int TextLogAccessible::characterCount() const {
    return view()->characterCount();
}

QRect TextLogAccessible::characterRect(int offset) const {
    QRect rect = view()->characterRect(offset);
    return rect.translated(view()->viewport()->mapToGlobal(QPoint(0, 0)));
}

int TextLogAccessible::offsetAtPoint(const QPoint& point) const {
    return view()->offsetAtPoint(view()->viewport()->mapFromGlobal(point));
}

void TextLogAccessible::scrollToSubstring(int start, int) {
    view()->scrollToOffset(start);
}

QString TextLogAccessible::attributes(int offset, int* start, int* end) const {
    *start = *end = offset;
    return {};
}

void TextLogAccessible::deleteText(int start, int end) {
    replaceText(start, end, QString());
}

void TextLogAccessible::insertText(int offset, const QString& text) {
    replaceText(offset, offset, text);
}

void TextLogAccessible::replaceText(int start, int end, const QString& text) {
    TextLogView* edit = view();
    edit->beginEditing();
    QTextCursor cursor(edit->document());
    cursor.setPosition(start);
    cursor.setPosition(end, QTextCursor::KeepAnchor);
    cursor.insertText(text);
}
