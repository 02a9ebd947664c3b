#include "TextLogCaret.h"

#include "platform/TextLogContent.h"
#include "platform/TextLogLayouts.h"
#include "platform/TextLogMimeData.h"
#include "platform/TextLogOffsets.h"
#include "platform/TextLogScroller.h"

#include <QAccessible>
#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QStyleHints>
#include <QTextLayout>

TextLogCaret::TextLogCaret(TextLogSelection& selection, const TextLogLayouts& layouts, const TextLogOffsets& offsets,
                           TextLogScroller& scroller, QPlainTextEdit& edit)
    : m_selection(selection), m_layouts(layouts), m_offsets(offsets), m_scroller(scroller), m_edit(edit) {}

void TextLogCaret::reset() {
    m_selection = {};
    m_desiredX = -1;
}

void TextLogCaret::clamp() {
    // Column 0 needs no clamping: after moveToEnd() the caret is at the start of the line that has just been filled,
    // and measuring that line would convert it once for the anchor and again for the caret.
    std::size_t last = m_layouts.content().lastLine();
    for (TextLogPosition* position : {&m_selection.anchor, &m_selection.caret}) {
        position->line = std::min(position->line, last);
        if (position->column > 0) {
            position->column = std::min(position->column, m_layouts.length(position->line));
        }
    }
}

void TextLogCaret::setCaret(TextLogPosition position, bool keepAnchor) {
    m_selection.caret = position;
    if (!keepAnchor) {
        m_selection.anchor = position;
    }
    restartBlink();
    m_edit.viewport()->update();
    if (QAccessible::isActive()) {
        QAccessibleTextCursorEvent event(&m_edit, static_cast<int>(m_offsets.offsetOf(m_selection.caret)));
        QAccessible::updateAccessibility(&event);
    }
}

void TextLogCaret::moveToEnd() {
    m_selection.anchor = m_selection.caret = m_layouts.textEnd();
    m_desiredX = -1;
}

qreal TextLogCaret::caretX(TextLogPosition position) const {
    QTextLine line = m_layouts.layout(position.line).lineForTextPosition(position.column);
    return line.isValid() ? line.cursorToX(position.column) : 0;
}

TextLogPosition TextLogCaret::moved(TextLogPosition from, int key, bool word, qreal x) {
    const QTextLayout& layout = m_layouts.layout(from.line);
    std::size_t last = m_layouts.content().lastLine();
    int length = static_cast<int>(layout.text().size());
    QTextLayout::CursorMode skip = word ? QTextLayout::SkipWords : QTextLayout::SkipCharacters;
    switch (key) {
    case Qt::Key_Right:
        if (from.column < length) {
            return {from.line, layout.nextCursorPosition(from.column, skip)};
        }
        return from.line < last ? TextLogPosition{from.line + 1, 0} : from;
    case Qt::Key_Left:
        if (from.column > 0) {
            return {from.line, layout.previousCursorPosition(from.column, skip)};
        }
        return from.line > 0 ? TextLogPosition{from.line - 1, m_layouts.length(from.line - 1)} : from;
    case Qt::Key_Home:
        return word ? TextLogPosition{}
                    : TextLogPosition{from.line, layout.lineForTextPosition(from.column).textStart()};
    case Qt::Key_End: {
        if (word) {
            return m_layouts.textEnd();
        }
        QTextLine line = layout.lineForTextPosition(from.column);
        int end = line.textStart() + line.textLength();
        // A wrapped line ends before the space it was wrapped at.
        if (line.lineNumber() < layout.lineCount() - 1 && end > 0 && layout.text().at(end - 1).isSpace()) {
            --end;
        }
        return {from.line, end};
    }
    case Qt::Key_Up:
    case Qt::Key_Down: {
        QTextLine line = layout.lineForTextPosition(from.column);
        std::size_t target = from.line;
        int visual = line.lineNumber() + (key == Qt::Key_Down ? 1 : -1);
        if (visual < 0) {
            if (from.line == 0) {
                return from;
            }
            target = from.line - 1;
            visual = m_layouts.layout(target).lineCount() - 1;
        } else if (visual >= layout.lineCount()) {
            if (from.line == last) {
                return from;
            }
            target = from.line + 1;
            visual = 0;
        }
        return {target, m_layouts.layout(target).lineAt(visual).xToCursor(x)};
    }
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
        return m_scroller.page(from, key == Qt::Key_PageDown, x);
    default:
        return from;
    }
}

