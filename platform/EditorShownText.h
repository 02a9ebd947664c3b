#pragma once

#include "platform/ShownText.h"

class QPlainTextEdit;

// The shown text while the control is the ordinary editor: the editor's own document and cursor.
class EditorShownText : public ShownText {
public:
    explicit EditorShownText(QPlainTextEdit& edit) : m_edit(edit) {}

    QString text() const override;
    int characterCount() const override;
    QString textRange(int start, int end) const override;
    int caretOffset() const override;
    void selectionOffsets(int* start, int* end) const override;
    QRect characterRect(int offset) override;
    int offsetAtPoint(const QPoint& point) override;
    void select(int start, int end) override;
    void scrollToCaret() override;
    void moveToEnd() override;
    void scrollToOffset(int offset) override;

private:
    QPlainTextEdit& m_edit;
};
