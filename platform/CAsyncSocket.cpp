#include "CAsyncSocket.h"

#include "platform/TlsSession.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <locale.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

class SocketNotifier : public QSocketNotifier {
public:
    SocketNotifier(int fd, CAsyncSocket* owner) : QSocketNotifier(fd, QSocketNotifier::Read) {
        setEnabled(false);
        connect(this, &QSocketNotifier::activated, this, [owner] { owner->notifierActivated(); });
        m_quiet.setSingleShot(true);
        connect(&m_quiet, &QTimer::timeout, this, [owner] { owner->quietTimerFired(); });
        m_held.setSingleShot(true);
        connect(&m_held, &QTimer::timeout, this, [owner] { owner->notifierActivated(); });
    }

    QTimer m_quiet;
    // Bytes TLS has decrypted already raise no event of the socket: this timer raises the read notification.
    QTimer m_held;
};

namespace {

thread_local int t_lastError = 0;
thread_local std::string t_lastTlsError;
int g_connectLimitMs = 20000;
int g_transferLimitMs = 30000;

std::vector<CAsyncSocket*>& liveSockets() {
    static std::vector<CAsyncSocket*> sockets;
    return sockets;
}

int g_holdDepth = 0;

// Holds every socket's notifications while a blocking call waits; they come once it has returned.
class NotificationHold {
public:
    NotificationHold() {
        if (g_holdDepth++ == 0) {
            for (CAsyncSocket* socket : liveSockets()) {
                socket->refreshNotifier();
            }
        }
    }
    ~NotificationHold() {
        if (--g_holdDepth == 0) {
            for (CAsyncSocket* socket : liveSockets()) {
                socket->refreshNotifier();
            }
        }
    }
    NotificationHold(const NotificationHold&) = delete;
    NotificationHold& operator=(const NotificationHold&) = delete;
};

// Waits until `fd` is ready for `events`, repainting and running timers meanwhile but taking no input and no
// notification. Returns false on time-out (errno ETIMEDOUT).
bool waitReady(int fd, short events, int limitMs) {
    NotificationHold hold;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (true) {
        pollfd entry{fd, events, 0};
        auto remaining =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (remaining <= 0) {
            errno = ETIMEDOUT;
            return false;
        }
        int slice = static_cast<int>(std::min<long long>(remaining, 10));
        int ready = ::poll(&entry, 1, slice);
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return true; // the call itself reports the error
        }
        if (QCoreApplication::instance()) {
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::ExcludeSocketNotifiers);
        }
    }
}

// A host-name lookup on a thread of its own, so that the caller can wait for it as for any socket: its descriptor
// becomes readable when the answer is in. Whoever lets go last (the caller, or the thread after a time-out) frees it.
struct HostLookup {
    explicit HostLookup(std::string name) : host(std::move(name)), done(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~HostLookup() {
        if (found) {
            ::freeaddrinfo(found);
        }
        if (done >= 0) {
            ::close(done);
        }
    }
    HostLookup(const HostLookup&) = delete;
    HostLookup& operator=(const HostLookup&) = delete;

    std::string host;
    int done;
    int result = EAI_SYSTEM;
    int error = 0;
    addrinfo* found = nullptr;
};

// Resolves `host` to an IPv4 address within `limitMs`, repainting meanwhile. Sets the last error on failure.
bool resolveHost(const CString& host, int limitMs, in_addr& address) {
    auto lookup = std::make_shared<HostLookup>(host.bytes());
    if (lookup->done < 0) {
        SetLastError(errno);
        return false;
    }
    std::thread([lookup] {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        lookup->result = ::getaddrinfo(lookup->host.c_str(), nullptr, &hints, &lookup->found);
        lookup->error = errno;
        ::eventfd_write(lookup->done, 1);
    }).detach();
    if (!waitReady(lookup->done, POLLIN, limitMs)) {
        SetLastError(ETIMEDOUT);
        return false;
    }
    eventfd_t signalled = 0;
    ::eventfd_read(lookup->done, &signalled); // also orders the thread's writes before the reads below
    if (lookup->result != 0 || !lookup->found) {
        SetLastError(lookup->result == EAI_SYSTEM ? lookup->error
                                                  : (lookup->result != 0 ? lookup->result : EAI_NONAME));
        return false;
    }
    address = reinterpret_cast<sockaddr_in*>(lookup->found->ai_addr)->sin_addr;
    return true;
}

std::chrono::steady_clock::time_point deadlineAfter(int ms) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

int remainingMs(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<long long>(left.count(), 0));
}

} // namespace

int GetLastError() {
    return t_lastError;
}