bool TextLogCaret::navigate(QKeyEvent* event) {
    struct Binding {
        QKeySequence::StandardKey key;
        int move;
        bool select;
        bool word;
    };
    static const Binding kBindings[] = {
        {QKeySequence::MoveToNextChar, Qt::Key_Right, false, false},
        {QKeySequence::MoveToPreviousChar, Qt::Key_Left, false, false},
        {QKeySequence::SelectNextChar, Qt::Key_Right, true, false},
        {QKeySequence::SelectPreviousChar, Qt::Key_Left, true, false},
        {QKeySequence::MoveToNextWord, Qt::Key_Right, false, true},
        {QKeySequence::MoveToPreviousWord, Qt::Key_Left, false, true},
        {QKeySequence::SelectNextWord, Qt::Key_Right, true, true},
        {QKeySequence::SelectPreviousWord, Qt::Key_Left, true, true},
        {QKeySequence::MoveToStartOfLine, Qt::Key_Home, false, false},
        {QKeySequence::MoveToEndOfLine, Qt::Key_End, false, false},
        {QKeySequence::SelectStartOfLine, Qt::Key_Home, true, false},
        {QKeySequence::SelectEndOfLine, Qt::Key_End, true, false},
        {QKeySequence::MoveToNextLine, Qt::Key_Down, false, false},
        {QKeySequence::MoveToPreviousLine, Qt::Key_Up, false, false},
        {QKeySequence::SelectNextLine, Qt::Key_Down, true, false},
        {QKeySequence::SelectPreviousLine, Qt::Key_Up, true, false},
        {QKeySequence::MoveToNextPage, Qt::Key_PageDown, false, false},
        {QKeySequence::MoveToPreviousPage, Qt::Key_PageUp, false, false},
        {QKeySequence::SelectNextPage, Qt::Key_PageDown, true, false},
        {QKeySequence::SelectPreviousPage, Qt::Key_PageUp, true, false},
        {QKeySequence::MoveToStartOfDocument, Qt::Key_Home, false, true},
        {QKeySequence::MoveToEndOfDocument, Qt::Key_End, false, true},
        {QKeySequence::SelectStartOfDocument, Qt::Key_Home, true, true},
        {QKeySequence::SelectEndOfDocument, Qt::Key_End, true, true},
    };
    for (const Binding& binding : kBindings) {
        if (!event->matches(binding.key)) {
            continue;
        }
        m_scroller.settle();
        bool vertical = binding.move == Qt::Key_Up || binding.move == Qt::Key_Down || binding.move == Qt::Key_PageUp ||
                        binding.move == Qt::Key_PageDown;
        // Measured from the layout before the move: a page scrolls the caret's old line out of view.
        if (!vertical) {
            m_desiredX = -1;
        } else if (m_desiredX < 0) {
            m_desiredX = caretX(m_selection.caret);
        }
        TextLogPosition target = moved(m_selection.caret, binding.move, binding.word, m_desiredX);
        setCaret(target, binding.select);
        m_scroller.relayout(true);
        if (binding.select) {
            copy(true);
        }
        return true;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
        return true;
    }
    if (event->matches(QKeySequence::Copy)) {
        copy(false);
        return true;
    }
    return false;
}

void TextLogCaret::selectAll() {
    m_selection.anchor = {};
    setCaret(m_layouts.textEnd(), true);
    copy(true);
}

QString TextLogCaret::selectedText() const {
    return m_layouts.content().textBetween(m_selection.start(), m_selection.end());
}

void TextLogCaret::copy(bool toSelectionClipboard) const {
    if (m_selection.isEmpty()) {
        return;
    }
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (toSelectionClipboard && !clipboard->supportsSelection()) {
        return;
    }
    clipboard->setMimeData(new TextLogMimeData(selectedText(), m_edit.document()->defaultFont()),
                           toSelectionClipboard ? QClipboard::Selection : QClipboard::Clipboard);
}

void TextLogCaret::restartBlink() {
    m_shown = m_edit.hasFocus();
    int flash = QGuiApplication::styleHints()->cursorFlashTime();
    if (m_shown && flash >= 2) {
        m_blink.start(flash / 2, this);
    } else {
        m_blink.stop();
    }
}

void TextLogCaret::hide() {
    m_blink.stop();
    m_shown = false;
}

void TextLogCaret::timerEvent(QTimerEvent* event) {
    if (event->timerId() != m_blink.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    m_shown = !m_shown;
    m_edit.viewport()->update(m_scroller.caretRect(m_selection.caret).toAlignedRect().adjusted(-1, -1, 1, 1));
}

QVariant TextLogCaret::inputMethodQuery(Qt::InputMethodQuery query) const {
    const TextLogPosition& caret = m_selection.caret;
    const TextLogPosition& anchor = m_selection.anchor;
    switch (query) {
    case Qt::ImCursorRectangle:
        return m_scroller.caretRect(caret);
    case Qt::ImAnchorRectangle:
        return m_scroller.caretRect(anchor);
    case Qt::ImFont:
        return m_edit.document()->defaultFont();
    case Qt::ImCursorPosition:
        return caret.column;
    case Qt::ImAnchorPosition:
        return anchor.line == caret.line ? anchor.column : (anchor < caret ? 0 : m_layouts.length(caret.line));
    case Qt::ImSurroundingText:
        return m_layouts.layout(caret.line).text();
    case Qt::ImCurrentSelection:
        return selectedText();
    case Qt::ImAbsolutePosition:
        return static_cast<qlonglong>(m_offsets.offsetOf(caret));
    case Qt::ImTextBeforeCursor:
        return m_layouts.layout(caret.line).text().left(caret.column);
    case Qt::ImTextAfterCursor:
        return m_layouts.layout(caret.line).text().mid(caret.column);
    default:
        return {};
    }
}
