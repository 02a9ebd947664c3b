#pragma once

#include "platform/ShownText.h"

class TextLogCaret;
class TextLogLayouts;
class TextLogOffsets;
class TextLogScroller;

// The shown text while the control shows a log: read from the log's lines, the caret and the light view's scroller.
class LightShownText : public ShownText {
public:
    LightShownText(const TextLogLayouts& layouts, const TextLogOffsets& offsets, TextLogScroller& scroller,
                   TextLogCaret& caret)
        : m_layouts(layouts), m_offsets(offsets), m_scroller(scroller), m_caret(caret) {}

    QString text() const override;
    int characterCount() const override;
    QString textRange(int start, int end) const override;
    int caretOffset() const override;
    void selectionOffsets(int* start, int* end) const override;
    QRect characterRect(int offset) override;
    int offsetAtPoint(const QPoint& point) override;
    void select(int start, int end) override;
    void scrollToCaret() override;
    void moveToEnd() override;
    void scrollToOffset(int offset) override;

private:
    const TextLogLayouts& m_layouts;
    const TextLogOffsets& m_offsets;
    TextLogScroller& m_scroller;
    TextLogCaret& m_caret;
};
