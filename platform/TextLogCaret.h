#pragma once

#include "platform/TextLogPosition.h"

#include <QBasicTimer>
#include <QObject>
#include <QString>
#include <QVariant>

class QKeyEvent;
class QPlainTextEdit;
class TextLogLayouts;
class TextLogOffsets;
class TextLogScroller;

// The light view's caret and selection: where the keys move them (as the editor's own key bindings do), the blink,
// what is copied, and what input methods are told about the text around the caret.
class TextLogCaret : public QObject {
public:
    TextLogCaret(TextLogSelection& selection, const TextLogLayouts& layouts, const TextLogOffsets& offsets,
                 TextLogScroller& scroller, QPlainTextEdit& edit);

    const TextLogSelection& selection() const { return m_selection; }
    // Caret at the start, no selection, no column remembered for Up and Down.
    void reset();
    // Keeps the caret and the anchor inside a text that changed.
    void clamp();
    // Moves the caret (and with it the anchor, unless kept), shows it and tells screen readers.
    void setCaret(TextLogPosition position, bool keepAnchor);
    void setAnchor(TextLogPosition position) { m_selection.anchor = position; }
    // Caret to the end without a selection; the view scrolls there with its next frame.
    void moveToEnd();
    // The next Up or Down starts from the caret's own column.
    void forgetColumn() { m_desiredX = -1; }

    // Takes a key that moves the caret, selects or copies; returns false for any other key.
    bool navigate(QKeyEvent* event);
    void selectAll();
    QString selectedText() const;
    // Copies the selection, if there is one, to the clipboard or to the selection clipboard (where there is one).
    void copy(bool toSelectionClipboard) const;

    bool isShown() const { return m_shown; }
    // The caret shows and blinks while the control has focus.
    void restartBlink();
    void hide();

    QVariant inputMethodQuery(Qt::InputMethodQuery query) const;

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    // Where `key` moves the caret from `from`; `word` (Ctrl) moves Left and Right by words and Home and End to the
    // start and end of the whole text. Up, Down and the Page keys aim at `x` across the line; Page Up and Down
    // scroll the view too.
    TextLogPosition moved(TextLogPosition from, int key, bool word, qreal x);
    // Where the caret at `position` stands across its line, whether or not the line is in view.
    qreal caretX(TextLogPosition position) const;

    TextLogSelection& m_selection;
    const TextLogLayouts& m_layouts;
    const TextLogOffsets& m_offsets;
    TextLogScroller& m_scroller;
    QPlainTextEdit& m_edit;

    qreal m_desiredX = -1;
    QBasicTimer m_blink;
    bool m_shown = false;
};
