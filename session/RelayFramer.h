#pragma once

#include "protocol/Record.h"

#include <functional>
#include <string>
#include <string_view>

// Cuts what the server relays after sign-in back into the messages it wrote, however TCP split or merged them.
//
// The server writes 500-byte chat records and may also write a shorter message of its own (a forwarded leave
// notice: text without NUL). A record's line is its text up to its first NUL; whatever follows that NUL inside the
// record is never a line. A record starts where the previous message ended; NUL bytes where a message should start
// are fill left over from a record already taken (or a record without text), never a line of their own.
//
// A shorter message is told from the head of a record by what follows it: the zero fill of a record glued behind
// it runs past 500 bytes from the message's start and ends exactly 500 bytes after the record's start. Text without
// NUL that stops short of 500 bytes is held until more bytes decide, or until the caller says the stream went quiet
// or ended (flush). Where only a flush can decide, the record that starts at the held bytes is kept whole.
class RelayFramer {
public:
    using LineSink = std::function<void(std::string_view text)>;

    // Takes the next bytes of the stream and hands every message they complete to `onLine`, in order.
    void feed(std::string_view bytes, const LineSink& onLine);
    // The stream went quiet or ended: whatever is held is decided now (the head of a record is its line).
    void flush(const LineSink& onLine);
    // Bytes are held that only more data or a flush can decide.
    bool holding() const { return !m_pending.empty(); }
    std::size_t heldBytes() const { return m_pending.size(); }

private:
    std::size_t take(std::string_view data, bool finished, const LineSink& onLine);
    std::size_t skipRestOfRecord(std::string_view data);

    // Never more than a record and the head of the next: under 1,000 bytes.
    std::string m_pending;
    // Bytes still to come of a record whose line was shown already.
    std::size_t m_restOfRecord = 0;
    // Whether that rest may only be zero fill: text there means the record began earlier than taken, and starts
    // the next message. Otherwise everything up to the record's end is dropped.
    bool m_restIsFill = false;
    // The last message had no NUL (a short message, or a record that is all text), so nothing proves that a record
    // did not begin before it: text after a NUL is then taken for the next message rather than dropped.
    bool m_afterText = false;
};
