#pragma once

#include "protocol/Record.h"

#include <functional>
#include <string>
#include <string_view>

// Cuts what the server relays after sign-in back into the messages it wrote, however TCP split or merged them.
//
// The server writes 500-byte chat records (a line, a NUL, zero fill) and may also write a shorter message of its
// own (a forwarded leave notice: text without NUL). A record is recognised by its zero fill: it ends 500 bytes
// after it starts, or, when a shorter message was glued in front of it, where its fill ends. NUL bytes where a
// message should start are fill left over from a record already taken, never a line of their own.
//
// Text without a NUL that stops short of 500 bytes may be a short message or the head of a record whose rest is
// still on its way: it is held until more bytes decide, or until the caller says the stream went quiet (flush).
class RelayFramer {
public:
    using LineSink = std::function<void(std::string_view text)>;

    // Takes the next bytes of the stream and hands every message they complete to `onLine`, in order.
    void feed(std::string_view bytes, const LineSink& onLine);
    // The stream went quiet or ended: whatever is held is a whole message.
    void flush(const LineSink& onLine);
    // Bytes are held that only more data or a flush can decide.
    bool holding() const { return !m_pending.empty(); }
    std::size_t heldBytes() const { return m_pending.size(); }

private:
    // Never more than a record and a glued short message, or two records without NUL: under 1,500 bytes.
    std::string m_pending;
};