void SetLastError(int code) {
    t_lastError = code;
}

CString GetLastTlsError() {
    return CString(t_lastTlsError);
}

CString FormatSystemMessage(int code) {
    std::string text;
    if (code < 0) {
        text = ::gai_strerror(code);
    } else if (code > 0) {
        locale_t locale = ::newlocale(LC_ALL_MASK, "", static_cast<locale_t>(0));
        text = locale ? ::strerror_l(code, locale) : ::strerror(code);
        if (locale) {
            ::freelocale(locale);
        }
    }
    if (text.empty() || text.rfind("Unknown error", 0) == 0 || text.rfind("Unknown system error", 0) == 0) {
        text = std::to_string(code);
    }
    return CString::fromUtf8(text);
}

CString GetLocalHostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    return CString(name);
}

CString GetLocalIPv4Address() {
    CString name = GetLocalHostName();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (name.IsEmpty() || ::getaddrinfo(name.GetString(), nullptr, &hints, &found) != 0 || !found) {
        return {};
    }
    in_addr address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    if ((ntohl(address.s_addr) >> 24) == 127) {
        ifaddrs* interfaces = nullptr;
        if (::getifaddrs(&interfaces) == 0) {
            for (ifaddrs* entry = interfaces; entry; entry = entry->ifa_next) {
                if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET) {
                    in_addr candidate = reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr;
                    if ((ntohl(candidate.s_addr) >> 24) != 127) {
                        address = candidate;
                        break;
                    }
                }
            }
            ::freeifaddrs(interfaces);
        }
    }
    char dotted[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, dotted, sizeof dotted);
    CString result;
    result.Format("%s", CString(dotted));
    return result;
}

CAsyncSocket::CAsyncSocket() {
    liveSockets().push_back(this);
}

CAsyncSocket::~CAsyncSocket() {
    auto& sockets = liveSockets();
    sockets.erase(std::remove(sockets.begin(), sockets.end(), this), sockets.end());
    if (m_hSocket >= 0) {
        ::close(m_hSocket);
        m_hSocket = -1;
    }
    m_tls.reset();
    if (m_notifier) {
        m_notifier->setEnabled(false);
        m_notifier->m_quiet.stop();
        m_notifier->m_held.stop();
        // The notifier may be the sender of the signal that is running now.
        m_notifier.release()->deleteLater();
    }
}

bool CAsyncSocket::Create(unsigned port, int type, long events, const char* address) {
    (void)events; // read and close are the notifications the program handles
    if (type != SOCK_STREAM_TYPE || m_hSocket >= 0) {
        SetLastError(EINVAL);
        return false;
    }
    m_hSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_hSocket < 0) {
        SetLastError(errno);
        return false;
    }
    if (port != 0 || address) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(static_cast<uint16_t>(port));
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        if (address && ::inet_pton(AF_INET, address, &local.sin_addr) != 1) {
            SetLastError(EINVAL);
            return false;
        }
        if (::bind(m_hSocket, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            SetLastError(errno);
            return false;
        }
    }
    return true;
}

void CAsyncSocket::Close() {
    if (m_notifier) {
        m_notifier->setEnabled(false);
        m_notifier->m_quiet.stop();
        m_notifier->m_held.stop();
    }
    if (m_tls) {
        if (!m_closeDelivered) {
            m_tls->closeNotify();
        }
        m_tls.reset();
    }
    if (m_hSocket >= 0) {
        ::close(m_hSocket);
        m_hSocket = -1;
    }
    m_connected = false;
    m_armed = false;
}

namespace {

// A TLS call's outcome as a socket call's: a count, 0 at the end of the stream, or -1 with the last error. A stream
// that ended while sending fails the send with EPIPE, as send() does.
int tlsResult(TlsSession::Status status, int count, bool sending) {
    switch (status) {
    case TlsSession::kDone:
        return count;
    case TlsSession::kClosed:
        if (sending) {
            SetLastError(EPIPE);
            return -1;
        }
        return 0;
    case TlsSession::kWantRead:
    case TlsSession::kWantWrite:
        SetLastError(EWOULDBLOCK);
        return -1;
    case TlsSession::kFailed:
        break;
    }
    SetLastError(EPROTO);
    return -1;
}

// A blocking TLS read or write within the transfer bound. Decrypted bytes may be held already, so the call comes
// first and the wait after.
int transferTls(int fd, const std::function<TlsSession::Status(int& count)>& call, bool sending) {
    auto deadline = deadlineAfter(g_transferLimitMs);
    for (;;) {
        int count = 0;
        TlsSession::Status status = call(count);
        if (status != TlsSession::kWantRead && status != TlsSession::kWantWrite) {
            return tlsResult(status, count, sending);
        }
        if (!waitReady(fd, status == TlsSession::kWantRead ? POLLIN : POLLOUT, remainingMs(deadline))) {
            SetLastError(ETIMEDOUT);
            return -1;
        }
    }
}

} // namespace

