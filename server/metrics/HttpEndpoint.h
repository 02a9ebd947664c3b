#pragma once

#include <asio.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace vesmira {

// A small HTTP/1.x server for GET requests, on a thread of its own, that nobody can block: it waits for no
// connection (one thread serves them all as data arrives), a request must arrive whole within kRequestTimeout and
// within kMaxRequestBytes, each answer closes its connection, and when kMaxConnections are open the one open longest
// is closed for a new one. So idle or slow connections, however many, cannot keep a health check from its answer.
class HttpEndpoint {
public:
    struct Reply {
        int status = 200;
        std::string contentType = "text/plain; charset=utf-8";
        std::string body;
    };
    // Runs on the endpoint's thread for each GET; the path comes without its query.
    using Handler = std::function<Reply(std::string_view path)>;

    struct Request {
        std::string_view method;
        std::string_view path; // the target without its query
    };
    // The request line at the start of a request head ("METHOD TARGET HTTP/1.x" and CR LF); nullopt when there is
    // none. The views point into `head`.
    static std::optional<Request> parseRequestLine(std::string_view head);

    static constexpr std::size_t kMaxConnections = 256;
    static constexpr std::size_t kMaxRequestBytes = 8192;
    static constexpr std::chrono::seconds kRequestTimeout{5};

    // Listens on `endpoint` (port 0: a free one) and starts serving; nullptr with a message in `error` on failure.
    static std::unique_ptr<HttpEndpoint> start(const asio::ip::tcp::endpoint& endpoint, Handler handler,
                                               std::string& error);
    // Stops serving and joins the thread.
    ~HttpEndpoint();

    HttpEndpoint(const HttpEndpoint&) = delete;
    HttpEndpoint& operator=(const HttpEndpoint&) = delete;

    std::uint16_t port() const { return m_port; }

private:
    class Session;

    explicit HttpEndpoint(Handler handler);
    void acceptNext();
    void forget(const std::list<std::shared_ptr<Session>>::iterator& place);

    asio::io_context m_io{1};
    asio::ip::tcp::acceptor m_acceptor{m_io};
    asio::steady_timer m_acceptRetry{m_io};
    Handler m_handler;
    std::list<std::shared_ptr<Session>> m_sessions; // the oldest first
    std::uint16_t m_port = 0;
    std::thread m_thread;
};

} // namespace vesmira
