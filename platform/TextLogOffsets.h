#pragma once

#include "platform/TextLogContent.h"
#include "platform/TextLogPosition.h"

#include <cstddef>
#include <vector>

class TextLogLayouts;

// Character offsets into the text as shown (UTF-16 units, LF between lines), as screen readers, input methods and
// the program's selections count them, turned into places and back. Only the lines before the place asked for are
// measured, and the running total of every 256th line is kept.
class TextLogOffsets {
public:
    explicit TextLogOffsets(const TextLogLayouts& layouts) : m_layouts(layouts) {}

    std::size_t offsetOf(TextLogPosition position) const;
    // The place `offset` names; an offset past the end is the end.
    TextLogPosition positionAt(std::size_t offset) const;

    // The lines that changed are measured again when asked for.
    void forget(const TextLogContent::Change& change);

private:
    void fillBases() const;

    const TextLogLayouts& m_layouts;
    // The offset of every kBlock-th line, filled on demand.
    mutable std::vector<std::size_t> m_bases;
};
