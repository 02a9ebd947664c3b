#include "TextLogMouse.h"

#include "platform/TextLogCaret.h"
#include "platform/TextLogContent.h"
#include "platform/TextLogLayouts.h"
#include "platform/TextLogMimeData.h"
#include "platform/TextLogScroller.h"

#include <QApplication>
#include <QDrag>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBoundaryFinder>
#include <QTextLayout>

#include <algorithm>

namespace {

constexpr int kAutoScrollMs = 100;

} // namespace

TextLogMouse::TextLogMouse(const TextLogLayouts& layouts, TextLogScroller& scroller, TextLogCaret& caret,
                           QPlainTextEdit& edit)
    : m_layouts(layouts), m_scroller(scroller), m_caret(caret), m_edit(edit) {}

void TextLogMouse::press(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        return;
    }
    TextLogPosition at = m_scroller.hit(event->position());
    m_pressPoint = event->position().toPoint();
    m_caret.forgetColumn();
    if (m_tripleClick.isActive() &&
        (m_pressPoint - m_tripleClickPoint).manhattanLength() < QApplication::startDragDistance()) {
        // A third click selects the whole line with its line end.
        m_tripleClick.stop();
        m_caret.setAnchor({at.line, 0});
        bool last = at.line == m_layouts.content().lastLine();
        m_caret.setCaret(last ? TextLogPosition{at.line, m_layouts.length(at.line)} : TextLogPosition{at.line + 1, 0},
                         true);
        m_selectingWords = false;
        return;
    }
    const TextLogSelection& selection = m_caret.selection();
    if (!(event->modifiers() & Qt::ShiftModifier) && !selection.isEmpty() && selection.start() <= at &&
        at < selection.end()) {
        m_mayDrag = true;
        return;
    }
    m_selectingWords = false;
    m_caret.setCaret(at, event->modifiers() & Qt::ShiftModifier);
}

bool TextLogMouse::move(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton)) {
        return false;
    }
    m_lastMouse = event->position().toPoint();
    if (m_mayDrag) {
        return (m_lastMouse - m_pressPoint).manhattanLength() >= QApplication::startDragDistance() && drag();
    }
    m_scroller.settle();
    TextLogPosition at = m_scroller.hit(event->position());
    if (m_selectingWords) {
        // After a double click the selection grows by whole words.
        QTextBoundaryFinder words(QTextBoundaryFinder::Word, m_layouts.layout(at.line).text());
        words.setPosition(at.column);
        bool before = at < m_caret.selection().anchor;
        if (!words.isAtBoundary()) {
            at.column = static_cast<int>(before ? words.toPreviousBoundary() : words.toNextBoundary());
        }
        if (before) {
            m_caret.setAnchor(m_wordAnchorEnd);
        }
    }
    m_caret.setCaret(at, true);
    if (m_edit.viewport()->rect().contains(m_lastMouse)) {
        m_autoScroll.stop();
    } else if (!m_autoScroll.isActive()) {
        m_autoScroll.start(kAutoScrollMs, this);
    }
    return false;
}

bool TextLogMouse::drag() {
    m_mayDrag = false;
    auto* drag = new QDrag(&m_edit);
    drag->setMimeData(new TextLogMimeData(m_caret.selectedText(), m_edit.document()->defaultFont()));
    Qt::DropActions actions = m_edit.isReadOnly() ? Qt::CopyAction : (Qt::CopyAction | Qt::MoveAction);
    Qt::DropAction action = drag->exec(actions, Qt::MoveAction);
    // Moved out to somewhere else: the text leaves this control as the editor would let it.
    return action == Qt::MoveAction && drag->target() != &m_edit && drag->target() != m_edit.viewport();
}

void TextLogMouse::release(QMouseEvent* event) {
    m_autoScroll.stop();
    if (m_mayDrag) {
        m_mayDrag = false;
        m_caret.setCaret(m_scroller.hit(event->position()), false);
    }
    if (event->button() == Qt::LeftButton) {
        m_caret.copy(true);
    }
}

void TextLogMouse::doubleClick(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        return;
    }
    m_scroller.settle();
    TextLogPosition at = m_scroller.hit(event->position());
    QTextBoundaryFinder words(QTextBoundaryFinder::Word, m_layouts.layout(at.line).text());
    words.setPosition(at.column);
    int start = at.column;
    if (!(words.boundaryReasons() & QTextBoundaryFinder::StartOfItem)) {
        start = static_cast<int>(words.toPreviousBoundary());
    }
    words.setPosition(start);
    int end = static_cast<int>(words.toNextBoundary());
    m_caret.setAnchor({at.line, std::max(start, 0)});
    m_wordAnchorEnd = {at.line, end < 0 ? m_layouts.length(at.line) : end};
    m_caret.setCaret(m_wordAnchorEnd, true);
    m_selectingWords = true;
    m_tripleClick.start(QApplication::doubleClickInterval(), this);
    m_tripleClickPoint = event->position().toPoint();
    m_caret.copy(true);
}

void TextLogMouse::timerEvent(QTimerEvent* event) {
    if (event->timerId() == m_tripleClick.timerId()) {
        m_tripleClick.stop();
    } else if (event->timerId() == m_autoScroll.timerId()) {
        QRect visible = m_edit.viewport()->rect();
        if (m_lastMouse.y() < visible.top()) {
            m_edit.verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
        } else if (m_lastMouse.y() > visible.bottom()) {
            m_edit.verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        }
        m_caret.setCaret(m_scroller.hit(QPointF(m_lastMouse.x(), std::clamp(m_lastMouse.y(), 0, visible.bottom()))),
                         true);
    } else {
        QObject::timerEvent(event);
    }
}
