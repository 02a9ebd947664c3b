#pragma once

#include "platform/TextLogPosition.h"

#include <QBasicTimer>
#include <QObject>
#include <QPointF>
#include <QRectF>

#include <cstddef>
#include <optional>

class QPlainTextEdit;
class TextLogLayouts;

// Scrolls the light view by lines of the log, as QPlainTextEdit scrolls by blocks, and knows where each shown line
// is: the top of the view, the scroll bar, and the frames in which both are brought up to date. Changes are settled
// at most once a frame (16 ms), so lines that pass unseen in a flood are never laid out; anything that needs the
// view as it will be drawn settles first.
class TextLogScroller : public QObject {
public:
    TextLogScroller(const TextLogLayouts& layouts, const TextLogSelection& selection, QPlainTextEdit& edit);

    TextLogTop top() const { return m_top; }
    // Whether the view shows the end of the text as the last frame laid it out. Lines added since then move neither
    // the top nor that end, so a flood asks this once a line without laying anything out.
    bool showsEnd() const { return m_top >= m_endTop; }
    // Back to the top of the text.
    void reset() { m_top = m_endTop = {}; }
    // No more frames: the editor draws its own text.
    void stop() { m_frame.stop(); }
    // The lines wrap anew: the top line is shown from its start.
    void wrapChanged() { m_top.subLine = 0; }

    // The text or the caret changed: the next frame brings the view up to date (and the caret into view when
    // `showCaret`) and draws it.
    void changed(bool showCaret);
    // Does now what the next frame would do to the top and the scroll bar.
    void settle();
    // Brings the scroll range and the top (and the caret into view when wanted) up to date whether or not anything
    // changed.
    void relayout(bool showCaret = false);
    void applyScrollBar();
    // While set, the scroll bar is being set for the view, not moved by the user.
    void ignoreScrollBar(bool ignore) { m_ignoringScrollBar = ignore; }
    // The scroll bar moved: the top follows it.
    void followScrollBar();
    // A click above or below the slider pages by the lines in view. Connected after the editor's own handler, which
    // pages through the editor's empty text; this sets the slider where the light view pages to.
    void pageByScrollBar(int action);

    void setTop(TextLogTop top);
    // Scrolls as little as shows `position`; the scroll bar follows with the next relayout().
    void ensureVisible(TextLogPosition position);
    // Scrolls as little as shows `position`, now.
    void scrollTo(TextLogPosition position);
    // Scrolls a page down or up as the editor does for its Page keys and returns where the caret goes: the point at
    // `x` and the caret's height in the view, or the first or last line when there is no page left.
    TextLogPosition page(TextLogPosition from, bool down, qreal x);

    // Where the top line's first shown visual line begins.
    qreal topY() const;
    // Where `line` begins, if it is shown or near.
    std::optional<qreal> lineTopY(std::size_t line) const;
    // The place a click at `point` of the viewport lands on, as the editor hits a block.
    TextLogPosition hit(const QPointF& point) const;
    QRectF caretRect(TextLogPosition position) const;
    // The top that shows the bottom of `line`'s visual line at the bottom edge, and as much as fits above it.
    TextLogTop topShowingBottomOf(std::size_t line, int visualLine) const;

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    TextLogTop endTop() const;
    qreal viewHeight() const;

    const TextLogLayouts& m_layouts;
    const TextLogSelection& m_selection;
    QPlainTextEdit& m_edit;

    TextLogTop m_top;
    TextLogTop m_endTop;
    bool m_dirty = false;
    bool m_caretWanted = false;
    bool m_ignoringScrollBar = false;
    QBasicTimer m_frame;
};
