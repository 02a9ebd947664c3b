#include "EditorShownText.h"

#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTextDocumentFragment>

#include <algorithm>

QString EditorShownText::text() const {
    return m_edit.toPlainText();
}

int EditorShownText::characterCount() const {
    return m_edit.document()->characterCount() - 1;
}

QString EditorShownText::textRange(int start, int end) const {
    QTextCursor cursor(m_edit.document());
    int last = characterCount();
    cursor.setPosition(std::clamp(start, 0, last));
    cursor.setPosition(std::clamp(end, 0, last), QTextCursor::KeepAnchor);
    return cursor.selection().toPlainText();
}

int EditorShownText::caretOffset() const {
    return m_edit.textCursor().position();
}

void EditorShownText::selectionOffsets(int* start, int* end) const {
    *start = m_edit.textCursor().selectionStart();
    *end = m_edit.textCursor().selectionEnd();
}

QRect EditorShownText::characterRect(int offset) {
    QTextCursor cursor(m_edit.document());
    cursor.setPosition(std::clamp(offset, 0, characterCount()));
    return m_edit.cursorRect(cursor);
}

int EditorShownText::offsetAtPoint(const QPoint& point) {
    return m_edit.cursorForPosition(point).position();
}

void EditorShownText::select(int start, int end) {
    QTextCursor cursor = m_edit.textCursor();
    if (start == -1) {
        cursor.clearSelection();
    } else {
        cursor.movePosition(QTextCursor::End);
        int last = cursor.position();
        cursor.setPosition(std::min(start, last));
        cursor.setPosition(end < 0 ? last : std::min(end, last), QTextCursor::KeepAnchor);
    }
    m_edit.setTextCursor(cursor);
}

void EditorShownText::scrollToCaret() {
    m_edit.ensureCursorVisible();
}

void EditorShownText::moveToEnd() {
    QTextCursor cursor = m_edit.textCursor();
    cursor.movePosition(QTextCursor::End);
    m_edit.setTextCursor(cursor);
    m_edit.ensureCursorVisible();
}

void EditorShownText::scrollToOffset(int offset) {
    QTextCursor cursor(m_edit.document());
    cursor.setPosition(std::clamp(offset, 0, characterCount()));
    m_edit.setTextCursor(cursor);
    m_edit.ensureCursorVisible();
}
