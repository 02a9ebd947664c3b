#pragma once

#include "platform/TextLog.h"
#include "platform/TextLogLines.h"

#include <QBasicTimer>
#include <QPlainTextEdit>

#include <list>
#include <memory>
#include <optional>
#include <unordered_map>

class QTextLayout;

// The multi-line edit control. While it shows a TextLog (showLog) it keeps no text of its own: it draws the lines in
// view straight from the log's bytes, converting only those (with a small cache), and scrolls by lines of the log
// the way QPlainTextEdit scrolls by blocks. Selecting, copying, scrolling, the caret, input methods and screen
// readers work on that view. The first change the user makes (typing, pasting, cutting, deleting, dropping) hands
// the whole text to the ordinary editor underneath, once; the next showLog() returns to the light view. Anything
// else (setPlainText and the rest of QPlainTextEdit) is the ordinary editor.
class TextLogView : public QPlainTextEdit {
public:
    explicit TextLogView(QWidget* parent = nullptr);
    ~TextLogView() override;

    // Shows the log as it is now, without copying it, and ends any editing (the editor's text and undo history go).
    void showLog(const TextLog& log);
    bool showsLog() const { return m_light; }
    // Ends the light view: the control is the ordinary editor again, with an empty text, ready for setPlainText().
    void stopShowingLog();
    // Hands the whole text, the selection and the scroll position to the ordinary editor so that it can be changed.
    void beginEditing();

    // The text as shown: lines joined by LF, invalid bytes as U+FFFD.
    QString shownText() const;
    // Windows edit-control selection: characters `start` to `end` (-1 = the end); a start of -1 only removes the
    // selection. Positions count UTF-16 units of the text as shown, with LF between lines.
    void select(int start, int end);
    void scrollToCaret();
    // Caret to the end, no selection, the last line in view.
    void moveToEnd();
    void scrollToOffset(int offset);

    // Screen-reader and test view of the text in either mode (UTF-16 offsets as above).
    int characterCount() const;
    QString textRange(int start, int end) const;
    int caretOffset() const;
    void selectionOffsets(int* start, int* end) const;
    QRect characterRect(int offset) const;
    int offsetAtPoint(const QPoint& point) const;

protected:
    bool event(QEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
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
    // A place in the text: a line of the log and a UTF-16 column in its text as shown.
    struct Position {
        std::size_t line = 0;
        int column = 0;
        friend auto operator<=>(const Position&, const Position&) = default;
    };
    // The top of the view: a line and the first of its wrapped (visual) lines that is shown.
    struct Top {
        std::size_t line = 0;
        int subLine = 0;
        friend auto operator<=>(const Top&, const Top&) = default;
    };

    void enterLight();
    void leaveLight(bool relayoutNow);
    QString lineText(std::size_t line) const;
    QTextLayout& layoutOf(std::size_t line) const;
    // Drops one line's layout from the cache (its text changed, or the cache is full), or all of them (a new text,
    // width or font).
    void forgetLayout(std::size_t line) const;
    void forgetLayouts();
    qreal lineHeight(std::size_t line) const;
    qreal topY() const;
    std::size_t lastLine() const { return m_lines.count() - 1; }
    int lineLength(std::size_t line) const;
    // After the last character of the text.
    Position textEnd() const { return {lastLine(), lineLength(lastLine())}; }

    void changed(bool ensureCaretVisible);
    // Brings the scroll range and the top (and the caret into view, when wanted) up to date if anything changed;
    // relayout() does so whether or not anything did.
    void settle() const;
    void relayout() const;
    void applyScrollBar() const;
    Top endTop() const;
    Top topShowingBottomOf(std::size_t line, int visualLine) const;
    void ensureVisible(Position position) const;
    void setTop(Top top);

    Position hit(const QPointF& point) const;
    QRectF caretRect(Position position) const;
    std::optional<qreal> lineTopY(std::size_t line) const;
    void setCaret(Position position, bool keepAnchor);
    bool hasSelection() const { return m_anchor != m_caret; }
    Position selectionStart() const { return std::min(m_anchor, m_caret); }
    Position selectionEnd() const { return std::max(m_anchor, m_caret); }
    // The text as shown from `from` to `to`, lines joined by LF.
    QString textBetween(Position from, Position to) const;
    QString selectedText() const;
    void copySelection(bool toSelectionClipboard) const;
    void selectAllText();
    bool handleNavigationKey(QKeyEvent* event);
    // Where `key` moves the caret from `from`; `word` (Ctrl) moves Left and Right by words and Home and End to the
    // start and end of the whole text.
    Position moved(Position from, int key, bool word) const;
    void startDrag();
    // Hands the text to the editor and removes the selection there.
    void deleteSelection();
    // A drop into the light view is taken where the editor would take it (it then hands the text over).
    void acceptDropIfEditable(QDragMoveEvent* event);

    std::size_t offsetOf(Position position) const;
    Position positionAt(std::size_t offset) const;
    void ensureCharBases() const;
    void resetBlink();
    void notifyAccessibility(std::size_t firstNewLine);

    bool m_light = false;
    bool m_ownChange = false;
    std::shared_ptr<const TextLog::Bytes> m_bytes;
    TextLogLines m_lines;

    Position m_anchor;
    Position m_caret;
    qreal m_desiredX = -1;
    mutable Top m_top;
    mutable bool m_dirty = false;
    mutable bool m_caretWanted = false;
    mutable Top m_endTop;
    mutable bool m_applyingScrollBar = false;

    mutable std::unordered_map<std::size_t, std::pair<std::unique_ptr<QTextLayout>, std::list<std::size_t>::iterator>>
        m_layouts;
    mutable std::list<std::size_t> m_layoutOrder;
    int m_layoutWidth = -1;
    // UTF-16 offset of every kCharBlock-th line, filled on demand (screen readers and explicit selections).
    mutable std::vector<std::size_t> m_charBases;

    QBasicTimer m_frameTimer;
    QBasicTimer m_blinkTimer;
    QBasicTimer m_scrollTimer;
    QBasicTimer m_tripleClick;
    QPoint m_tripleClickPoint;
    bool m_pagingDetached = false;
    bool m_caretOn = false;
    bool m_selectingWords = false;
    Position m_wordAnchorEnd;
    bool m_mayDrag = false;
    QPoint m_pressPoint;
    QPoint m_lastMouse;
};
