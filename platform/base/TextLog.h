#pragma once

#include "platform/base/CString.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// A text that only grows (the received conversation), kept as its bytes in chunks of one fixed size: growing never
// moves or copies what is already there. A multi-line edit can show the log without a copy of its own
// (CWnd::SetWindowText(const TextLog&)); it then shares the bytes and draws from them.
class TextLog {
public:
    static constexpr std::size_t kChunkSize = 256 * 1024;

    // The bytes themselves, shared between the log and the views that show it. Bytes once appended never change.
    class Bytes {
    public:
        explicit Bytes(std::size_t chunkSize) : m_chunkSize(chunkSize) {}
        std::size_t size() const { return m_size; }
        char at(std::size_t offset) const { return m_chunks[offset / m_chunkSize][offset % m_chunkSize]; }
        // The longest contiguous run of bytes from `offset` on (up to the end of its chunk or of the text).
        std::string_view pieceAt(std::size_t offset) const;
        // Appends [offset, offset + length) to `out`.
        void copy(std::size_t offset, std::size_t length, std::string& out) const;
        void append(std::string_view bytes);

    private:
        std::size_t m_chunkSize;
        std::size_t m_size = 0;
        std::vector<std::unique_ptr<char[]>> m_chunks;
    };

    explicit TextLog(std::size_t chunkSize = kChunkSize);
    TextLog(const TextLog&) = delete;
    TextLog& operator=(const TextLog&) = delete;

    void append(std::string_view bytes) { m_bytes->append(bytes); }
    TextLog& operator+=(const CString& bytes) {
        append(bytes.view());
        return *this;
    }

    std::size_t size() const { return m_bytes->size(); }
    int GetLength() const { return static_cast<int>(size()); }
    bool IsEmpty() const { return size() == 0; }
    // A copy of the whole text.
    std::string bytes() const;
    // Calls `visit(std::string_view)` with the text in order, one contiguous piece at a time.
    template <typename Visit> void forEachPiece(Visit&& visit) const {
        for (std::size_t at = 0; at < size();) {
            std::string_view piece = m_bytes->pieceAt(at);
            visit(piece);
            at += piece.size();
        }
    }

    std::shared_ptr<const Bytes> shared() const { return m_bytes; }

private:
    std::shared_ptr<Bytes> m_bytes;
};
