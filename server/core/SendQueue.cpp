#include "server/core/SendQueue.h"

#include <algorithm>
#include <span>

namespace vesmira {

SendQueue::SendQueue(Transport& transport, std::size_t maxBytes, Owner& owner)
    : m_transport(transport), m_maxBytes(maxBytes), m_behindBytes(std::min(kBehindBytes, maxBytes / 4)),
      m_owner(owner) {}

bool SendQueue::enqueue(const Bytes& bytes) {
    if (m_stopped || m_writeFailed) {
        return false;
    }
    if (m_queuedBytes + bytes->size() > m_maxBytes) {
        m_owner.sendQueueOverflowed();
        return false;
    }
    m_queuedBytes += bytes->size();
    m_queue.push_back(bytes);
    noteBehind();
    return true;
}

void SendQueue::noteBehind() {
    // Half the mark to clear, so that a reader at the edge does not flip the room's count on every write.
    const bool behind = m_behind ? m_queuedBytes > m_behindBytes / 2 : m_queuedBytes > m_behindBytes;
    if (behind != m_behind) {
        if (behind) {
            m_progressAt = Clock::now(); // the wait for progress starts now
        }
        m_behind = behind;
        m_owner.sendQueueBehind(behind);
    }
}

bool SendQueue::deliver(const Bytes& bytes) {
    if (!enqueue(bytes)) {
        return !m_stopped;
    }
    if (!m_writing) {
        writeNext();
    }
    return true;
}

bool SendQueue::queue(const Bytes& bytes) {
    if (!enqueue(bytes) || m_writing || m_flushPending) {
        return false;
    }
    m_flushPending = true;
    return true;
}

void SendQueue::flush() {
    m_flushPending = false;
    if (!m_stopped && !m_writeFailed && !m_writing && !m_queue.empty()) {
        writeNext();
    }
}

void SendQueue::stop() {
    m_stopped = true;
    m_queue.clear();
    m_queuedBytes = 0;
    noteBehind();
}

void SendQueue::writeNext() {
    m_writing = true;
    // Everything queued goes out in one gathered write, so that each completion drains the whole queue. A
    // completion waits its turn behind the handlers relaying a burst from many senders; sending one record per
    // turn, a reader that keeps up would still fall behind by all they queue meanwhile and be dropped.
    // m_sending keeps the bytes alive until the write completes, even after stop() has emptied the queue.
    m_sending.swap(m_queue);
    m_buffers.clear();
    std::size_t total = 0;
    for (const Bytes& bytes : m_sending) {
        m_buffers.push_back(asio::buffer(*bytes));
        total += bytes->size();
    }
    // Most writes fit in the kernel's buffer at once: made here, they cost no trip through the event loop.
    std::error_code ec;
    std::size_t sent = m_transport.writeSome(m_buffers, ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again) {
        ec = {};
        sent = 0;
    }
    if (ec) {
        onWriteFailed(ec);
        return;
    }
    m_queuedBytes -= sent;
    if (sent == total) {
        onWritten();
        return;
    }
    writeRest(sent);
}

void SendQueue::writeRest(std::size_t sent) {
    std::size_t done = 0;
    for (; sent >= m_buffers[done].size(); ++done) {
        sent -= m_buffers[done].size();
    }
    m_buffers[done] += sent;
    m_buffers.erase(m_buffers.begin(), m_buffers.begin() + static_cast<std::ptrdiff_t>(done));
    // The rest once the socket takes it, piece by piece, so that a reader that takes bytes slowly shows progress.
    m_transport.asyncWriteSome(m_buffers,
                               [this, alive = m_owner.keepAlive()](const std::error_code& error, std::size_t written) {
                                   if (m_stopped) {
                                       return;
                                   }
                                   if (error) {
                                       onWriteFailed(error);
                                       return;
                                   }
                                   m_queuedBytes -= written;
                                   m_progressAt = Clock::now();
                                   noteBehind();
                                   if (written == asio::buffer_size(m_buffers)) {
                                       onWritten();
                                   } else {
                                       writeRest(written);
                                   }
                               });
}

void SendQueue::onWritten() {
    m_sending.clear();
    noteBehind();
    if (!m_queue.empty()) {
        writeNext();
        return;
    }
    m_writing = false;
    trim();
    m_owner.sendQueueDrained();
}

void SendQueue::trim() {
    // A reader that fell behind once grows its queues to thousands of entries; ten thousand idle connections
    // must not keep that much each.
    constexpr std::size_t kKeptEntries = 64;
    if (m_sending.capacity() > kKeptEntries || m_queue.capacity() > kKeptEntries) {
        std::vector<Bytes>().swap(m_sending);
        std::vector<Bytes>().swap(m_queue);
        std::vector<asio::const_buffer>().swap(m_buffers);
    }
}

void SendQueue::onWriteFailed(const std::error_code& ec) {
    m_writeFailed = true;
    m_writing = false;
    m_queue.clear();
    m_sending.clear();
    m_queuedBytes = 0;
    noteBehind();
    m_owner.sendFailed(ec);
}

} // namespace vesmira
