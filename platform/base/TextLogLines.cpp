#include "TextLogLines.h"

#include <algorithm>
#include <limits>

void TextLogLines::clear() {
    m_blocks.clear();
    m_count = 0;
    m_size = 0;
    m_pendingFrom = 0;
    m_pendingLines = 0;
}

void TextLogLines::push(std::size_t start) {
    if (m_blocks.empty() || m_blocks.back().count == kBlockLines ||
        start - m_blocks.back().base > std::numeric_limits<std::uint32_t>::max()) {
        m_blocks.push_back({m_count, start, 0, std::make_unique_for_overwrite<std::uint32_t[]>(kBlockLines)});
    }
    Block& block = m_blocks.back();
    block.starts[block.count++] = static_cast<std::uint32_t>(start - block.base);
    ++m_count;
}

void TextLogLines::popTo(std::size_t count) {
    while (m_count > count) {
        Block& block = m_blocks.back();
        std::size_t drop = std::min(block.count, m_count - count);
        block.count -= drop;
        m_count -= drop;
        if (block.count == 0) {
            m_blocks.pop_back();
        }
    }
}

void TextLogLines::update(const TextLog::Bytes& bytes, std::size_t size) {
    if (m_count == 0) {
        push(0);
    }
    std::size_t at = m_size;
    if (m_pendingLines > 0) {
        popTo(m_count - m_pendingLines);
        at = m_pendingFrom;
        m_pendingLines = 0;
    }
    m_size = size;
    while (at < size) {
        std::string_view piece = bytes.pieceAt(at).substr(0, size - at);
        std::size_t i = 0;
        while (i < piece.size() && piece[i] != '\r' && piece[i] != '\n') {
            ++i;
        }
        at += i;
        if (i == piece.size()) {
            continue;
        }
        std::size_t length = 1;
        if (bytes.at(at) == '\r') {
            if (at + 2 < size && bytes.at(at + 1) == '\r' && bytes.at(at + 2) == '\n') {
                length = 3;
            } else if (at + 1 < size && bytes.at(at + 1) == '\n') {
                length = 2;
            }
        }
        at += length;
        push(at);
    }
    // One or two CRs at the very end are line ends for now; an LF that follows would join them into one.
    std::size_t trailing = 0;
    while (trailing < 2 && trailing < size && bytes.at(size - 1 - trailing) == '\r') {
        ++trailing;
    }
    m_pendingLines = trailing;
    m_pendingFrom = size - trailing;
}

const TextLogLines::Block& TextLogLines::blockOf(std::size_t line) const {
    auto after = std::upper_bound(m_blocks.begin(), m_blocks.end(), line,
                                  [](std::size_t value, const Block& block) { return value < block.firstLine; });
    return *(after - 1);
}

std::size_t TextLogLines::start(std::size_t line) const {
    if (line >= m_count) {
        return m_size;
    }
    const Block& block = blockOf(line);
    return block.base + block.starts[line - block.firstLine];
}

std::size_t TextLogLines::end(const TextLog::Bytes& bytes, std::size_t line) const {
    if (line + 1 >= m_count) {
        return m_size;
    }
    std::size_t first = start(line);
    std::size_t next = start(line + 1);
    // The line's own text holds no CR or LF, so its line end is whatever CRs and LF it ends with.
    std::size_t end = next - 1;
    if (bytes.at(end) == '\n') {
        for (int crs = 0; crs < 2 && end > first && bytes.at(end - 1) == '\r'; ++crs) {
            --end;
        }
    }
    return end;
}

std::size_t TextLogLines::lineAt(std::size_t offset) const {
    std::size_t low = 0;
    std::size_t high = m_count;
    while (high - low > 1) {
        std::size_t middle = low + (high - low) / 2;
        if (start(middle) <= offset) {
            low = middle;
        } else {
            high = middle;
        }
    }
    return low;
}
