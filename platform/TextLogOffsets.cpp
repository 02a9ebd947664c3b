#include "TextLogOffsets.h"

#include "platform/TextLogLayouts.h"

#include <algorithm>

namespace {

constexpr std::size_t kBlock = 256;

} // namespace

void TextLogOffsets::forget(const TextLogContent::Change& change) {
    if (change.replaced) {
        m_bases.clear();
    }
    m_bases.resize(std::min(m_bases.size(), change.firstChanged / kBlock + 1));
}

void TextLogOffsets::fillBases() const {
    std::size_t blocks = m_layouts.content().lastLine() / kBlock + 1;
    if (m_bases.empty()) {
        m_bases.push_back(0);
    }
    while (m_bases.size() < blocks) {
        std::size_t first = (m_bases.size() - 1) * kBlock;
        std::size_t sum = m_bases.back();
        for (std::size_t line = first; line < first + kBlock; ++line) {
            sum += static_cast<std::size_t>(m_layouts.length(line)) + 1;
        }
        m_bases.push_back(sum);
    }
}

std::size_t TextLogOffsets::offsetOf(TextLogPosition position) const {
    fillBases();
    std::size_t first = position.line / kBlock * kBlock;
    std::size_t offset = m_bases[position.line / kBlock];
    for (std::size_t line = first; line < position.line; ++line) {
        offset += static_cast<std::size_t>(m_layouts.length(line)) + 1;
    }
    return offset + static_cast<std::size_t>(position.column);
}

TextLogPosition TextLogOffsets::positionAt(std::size_t offset) const {
    fillBases();
    auto after = std::upper_bound(m_bases.begin(), m_bases.end(), offset);
    std::size_t line = static_cast<std::size_t>(after - m_bases.begin() - 1) * kBlock;
    std::size_t at = *(after - 1);
    std::size_t last = m_layouts.content().lastLine();
    for (;; ++line) {
        std::size_t length = static_cast<std::size_t>(m_layouts.length(line));
        if (offset <= at + length || line == last) {
            return {line, static_cast<int>(std::min(offset - at, length))};
        }
        at += length + 1;
    }
}