int CAsyncSocket::Send(const void* buffer, int length, int flags) {
    if (m_hSocket < 0 || length < 0) {
        SetLastError(ENOTCONN);
        return -1;
    }
    if (m_tls) {
        int count = 0;
        const TlsSession::Status status = m_tls->write(buffer, length, count);
        return tlsResult(status, count, true);
    }
    ssize_t sent = ::send(m_hSocket, buffer, static_cast<size_t>(length), flags | MSG_NOSIGNAL);
    if (sent < 0) {
        SetLastError(errno);
        return -1;
    }
    return static_cast<int>(sent);
}

int CAsyncSocket::Receive(void* buffer, int capacity, int flags) {
    if (m_hSocket < 0 || capacity < 0) {
        SetLastError(ENOTCONN);
        return -1;
    }
    if (m_tls) {
        int count = 0;
        const TlsSession::Status status = m_tls->read(buffer, capacity, count);
        rearm();
        return tlsResult(status, count, false);
    }
    ssize_t received = ::recv(m_hSocket, buffer, static_cast<size_t>(capacity), flags);
    int error = errno;
    rearm();
    if (received < 0) {
        SetLastError(error);
        return -1;
    }
    return static_cast<int>(received);
}

bool CAsyncSocket::ShutDown(int how) {
    if (m_hSocket < 0) {
        SetLastError(ENOTCONN);
        return false;
    }
    if (m_tls && how != 0) {
        m_tls->closeNotify(); // TLS's own end of the stream goes before TCP's
    }
    int mode = how == 0 ? SHUT_RD : (how == 1 ? SHUT_WR : SHUT_RDWR);
    if (::shutdown(m_hSocket, mode) != 0) {
        SetLastError(errno);
        return false;
    }
    return true;
}

void CAsyncSocket::Destroy() {
    if (m_notificationDepth > 0) {
        Close();
        m_destroyPending = true;
        return;
    }
    delete this;
}

void CAsyncSocket::OnReceive(int) {}

void CAsyncSocket::OnClose(int) {}

void CAsyncSocket::OnQuiet() {}

void CAsyncSocket::SetQuietTimer(int ms) {
    if (!m_notifier) {
        return;
    }
    if (ms > 0) {
        m_notifier->m_quiet.start(ms);
    } else {
        m_notifier->m_quiet.stop();
    }
}

template <typename Hook> void CAsyncSocket::notify(Hook hook) {
    ++m_notificationDepth;
    hook();
    if (--m_notificationDepth == 0 && m_destroyPending) {
        delete this;
    }
}

void CAsyncSocket::setConnected() {
    m_connected = true;
    if (!m_notifier) {
        m_notifier = std::make_unique<SocketNotifier>(m_hSocket, this);
    }
    m_armed = true;
    refreshNotifier();
}

void CAsyncSocket::rearm() {
    if (m_connected && !m_closeDelivered) {
        m_armed = true;
        refreshNotifier();
    }
}

void CAsyncSocket::refreshNotifier() {
    if (m_notifier) {
        const bool deliverable = m_armed && g_holdDepth == 0 && m_hSocket >= 0 && !m_closeDelivered;
        m_notifier->setEnabled(deliverable);
        if (deliverable && m_tls && m_tls->pending()) {
            m_notifier->m_held.start(0);
        } else {
            m_notifier->m_held.stop();
        }
    }
}

