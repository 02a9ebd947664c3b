#include "TextLogScroller.h"

#include "platform/TextLogContent.h"
#include "platform/TextLogLayouts.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextLayout>

#include <algorithm>
#include <climits>

namespace {

constexpr int kFrameMs = 16;

int clampToInt(std::size_t value) {
    return static_cast<int>(std::min<std::size_t>(value, INT_MAX));
}

} // namespace

TextLogScroller::TextLogScroller(const TextLogLayouts& layouts, const TextLogSelection& selection, QPlainTextEdit& edit)
    : m_layouts(layouts), m_selection(selection), m_edit(edit) {}

qreal TextLogScroller::viewHeight() const {
    return m_edit.viewport()->height();
}

void TextLogScroller::changed(bool showCaret) {
    m_dirty = true;
    m_caretWanted = m_caretWanted || showCaret;
    if (!m_frame.isActive()) {
        m_frame.start(kFrameMs, this);
    }
}

void TextLogScroller::timerEvent(QTimerEvent* event) {
    if (event->timerId() != m_frame.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    m_frame.stop();
    settle();
    m_edit.viewport()->update();
}

void TextLogScroller::settle() {
    if (m_dirty) {
        relayout();
    }
}

void TextLogScroller::relayout(bool showCaret) {
    m_dirty = false;
    if (m_caretWanted || showCaret) {
        m_caretWanted = false;
        ensureVisible(m_selection.caret);
    }
    m_endTop = endTop();
    m_top = std::min(m_top, m_endTop);
    applyScrollBar();
}

void TextLogScroller::applyScrollBar() {
    QScrollBar* bar = m_edit.verticalScrollBar();
    m_ignoringScrollBar = true;
    bar->setRange(0, clampToInt(m_endTop.line));
    bar->setPageStep(
        static_cast<int>(std::clamp<std::size_t>(m_layouts.content().lastLine() - m_endTop.line, 1, INT_MAX)));
    bar->setSingleStep(1);
    bar->setValue(clampToInt(m_top.line));
    m_ignoringScrollBar = false;
}

void TextLogScroller::followScrollBar() {
    if (m_ignoringScrollBar) {
        return;
    }
    int value = m_edit.verticalScrollBar()->value();
    settle();
    setTop(static_cast<std::size_t>(value) >= m_endTop.line ? m_endTop
                                                            : TextLogTop{static_cast<std::size_t>(value), 0});
}

void TextLogScroller::pageByScrollBar(int action) {
    if (action != QAbstractSlider::SliderPageStepAdd && action != QAbstractSlider::SliderPageStepSub) {
        return;
    }
    QScrollBar* bar = m_edit.verticalScrollBar();
    qint64 step = action == QAbstractSlider::SliderPageStepAdd ? bar->pageStep() : -bar->pageStep();
    // The slider bounds the position; the value follows it when the action is done.
    bar->setSliderPosition(
        static_cast<int>(std::clamp<qint64>(clampToInt(m_top.line) + step, bar->minimum(), bar->maximum())));
}

TextLogTop TextLogScroller::endTop() const {
    std::size_t last = m_layouts.content().lastLine();
    return topShowingBottomOf(last, m_layouts.layout(last).lineCount() - 1);
}

TextLogTop TextLogScroller::topShowingBottomOf(std::size_t line, int visualLine) const {
    // The editor's own rule: the wanted line's bottom at the bottom edge, and as much as fits above it.
    qreal height = viewHeight();
    qreal h = m_layouts.layout(line).lineAt(visualLine).naturalTextRect().bottom();
    std::size_t block = line;
    std::size_t previous = line;
    while (h < height && block > 0) {
        previous = block;
        --block;
        h += m_layouts.height(block);
    }
    const QTextLayout& top = m_layouts.layout(block);
    qreal offset = block == 0 ? -m_layouts.format().margin : 0;
    int sub = 0;
    while (sub < top.lineCount() && h - offset - top.lineAt(sub).naturalTextRect().top() > height) {
        ++sub;
    }
    if (sub >= top.lineCount()) {
        return {previous, 0};
    }
    return {block, sub};
}

qreal TextLogScroller::topY() const {
    if (m_top.line == 0 && m_top.subLine == 0) {
        return m_layouts.format().margin;
    }
    return m_top.subLine == 0 ? 0 : -m_layouts.layout(m_top.line).lineAt(m_top.subLine - 1).naturalTextRect().bottom();
}

std::optional<qreal> TextLogScroller::lineTopY(std::size_t line) const {
    if (line < m_top.line) {
        return std::nullopt;
    }
    qreal y = topY();
    qreal limit = 2.0 * viewHeight();
    for (std::size_t at = m_top.line; at < line; ++at) {
        y += m_layouts.height(at);
        if (y > limit) {
            return std::nullopt;
        }
    }
    return y;
}

void TextLogScroller::ensureVisible(TextLogPosition position) {
    const QTextLayout& layout = m_layouts.layout(position.line);
    QTextLine line = layout.lineForTextPosition(position.column);
    int visual = line.isValid() ? line.lineNumber() : 0;
    if (TextLogTop{position.line, visual} < m_top) {
        m_top = {position.line, visual};
        return;
    }
    std::optional<qreal> y = lineTopY(position.line);
    if (!y || *y + layout.lineAt(visual).naturalTextRect().bottom() >= viewHeight()) {
        m_top = topShowingBottomOf(position.line, visual);
    }
}

void TextLogScroller::scrollTo(TextLogPosition position) {
    settle();
    ensureVisible(position);
    relayout();
    m_edit.viewport()->update();
}

void TextLogScroller::setTop(TextLogTop top) {
    m_top = std::min(top, m_endTop);
    applyScrollBar();
    m_edit.viewport()->update();
}

TextLogPosition TextLogScroller::page(TextLogPosition from, bool down, qreal x) {
    QRectF caret = caretRect(from);
    qreal y = caret.isNull() ? 0 : caret.center().y();
    TextLogTop top;
    if (down) {
        TextLogPosition bottom = hit(QPointF(0, viewHeight() - 1));
        top = {bottom.line, m_layouts.layout(bottom.line).lineForTextPosition(bottom.column).lineNumber()};
        if (top >= m_endTop) {
            std::size_t last = m_layouts.content().lastLine();
            return {last, std::min(hit(QPointF(x, y)).column, m_layouts.length(last))};
        }
    } else {
        if (m_top == TextLogTop{}) {
            return {0, m_layouts.layout(0).lineAt(0).xToCursor(x)};
        }
        top = topShowingBottomOf(m_top.line, m_top.subLine);
    }
    m_top = std::min(top, m_endTop);
    return hit(QPointF(x, y));
}

TextLogPosition TextLogScroller::hit(const QPointF& point) const {
    std::size_t last = m_layouts.content().lastLine();
    qreal y = topY();
    std::size_t line = m_top.line;
    for (qreal height = m_layouts.height(line); line < last && y + height <= point.y();
         height = m_layouts.height(++line)) {
        y += height;
    }
    const QTextLayout& layout = m_layouts.layout(line);
    QPointF inside = point - QPointF(0, y);
    int column = 0;
    // As the editor hits a block: above a line means its start, below means its end, on it means the nearest gap.
    for (int i = 0; i < layout.lineCount(); ++i) {
        QTextLine text = layout.lineAt(i);
        QRectF rect = text.naturalTextRect();
        if (rect.top() > inside.y()) {
            column = std::min(column, text.textStart());
        } else if (rect.bottom() <= inside.y()) {
            column = std::max(column, text.textStart() + text.textLength());
        } else {
            column = text.xToCursor(inside.x());
            break;
        }
    }
    return {line, column};
}

QRectF TextLogScroller::caretRect(TextLogPosition position) const {
    const QTextLayout& layout = m_layouts.layout(position.line);
    QTextLine line = layout.lineForTextPosition(position.column);
    std::optional<qreal> y = lineTopY(position.line);
    if (!line.isValid() || !y) {
        return {};
    }
    qreal x = line.cursorToX(position.column);
    return QRectF(x, *y + line.y(), m_edit.cursorWidth(), line.height());
}
