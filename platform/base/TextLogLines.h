#pragma once

#include "platform/base/TextLog.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// Where each line of a TextLog starts, as a multi-line edit shows the text. A CR LF, a lone CR or a lone LF ends a
// line, and so does CR CR LF: the edit has always turned each CR LF into LF before taking the text, and then read the
// CR LF that this leaves as one break. Four bytes a line; indexing goes on from where it stopped as the log grows.
class TextLogLines {
public:
    // Indexes the first `size` bytes; `size` may only grow between calls until clear().
    void update(const TextLog::Bytes& bytes, std::size_t size);
    void clear();
    std::size_t indexedSize() const { return m_size; }

    // At least one: an empty text is one empty line, and a text that ends with a line end has an empty last line.
    std::size_t count() const { return m_count; }
    std::size_t start(std::size_t line) const;
    // Where the line's text ends, before its line end.
    std::size_t end(const TextLog::Bytes& bytes, std::size_t line) const;
    // The line that holds byte `offset`.
    std::size_t lineAt(std::size_t offset) const;

private:
    static constexpr std::size_t kBlockLines = 4096;
    struct Block {
        std::size_t firstLine;
        std::size_t base;
        std::size_t count;
        std::unique_ptr<std::uint32_t[]> starts;
    };
    void push(std::size_t start);
    void popTo(std::size_t count);
    const Block& blockOf(std::size_t line) const;

    std::vector<Block> m_blocks;
    std::size_t m_count = 0;
    std::size_t m_size = 0;
    // Trailing CRs are line ends for now, but a following LF may join them: they are read again next time.
    std::size_t m_pendingFrom = 0;
    std::size_t m_pendingLines = 0;
};
