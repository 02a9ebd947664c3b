#include "TextLog.h"

#include <algorithm>
#include <cstring>

std::string_view TextLog::Bytes::pieceAt(std::size_t offset) const {
    if (offset >= m_size) {
        return {};
    }
    std::size_t within = offset % m_chunkSize;
    std::size_t length = std::min(m_chunkSize - within, m_size - offset);
    return {m_chunks[offset / m_chunkSize].get() + within, length};
}

void TextLog::Bytes::copy(std::size_t offset, std::size_t length, std::string& out) const {
    std::size_t end = std::min(offset + length, m_size);
    while (offset < end) {
        std::string_view piece = pieceAt(offset);
        std::size_t take = std::min(piece.size(), end - offset);
        out.append(piece.data(), take);
        offset += take;
    }
}

void TextLog::Bytes::append(std::string_view bytes) {
    while (!bytes.empty()) {
        std::size_t within = m_size % m_chunkSize;
        if (within == 0 && m_size / m_chunkSize == m_chunks.size()) {
            // Only what is written is touched, so a new chunk costs memory as it fills.
            m_chunks.push_back(std::make_unique_for_overwrite<char[]>(m_chunkSize));
        }
        std::size_t take = std::min(m_chunkSize - within, bytes.size());
        std::memcpy(m_chunks[m_size / m_chunkSize].get() + within, bytes.data(), take);
        m_size += take;
        bytes.remove_prefix(take);
    }
}

TextLog::TextLog(std::size_t chunkSize) : m_bytes(std::make_shared<Bytes>(std::max<std::size_t>(chunkSize, 1))) {}

std::string TextLog::bytes() const {
    std::string all;
    all.reserve(size());
    m_bytes->copy(0, size(), all);
    return all;
}
