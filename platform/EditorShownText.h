#pragma once

#include "platform/ShownText.h"

#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTextDocumentFragment>

#include <algorithm>

// The shown text while the control is the ordinary editor: the editor's own document and cursor.
class EditorShownText : public ShownText {
public:
    explicit EditorShownText(QPlainTextEdit& edit) : m_edit(edit) {}

    QString text() const override { return m_edit.toPlainText(); }
    int characterCount() const override { return m_edit.document()->characterCount() - 1; }
    QString textRange(int start, int end) const override {
        QTextCursor cursor(m_edit.document());
        int last = characterCount();
        cursor.setPosition(std::clamp(start, 0, last));
        cursor.setPosition(std::clamp(end, 0, last), QTextCursor::KeepAnchor);
        return cursor.selection().toPlainText();
    }
    int caretOffset() const override { return m_edit.textCursor().position(); }
    void selectionOffsets(int* start, int* end) const override {
        *start = m_edit.textCursor().selectionStart();
        *end = m_edit.textCursor().selectionEnd();
    }
    QRect characterRect(int offset) override {
        QTextCursor cursor(m_edit.document());
        cursor.setPosition(std::clamp(offset, 0, characterCount()));
        return m_edit.cursorRect(cursor);
    }
    int offsetAtPoint(const QPoint& point) override { return m_edit.cursorForPosition(point).position(); }
    void select(int start, int end) override {
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
    void scrollToCaret() override { m_edit.ensureCursorVisible(); }
    void moveToEnd() override {
        QTextCursor cursor = m_edit.textCursor();
        cursor.movePosition(QTextCursor::End);
        m_edit.setTextCursor(cursor);
        m_edit.ensureCursorVisible();
    }
    void scrollToOffset(int offset) override {
        QTextCursor cursor(m_edit.document());
        cursor.setPosition(std::clamp(offset, 0, characterCount()));
        m_edit.setTextCursor(cursor);
        m_edit.ensureCursorVisible();
    }

private:
    QPlainTextEdit& m_edit;
};
