#pragma once

#include "platform/ShownText.h"

#include <QPlainTextEdit>

#include <cstddef>
#include <memory>

class TextLog;

// The multi-line edit control. While it shows a TextLog (showLog) it keeps no text of its own: it draws the lines in
// view straight from the log's bytes, converting only those (with a small cache), and scrolls by lines of the log
// the way QPlainTextEdit scrolls by blocks. Selecting, copying, scrolling, the caret, input methods and screen
// readers work on that view. The first change the user makes (typing, pasting, cutting, deleting, dropping) hands
// the whole text to the ordinary editor underneath, once; the next showLog() returns to the light view. Anything
// else (setPlainText and the rest of QPlainTextEdit) is the ordinary editor.
//
// The light view is made of parts, each in its own file: TextLogContent (the lines), TextLogLayouts (laid out on
// demand), TextLogOffsets (character offsets), TextLogScroller (top, scroll bar, frames), TextLogCaret (caret,
// keys, blink), TextLogMouse (clicks and drags); LightShownText and EditorShownText answer for the text in each mode.
class TextLogView : public QPlainTextEdit {
public:
    explicit TextLogView(QWidget* parent = nullptr);
    ~TextLogView() override;

    // Shows the log as it is now, without copying it, and ends any editing (the editor's text and undo history go).
    // A reader who had scrolled away from the end or selected text keeps the lines in view and the selection.
    void showLog(const TextLog& log);
    bool showsLog() const { return m_light; }
    // Ends the light view: the control is the ordinary editor again, with an empty text, ready for setPlainText().
    void stopShowingLog();
    // Hands the whole text, the selection and the scroll position to the ordinary editor so that it can be changed.
    void beginEditing();

    // The text as shown: lines joined by LF, invalid bytes as U+FFFD.
    QString shownText() const { return m_shown->text(); }
    // Windows edit-control selection: characters `start` to `end` (-1 = the end); a start of -1 only removes the
    // selection. Positions count UTF-16 units of the text as shown, with LF between lines.
    void select(int start, int end) { m_shown->select(start, end); }
    void scrollToCaret() { m_shown->scrollToCaret(); }
    // Caret to the end, no selection, the last line in view.
    void moveToEnd() { m_shown->moveToEnd(); }
    // As moveToEnd(), unless the reader was reading back when showLog() last added lines: new lines follow the end
    // only while the end was in view and nothing was selected.
    void followEnd() {
        if (!m_light || !m_readingBack) {
            moveToEnd();
        }
    }
    void scrollToOffset(int offset) { m_shown->scrollToOffset(offset); }

    // Screen-reader and test view of the text in either mode (UTF-16 offsets as above). The geometry settles any
    // scrolling still due with the next frame first.
    int characterCount() const { return m_shown->characterCount(); }
    QString textRange(int start, int end) const { return m_shown->textRange(start, end); }
    int caretOffset() const { return m_shown->caretOffset(); }
    void selectionOffsets(int* start, int* end) const { m_shown->selectionOffsets(start, end); }
    QRect characterRect(int offset) { return m_shown->characterRect(offset); }
    int offsetAtPoint(const QPoint& point) { return m_shown->offsetAtPoint(point); }

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;
    void scrollContentsBy(int dx, int dy) override;

private:
    struct Parts;

    void enterLight();
    void leaveLight(bool relayoutNow);
    // Lays the log's lines out for the editor's font and the viewport's width as they are now.
    void resetLayouts();
    // Hands the text to the editor and removes the selection there.
    void deleteSelection();
    // A drop into the light view is taken where the editor would take it (it then hands the text over).
    void acceptDropIfEditable(QDragMoveEvent* event);
    void notifyAccessibility(std::size_t firstNewLine);

    std::unique_ptr<Parts> m_parts;
    // The text as the program and screen readers see it: the editor's or the light view's.
    ShownText* m_shown = nullptr;
    bool m_light = false;
    bool m_readingBack = false;
    bool m_ownChange = false;
    int m_layoutWidth = -1;
    QMetaObject::Connection m_paging;
};
