#pragma once

#include <QPoint>
#include <QRect>
#include <QString>

// The text of a multi-line edit as the program, screen readers and tests see it, whichever way the control holds
// it: offsets count UTF-16 units of the text as shown, with LF between lines.
class ShownText {
public:
    virtual ~ShownText() = default;

    // Lines joined by LF, invalid bytes as U+FFFD.
    virtual QString text() const = 0;
    virtual int characterCount() const = 0;
    virtual QString textRange(int start, int end) const = 0;
    virtual int caretOffset() const = 0;
    virtual void selectionOffsets(int* start, int* end) const = 0;
    // Where the character at `offset` is drawn, in viewport coordinates; empty when it is out of view.
    virtual QRect characterRect(int offset) = 0;
    virtual int offsetAtPoint(const QPoint& point) = 0;

    // Windows edit-control selection: characters `start` to `end` (-1 = the end); a start of -1 only removes the
    // selection.
    virtual void select(int start, int end) = 0;
    virtual void scrollToCaret() = 0;
    // Caret to the end, no selection, the last line in view.
    virtual void moveToEnd() = 0;
    virtual void scrollToOffset(int offset) = 0;
};
