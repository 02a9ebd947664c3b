#pragma once

#include "server/core/Transport.h"

#include <asio.hpp>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace vesmira {

// What waits to be written to one connection, bounded, and the gathered writes that send it. The bytes are
// shared: one buffer serves every connection a record goes to. Relay thread only.
class SendQueue {
public:
    using Bytes = std::shared_ptr<const std::string>;

    // What the queue tells the connection it belongs to.
    class Owner {
    public:
        // Keeps the owner, and with it the queue, alive while a write is under way.
        virtual std::shared_ptr<void> keepAlive() = 0;
        // More bytes than the bound: the peer does not read. The owner closes; nothing more is queued.
        virtual void sendQueueOverflowed() = 0;
        // A write completed and nothing is left to write.
        virtual void sendQueueDrained() = 0;
        // The peer is gone: the queue is emptied, and nothing more is sent.
        virtual void sendFailed(const std::error_code& ec) = 0;
        // The bytes waiting beyond what the kernel took passed kBehindBytes (true), or fell back to half that.
        virtual void sendQueueBehind(bool behind) = 0;

    protected:
        ~Owner() = default;
    };

    using Clock = std::chrono::steady_clock;

    // A reader this far behind (or a quarter of its bound, if less) is one the relay may wait for, when most of the
    // room is (Backpressure).
    static constexpr std::size_t kBehindBytes = 64 * 1024;

    SendQueue(Transport& transport, std::size_t maxBytes, Owner& owner);

    // Queues bytes as one write and starts writing. False when the connection was closed instead (an overflow).
    bool deliver(const Bytes& bytes);
    // Queues bytes for the next flush(), so that records relayed in the same turn of the event loop go out in one
    // write. True when the queue wants a flush it has not been promised yet.
    bool queue(const Bytes& bytes);
    // Starts writing what queue() left, unless a write is under way (its completion takes the rest).
    void flush();
    // The connection closes: what is queued is dropped, and a write under way ends unheard.
    void stop();

    bool writing() const { return m_writing; }
    bool behind() const { return m_behind; }
    // When the kernel last took bytes of a write that did not complete at once.
    Clock::time_point progressAt() const { return m_progressAt; }

private:
    bool enqueue(const Bytes& bytes);
    void writeNext();
    // Writes what is left of m_buffers once `sent` bytes of them are out.
    void writeRest(std::size_t sent);
    void onWritten();
    void onWriteFailed(const std::error_code& ec);
    void trim();
    void noteBehind();

    Transport& m_transport;
    const std::size_t m_maxBytes;
    const std::size_t m_behindBytes;
    Owner& m_owner;
    std::vector<Bytes> m_queue;                // not yet handed to the socket
    std::vector<Bytes> m_sending;              // the write in progress; kept until it completes
    std::vector<asio::const_buffer> m_buffers; // of m_sending
    std::size_t m_queuedBytes = 0;             // both of the above
    bool m_writing = false;
    bool m_flushPending = false;
    bool m_writeFailed = false; // the peer is gone; what it sent is still read, nothing more is sent
    bool m_stopped = false;
    bool m_behind = false;
    Clock::time_point m_progressAt{};
};

} // namespace vesmira
