#include "LightShownText.h"

#include "platform/TextLogCaret.h"
#include "platform/TextLogContent.h"
#include "platform/TextLogLayouts.h"
#include "platform/TextLogOffsets.h"
#include "platform/TextLogScroller.h"

#include <QTextLayout>

#include <algorithm>
#include <climits>

QString LightShownText::text() const {
    // From the lines themselves: through offsets, every line would be converted once more to count the characters.
    return m_layouts.content().textBetween({}, m_layouts.textEnd());
}

int LightShownText::characterCount() const {
    return static_cast<int>(std::min<std::size_t>(m_offsets.offsetOf(m_layouts.textEnd()), INT_MAX));
}

QString LightShownText::textRange(int start, int end) const {
    return m_layouts.content().textBetween(m_offsets.positionAt(static_cast<std::size_t>(std::max(start, 0))),
                                           m_offsets.positionAt(static_cast<std::size_t>(std::max(end, start))));
}

int LightShownText::caretOffset() const {
    return static_cast<int>(m_offsets.offsetOf(m_caret.selection().caret));
}

void LightShownText::selectionOffsets(int* start, int* end) const {
    *start = static_cast<int>(m_offsets.offsetOf(m_caret.selection().start()));
    *end = static_cast<int>(m_offsets.offsetOf(m_caret.selection().end()));
}

QRect LightShownText::characterRect(int offset) {
    m_scroller.settle();
    TextLogPosition at = m_offsets.positionAt(static_cast<std::size_t>(std::max(offset, 0)));
    QRectF caret = m_scroller.caretRect(at);
    QTextLine line = m_layouts.layout(at.line).lineForTextPosition(at.column);
    if (caret.isNull() || !line.isValid()) {
        return {};
    }
    qreal right = line.cursorToX(std::min(at.column + 1, m_layouts.length(at.line)));
    return QRectF(caret.x(), caret.y(), std::max<qreal>(right - caret.x(), 1), caret.height()).toAlignedRect();
}

int LightShownText::offsetAtPoint(const QPoint& point) {
    m_scroller.settle();
    return static_cast<int>(m_offsets.offsetOf(m_scroller.hit(point)));
}

void LightShownText::select(int start, int end) {
    TextLogPosition caret = m_caret.selection().caret;
    if (start == -1) {
        m_caret.setAnchor(caret);
    } else {
        std::size_t last = static_cast<std::size_t>(characterCount());
        m_caret.setAnchor(m_offsets.positionAt(std::min(static_cast<std::size_t>(start), last)));
        caret = m_offsets.positionAt(end < 0 ? last : std::min(static_cast<std::size_t>(end), last));
    }
    m_caret.setCaret(caret, true);
}

void LightShownText::scrollToCaret() {
    m_scroller.changed(true);
}

void LightShownText::moveToEnd() {
    m_caret.moveToEnd();
    m_scroller.changed(true);
}

void LightShownText::scrollToOffset(int offset) {
    m_scroller.scrollTo(m_offsets.positionAt(static_cast<std::size_t>(std::max(offset, 0))));
}
