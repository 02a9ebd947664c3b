#pragma once

#include "LoadOptions.h"
#include "Steps.h"

#include <asio.hpp>

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vesmira::load {

// One load run against a vesmira-server on 127.0.0.1, on one thread. Well-behaved clients sign in (half
// register, half authenticate accounts registered just before), then all of them chat at once and check that
// they receive every record of every sender, in each sender's order. Meanwhile hostile connections send
// garbage, stay silent, speak one byte at a time, or sign in and never read. The run ends by itself: when the
// chat is over and every hostile kind has finished at least one connection, or at the deadline. A few clients
// leave with a leave notice right after their last record, while chat is still coming to them; the others must
// get each notice after that sender's last record.
class LoadRun {
public:
    explicit LoadRun(LoadOptions options);

    // Runs to the end and prints the figures; true when every check passed.
    bool run();

private:
    // Lets waiters through once count_down() has been called `count` times.
    class Latch {
    public:
        Latch(asio::io_context& io, int count);
        void countDown();
        bool open() const { return m_count == 0; }
        asio::awaitable<void> wait();

    private:
        int m_count;
        asio::steady_timer m_timer;
    };

    asio::awaitable<void> start();
    asio::awaitable<void> registerAhead(int first, int step);
    asio::awaitable<void> chatClient(int index);
    asio::awaitable<void> readRecords(int index, SocketPtr socket);
    asio::awaitable<bool> sendRecord(int index, int sequence, SocketPtr socket);
    asio::awaitable<void> nonReader(int index);
    asio::awaitable<void> garbageWorker(int worker);
    asio::awaitable<void> silentWorker();
    asio::awaitable<void> slowWorker(int worker);
    asio::awaitable<void> watchServer();
    // A hostile connection got no greeting: the server was at its connection limit.
    asio::awaitable<void> refusedAtLimit();

    void spawn(asio::awaitable<void> task);
    void settleSignIn(bool signedIn);
    bool isLeaver(int index) const;
    // Once per client: it has everything (or left as planned), or it failed.
    void finishChat(int index, bool complete);
    void fail(const std::string& message);
    // At the deadline: which chatting clients are still short of records or notices.
    void reportWaiting();
    void sampleServer();
    void report();
    const std::string& expectedRecord(int sender, int sequence);

    // First, so that it outlives every timer and socket of the run.
    asio::io_context m_io{1};
    LoadOptions m_options;
    asio::ip::tcp::endpoint m_server;
    Latch m_registeredAhead;
    Latch m_signedInAll; // every chat client and non-reader has signed in (or failed to)
    Latch m_chatOver;    // every chat client has all records (or failed)
    asio::steady_timer m_deadline;
    int m_tasks = 0;
    bool m_allDone = false;

    std::vector<std::string> m_records; // sender * records + sequence
    std::vector<bool> m_left;           // a leaver that has gone
    std::vector<bool> m_chatFinished;
    struct Progress {
        std::size_t records = 0;
        int notices = 0;
    };
    std::vector<Progress> m_progress;
    int m_signedIn = 0;
    int m_complete = 0;
    bool m_stopHostile = false;
    Clock::time_point m_begin;
    Clock::time_point m_signInStart;
    Clock::time_point m_chatStart;
    Clock::time_point m_chatEnd;
    std::size_t m_deliveries = 0;
    std::size_t m_foreignRecords = 0;
    std::size_t m_presenceLines = 0;
    std::size_t m_noticesChecked = 0;

    int m_nonReadersDropped = 0;
    std::size_t m_nonReaderBytesMax = 0;
    int m_garbageConnections = 0;
    int m_garbageClosed = 0;
    int m_junkSenders = 0;
    std::size_t m_garbageBytes = 0;
    int m_refusedAtLimit = 0;
    int m_silentClosed = 0;
    double m_silentMin = 1e9;
    double m_silentMax = 0;
    int m_slowClosed = 0;
    int m_slowRefusalsMax = 0;
    double m_slowMin = 1e9;
    double m_slowMax = 0;

    long m_rssStartKiB = 0;
    long m_rssAfterSignInKiB = 0;
    long m_rssAfterChatKiB = 0;
    long m_peakKiB = 0;
    bool m_serverGone = false;

    int m_failures = 0;
    std::vector<std::string> m_failureLines;
};

} // namespace vesmira::load