CAsyncSocket::Probe CAsyncSocket::probe() {
    char byte = 0;
    if (m_tls) {
        int count = 0;
        switch (m_tls->read(&byte, 1, count, true)) {
        case TlsSession::kDone:
            return {Probe::kData, 0};
        case TlsSession::kWantRead:
        case TlsSession::kWantWrite:
            return {Probe::kNothing, 0};
        case TlsSession::kClosed:
            return {Probe::kEnd, 0};
        case TlsSession::kFailed:
            break;
        }
        return {Probe::kEnd, EPROTO};
    }
    ssize_t peeked = ::recv(m_hSocket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    int error = peeked < 0 ? errno : 0;
    if (peeked < 0 && (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)) {
        return {Probe::kNothing, 0};
    }
    return {peeked > 0 ? Probe::kData : Probe::kEnd, error};
}

void CAsyncSocket::notifierActivated() {
    m_armed = false;
    refreshNotifier();
    if (m_hSocket < 0 || m_closeDelivered || m_destroyPending) {
        return;
    }
    const Probe found = probe();
    if (found.kind == Probe::kNothing) {
        m_armed = true;
        refreshNotifier();
        return;
    }
    if (found.kind == Probe::kData) {
        notify([this] { OnReceive(0); });
    } else {
        // End of stream or a reset: the one close notification of this socket.
        m_closeDelivered = true;
        notify([this, error = found.error] { OnClose(error); });
    }
}

void CAsyncSocket::quietTimerFired() {
    if (m_hSocket < 0 || m_closeDelivered || m_destroyPending) {
        return;
    }
    if (g_holdDepth > 0 || m_notificationDepth > 0) {
        m_notifier->m_quiet.start(); // held, like the other notifications; asks again later
        return;
    }
    if (probe().kind != Probe::kNothing) {
        return; // data, an end or an error: the read or close notification comes instead
    }
    notify([this] { OnQuiet(); });
}

void CSocket::setWaitLimits(int connectMs, int transferMs) {
    g_connectLimitMs = connectMs;
    g_transferLimitMs = transferMs;
}

int CSocket::connectLimitMs() {
    return g_connectLimitMs;
}

int CSocket::transferLimitMs() {
    return g_transferLimitMs;
}

bool CSocket::Connect(const CString& host, int port) {
    if (!connectTcp(host, port, deadlineAfter(g_connectLimitMs))) {
        return false;
    }
    setConnected();
    return true;
}

bool CSocket::ConnectTls(const CString& host, int port, const std::function<bool(const TlsPeer&)>& trust) {
    auto deadline = deadlineAfter(g_connectLimitMs);
    if (!connectTcp(host, port, deadline)) {
        return false;
    }
    auto session = std::make_unique<TlsSession>(m_hSocket, host.bytes());
    for (;;) {
        TlsSession::Status status = session->handshake();
        if (status == TlsSession::kDone) {
            break;
        }
        bool waited = status != TlsSession::kFailed &&
                      waitReady(m_hSocket, status == TlsSession::kWantRead ? POLLIN : POLLOUT, remainingMs(deadline));
        if (!waited) {
            bool failed = status == TlsSession::kFailed;
            if (failed) {
                t_lastTlsError = session->error();
            }
            Close();
            SetLastError(failed ? EPROTO : ETIMEDOUT);
            return false;
        }
    }
    TlsPeer peer{session->verified(), CString(session->fingerprint())};
    m_tls = std::move(session);
    if (!trust(peer)) {
        Close();
        SetLastError(ECONNABORTED);
        return false;
    }
    setConnected();
    return true;
}

bool CSocket::connectTcp(const CString& host, int port, std::chrono::steady_clock::time_point deadline) {
    if (m_hSocket < 0) {
        SetLastError(ENOTSOCK);
        return false;
    }
    if (port <= 0 || port > 65535) {
        SetLastError(EADDRNOTAVAIL);
        return false;
    }
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, host.GetString(), &remote.sin_addr) != 1 &&
        !resolveHost(host, remainingMs(deadline), remote.sin_addr)) {
        return false;
    }
    if (::connect(m_hSocket, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        if (errno != EINPROGRESS) {
            SetLastError(errno);
            return false;
        }
        if (!waitReady(m_hSocket, POLLOUT, remainingMs(deadline))) {
            SetLastError(ETIMEDOUT);
            return false;
        }
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(m_hSocket, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            SetLastError(error);
            return false;
        }
    }
    return true;
}

int CSocket::Send(const void* buffer, int length, int flags) {
    if (m_hSocket < 0) {
        SetLastError(ENOTCONN);
        return -1;
    }
    if (m_tls) {
        return transferTls(
            m_hSocket, [&](int& count) { return m_tls->write(buffer, length, count); }, true);
    }
    if (!waitReady(m_hSocket, POLLOUT, g_transferLimitMs)) {
        SetLastError(ETIMEDOUT);
        return -1;
    }
    return CAsyncSocket::Send(buffer, length, flags);
}

int CSocket::Receive(void* buffer, int capacity, int flags) {
    if (m_hSocket < 0) {
        SetLastError(ENOTCONN);
        return -1;
    }
    if (m_tls) {
        int result = transferTls(
            m_hSocket, [&](int& count) { return m_tls->read(buffer, capacity, count); }, false);
        rearm();
        return result;
    }
    if (!waitReady(m_hSocket, POLLIN, g_transferLimitMs)) {
        SetLastError(ETIMEDOUT);
        rearm();
        return -1;
    }
    return CAsyncSocket::Receive(buffer, capacity, flags);
}
