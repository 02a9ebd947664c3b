#include "server/metrics/HttpEndpoint.h"

#include <array>

namespace vesmira {

namespace {

std::string_view reason(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 503:
        return "Service Unavailable";
    default:
        return "Error";
    }
}

std::string response(const HttpEndpoint::Reply& reply, bool head) {
    std::string text = "HTTP/1.1 " + std::to_string(reply.status) + " " + std::string(reason(reply.status)) +
                       "\r\nContent-Type: " + reply.contentType +
                       "\r\nContent-Length: " + std::to_string(reply.body.size()) +
                       "\r\nCache-Control: no-store\r\nConnection: close\r\n";
    if (reply.status == 405) {
        text += "Allow: GET, HEAD\r\n";
    }
    text += "\r\n";
    if (!head) {
        text += reply.body;
    }
    return text;
}

} // namespace

class HttpEndpoint::Session : public std::enable_shared_from_this<Session> {
public:
    Session(HttpEndpoint& owner, asio::ip::tcp::socket socket) : m_owner(owner), m_socket(std::move(socket)) {}

    void start(std::list<std::shared_ptr<Session>>::iterator place) {
        m_place = place;
        m_timer.expires_after(kRequestTimeout);
        m_timer.async_wait([self = shared_from_this()](const std::error_code& ec) {
            if (!ec) {
                self->close();
            }
        });
        read();
    }

    void close() {
        if (m_closed) {
            return;
        }
        m_closed = true;
        m_timer.cancel();
        std::error_code ignored;
        m_socket.close(ignored);
        m_owner.forget(m_place);
    }

private:
    void read() {
        m_socket.async_read_some(asio::buffer(m_chunk),
                                 [self = shared_from_this()](const std::error_code& ec, std::size_t size) {
                                     if (self->m_closed) {
                                         return;
                                     }
                                     if (ec) {
                                         self->close();
                                         return;
                                     }
                                     self->m_request.append(self->m_chunk.data(), size);
                                     self->onData();
                                 });
    }

    void onData() {
        const std::size_t end = m_request.find("\r\n\r\n");
        if (end == std::string::npos) {
            if (m_request.size() >= kMaxRequestBytes) {
                answer({400, "text/plain; charset=utf-8", "request too large\n"}, false);
            } else {
                read();
            }
            return;
        }
        const std::optional<Request> request = parseRequestLine(m_request);
        if (!request) {
            answer({400, "text/plain; charset=utf-8", "bad request\n"}, false);
            return;
        }
        if (request->method != "GET" && request->method != "HEAD") {
            answer({405, "text/plain; charset=utf-8", "only GET\n"}, false);
            return;
        }
        answer(m_owner.m_handler(request->path), request->method == "HEAD");
    }

    void answer(const Reply& reply, bool head) {
        m_response = response(reply, head);
        asio::async_write(m_socket, asio::buffer(m_response),
                          [self = shared_from_this()](const std::error_code& ec, std::size_t) {
                              if (!ec && !self->m_closed) {
                                  std::error_code ignored;
                                  self->m_socket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
                              }
                              self->close();
                          });
    }

    HttpEndpoint& m_owner;
    asio::ip::tcp::socket m_socket;
    asio::steady_timer m_timer{m_socket.get_executor()};
    std::list<std::shared_ptr<Session>>::iterator m_place;
    std::array<char, 2048> m_chunk{};
    std::string m_request;
    std::string m_response;
    bool m_closed = false;
};

std::optional<HttpEndpoint::Request> HttpEndpoint::parseRequestLine(std::string_view head) {
    // Headers are not needed.
    const std::size_t end = head.find("\r\n");
    if (end == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view line = head.substr(0, end);
    const std::size_t space = line.find(' ');
    const std::size_t second = space == std::string_view::npos ? space : line.find(' ', space + 1);
    if (space == 0 || second == std::string_view::npos || second == space + 1 ||
        !line.substr(second + 1).starts_with("HTTP/1.")) {
        return std::nullopt;
    }
    const std::string_view target = line.substr(space + 1, second - space - 1);
    return Request{line.substr(0, space), target.substr(0, target.find('?'))};
}

HttpEndpoint::HttpEndpoint(Handler handler) : m_handler(std::move(handler)) {}

std::unique_ptr<HttpEndpoint> HttpEndpoint::start(const asio::ip::tcp::endpoint& endpoint, Handler handler,
                                                  std::string& error) {
    std::unique_ptr<HttpEndpoint> server(new HttpEndpoint(std::move(handler)));
    std::error_code ec;
    server->m_acceptor.open(endpoint.protocol(), ec);
    if (!ec) {
        server->m_acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    }
    if (!ec) {
        server->m_acceptor.bind(endpoint, ec);
    }
    if (!ec) {
        server->m_acceptor.listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        error = ec.message();
        return nullptr;
    }
    server->m_port = server->m_acceptor.local_endpoint(ec).port();
    server->acceptNext();
    server->m_thread = std::thread([raw = server.get()] { raw->m_io.run(); });
    return server;
}

HttpEndpoint::~HttpEndpoint() {
    asio::post(m_io, [this] {
        std::error_code ignored;
        m_acceptor.close(ignored);
        m_acceptRetry.cancel();
        while (!m_sessions.empty()) {
            const std::shared_ptr<Session> session = m_sessions.front();
            session->close();
        }
    });
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void HttpEndpoint::acceptNext() {
    m_acceptor.async_accept([this](const std::error_code& ec, asio::ip::tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !m_acceptor.is_open()) {
            return;
        }
        if (ec) {
            // Out of descriptors fails again at once: pause instead of spinning.
            m_acceptRetry.expires_after(std::chrono::milliseconds(100));
            m_acceptRetry.async_wait([this](const std::error_code& waitError) {
                if (!waitError) {
                    acceptNext();
                }
            });
            return;
        }
        if (m_sessions.size() >= kMaxConnections) {
            const std::shared_ptr<Session> oldest = m_sessions.front(); // the one open longest gives way
            oldest->close();
        }
        auto session = std::make_shared<Session>(*this, std::move(socket));
        m_sessions.push_back(session);
        session->start(std::prev(m_sessions.end()));
        acceptNext();
    });
}

void HttpEndpoint::forget(const std::list<std::shared_ptr<Session>>::iterator& place) {
    m_sessions.erase(place);
}

} // namespace vesmira
