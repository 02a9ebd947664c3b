#pragma once

#include "platform/TextLogPosition.h"

#include <QBasicTimer>
#include <QObject>
#include <QPoint>

class QMouseEvent;
class QPlainTextEdit;
class TextLogCaret;
class TextLogLayouts;
class TextLogScroller;

// The left mouse button in the light view, as in the editor: a click places the caret (Shift extends the
// selection), dragging selects and scrolls when it leaves the view, a double click selects a word and dragging on
// selects by words, a third click selects the line, and pressing inside the selection drags the text out.
class TextLogMouse : public QObject {
public:
    TextLogMouse(const TextLogLayouts& layouts, TextLogScroller& scroller, TextLogCaret& caret, QPlainTextEdit& edit);

    void press(QMouseEvent* event);
    // Returns true when the selected text was dragged out of the control as a move: the caller removes it here.
    bool move(QMouseEvent* event);
    void release(QMouseEvent* event);
    void doubleClick(QMouseEvent* event);
    // Stops scrolling towards the pointer (the view hands its text to the editor).
    void stop() { m_autoScroll.stop(); }

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    bool drag();

    const TextLogLayouts& m_layouts;
    TextLogScroller& m_scroller;
    TextLogCaret& m_caret;
    QPlainTextEdit& m_edit;

    QBasicTimer m_autoScroll;
    QBasicTimer m_tripleClick;
    QPoint m_tripleClickPoint;
    bool m_selectingWords = false;
    TextLogPosition m_wordAnchorEnd;
    bool m_mayDrag = false;
    QPoint m_pressPoint;
    QPoint m_lastMouse;
};
