#include "server/workers/WorkerPool.h"

namespace vesmira {

WorkerPool::WorkerPool(asio::io_context& relay, unsigned threads, std::size_t queueCapacity)
    : m_relay(relay), m_capacity(queueCapacity == 0 ? 1 : queueCapacity) {
    const unsigned count = threads == 0 ? 1 : threads;
    m_threads.reserve(count);
    for (unsigned i = 0; i < count; ++i) {
        m_threads.emplace_back([this] { runWorker(); });
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_queue.clear();
    }
    m_wake.notify_all();
    for (std::thread& thread : m_threads) {
        thread.join();
    }
}

unsigned WorkerPool::defaultThreads() {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : cores;
}

std::size_t WorkerPool::queued() const {
    std::lock_guard lock(m_mutex);
    return m_queue.size();
}

void WorkerPool::submitJob(std::function<void()> work, std::function<void()> done, bool first) {
    if (m_outstanding++ == 0) {
        m_busy.emplace(m_relay.get_executor());
    }
    if (first) {
        {
            std::lock_guard lock(m_mutex);
            m_queue.push_front(Job{std::move(work), std::move(done)});
        }
        m_wake.notify_one();
        return;
    }
    m_waiting.push_back(Job{std::move(work), std::move(done)});
    fillQueue();
}

void WorkerPool::fillQueue() {
    std::size_t moved = 0;
    {
        std::lock_guard lock(m_mutex);
        while (!m_waiting.empty() && m_queue.size() < m_capacity) {
            m_queue.push_back(std::move(m_waiting.front()));
            m_waiting.pop_front();
            ++moved;
        }
    }
    for (std::size_t i = 0; i < moved; ++i) {
        m_wake.notify_one();
    }
}

void WorkerPool::runWorker() {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_queue.empty()) {
                return;
            }
            job = std::move(m_queue.front());
            m_queue.pop_front();
        }
        job.work();
        // The handler owns whatever `done` holds (connections among them): it is released on the relay thread.
        asio::post(m_relay, [this, done = std::move(job.done)]() mutable { onJobDone(done); });
    }
}

void WorkerPool::onJobDone(std::function<void()>& done) {
    jobsRetired(1);
    fillQueue();
    done();
}

void WorkerPool::discardQueued() {
    std::deque<Job> dropped;
    {
        std::lock_guard lock(m_mutex);
        dropped.swap(m_queue);
    }
    const std::size_t count = dropped.size() + m_waiting.size();
    m_waiting.clear();
    jobsRetired(count);
}

void WorkerPool::jobsRetired(std::size_t count) {
    m_outstanding -= count;
    if (m_outstanding == 0) {
        m_busy.reset();
    }
}

} // namespace vesmira
