#pragma once

#include <asio.hpp>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace vesmira {

// Runs blocking work (password hashing, user-database calls) on threads of its own, so that the relay thread
// never waits for it. Work is submitted on the relay thread, and its result comes back to the relay thread as a
// posted handler. The queue the threads take work from is bounded: when it is full, new work waits on the relay
// side, in order, and moves in as earlier work completes. Nothing is ever refused, so whoever submits bounds how
// much can wait (each connection has at most one sign-in step outstanding).
class WorkerPool {
public:
    // `relay` is the io_context whose thread submits work and receives the results.
    WorkerPool(asio::io_context& relay, unsigned threads, std::size_t queueCapacity);
    // Finishes the work that is running; queued work is dropped.
    ~WorkerPool();

    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Relay thread only. `work()` runs on a worker; then `done(result)` runs on the relay thread. While any work
    // is outstanding the io_context does not run out of work.
    template <typename Work, typename Done> void submit(Work work, Done done) { submitAt(false, work, done); }
    // As submit(), but ahead of all work that has not started: for the rare job that must not wait behind a
    // backlog (the server's once-a-second look at its users). May exceed the queue's capacity by such jobs.
    template <typename Work, typename Done> void submitFirst(Work work, Done done) { submitAt(true, work, done); }

    // Relay thread only: drops every job that has not started (their results never come), so that a server
    // shutting down waits for the running jobs only.
    void discardQueued();

    unsigned threads() const { return static_cast<unsigned>(m_threads.size()); }
    std::size_t queueCapacity() const { return m_capacity; }
    // Jobs in the shared queue, not yet started.
    std::size_t queued() const;
    // Relay thread only: jobs waiting for room in the queue.
    std::size_t waiting() const { return m_waiting.size(); }

    // As many threads as cores.
    static unsigned defaultThreads();

private:
    struct Job {
        std::function<void()> work;
        std::function<void()> done;
    };

    template <typename Work, typename Done> void submitAt(bool first, Work& work, Done& done) {
        using Result = std::invoke_result_t<Work&>;
        auto result = std::make_shared<std::optional<Result>>();
        submitJob([result, work = std::move(work)]() mutable { result->emplace(work()); },
                  [result, done = std::move(done)]() mutable { done(std::move(**result)); }, first);
    }
    void submitJob(std::function<void()> work, std::function<void()> done, bool first);
    void onJobDone(std::function<void()>& done);
    // Moves waiting jobs into the shared queue while it has room.
    void fillQueue();
    void runWorker();
    void jobsRetired(std::size_t count);

    asio::io_context& m_relay;
    const std::size_t m_capacity;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_queue; // guarded by m_mutex
    bool m_stopping = false; // guarded by m_mutex

    // Relay thread only.
    std::deque<Job> m_waiting;
    std::size_t m_outstanding = 0;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> m_busy;

    std::vector<std::thread> m_threads;
};

} // namespace vesmira
