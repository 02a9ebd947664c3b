#pragma once

#include "platform/base/CString.h"

#include <chrono>
#include <functional>
#include <memory>

class SocketNotifier;
class TlsSession;

constexpr int SOCK_STREAM_TYPE = 1;
constexpr long FD_ALL_EVENTS = 63;

// What the user is asked to trust when a TLS server's certificate is not vouched for by the system.
struct TlsPeer {
    bool verified;       // the system's certificate authorities vouch for it, for the host connected to
    CString fingerprint; // SHA-256, 32 bytes in hex, colon-separated
};

// A TCP socket whose read and close events arrive as notifications on the user-interface thread.
//
// Notifications behave as on the desktop this program was written for: a read notification is not repeated until
// the next Receive, so a handler that opens a modal box before reading is not re-entered in a busy loop; a close
// notification comes exactly once. While any blocking call of any socket waits, notifications are held and come
// afterwards. A socket is never freed while one of its own notifications is running: Destroy() inside one defers
// the deletion until it returns.
class CAsyncSocket {
public:
    CAsyncSocket();
    virtual ~CAsyncSocket();
    CAsyncSocket(const CAsyncSocket&) = delete;
    CAsyncSocket& operator=(const CAsyncSocket&) = delete;

    bool Create(unsigned port = 0, int type = SOCK_STREAM_TYPE, long events = FD_ALL_EVENTS,
                const char* address = nullptr);
    virtual void Close();
    virtual int Send(const void* buffer, int length, int flags = 0);
    virtual int Receive(void* buffer, int capacity, int flags = 0);
    // how: 0 receives, 1 sends, 2 both.
    bool ShutDown(int how = 1);

    int handle() const { return m_hSocket; }

    // Deletes the object now, or when its running notification returns.
    void Destroy();

    // Asks for one OnQuiet() once `ms` milliseconds have passed with nothing to read; 0 cancels. Like the read
    // notification, it waits while a blocking call or a notification of this socket runs, and gives way to the read
    // and close notifications.
    void SetQuietTimer(int ms);

    // Notification hooks; the base versions do nothing.
    virtual void OnReceive(int errorCode);
    virtual void OnClose(int errorCode);
    virtual void OnQuiet();

    // Platform side.
    void notifierActivated();
    void quietTimerFired();
    void refreshNotifier();

protected:
    void setConnected();
    void rearm();

    int m_hSocket = -1;
    std::unique_ptr<TlsSession> m_tls;

private:
    // What a look at the socket finds without taking anything: data, nothing yet, or the end (with its error).
    struct Probe {
        enum Kind { kNothing, kData, kEnd } kind;
        int error;
    };
    Probe probe();
    // Runs a notification hook; a Destroy() inside it takes effect when it returns.
    template <typename Hook> void notify(Hook hook);

    std::unique_ptr<SocketNotifier> m_notifier;
    bool m_connected = false;
    bool m_armed = false;
    bool m_closeDelivered = false;
    int m_notificationDepth = 0;
    bool m_destroyPending = false;
};

// The blocking socket: Connect, Send and Receive wait for their result while the window keeps repainting, with a
// bounded wait (a time-out fails the call with the time-out error).
class CSocket : public CAsyncSocket {
public:
    bool Connect(const CString& host, int port);
    // Connects, then runs TLS for `host` within the same bound. Before any notification of this socket can run,
    // `trust` decides on the server's certificate (it may show boxes meanwhile); its refusal fails the call with
    // ECONNABORTED. A failed handshake fails it with EPROTO, and GetLastTlsError() says why. After a failure the
    // socket is closed; after success every byte sent and received passes through TLS, with the same notifications.
    bool ConnectTls(const CString& host, int port, const std::function<bool(const TlsPeer&)>& trust);
    int Send(const void* buffer, int length, int flags = 0) override;
    int Receive(void* buffer, int capacity, int flags = 0) override;

    // Bounds of the waits, in milliseconds (tests shorten them).
    static void setWaitLimits(int connectMs, int transferMs);
    static int connectLimitMs();
    static int transferLimitMs();

private:
    // The TCP connection, the name lookup included, by `deadline`, without arming the notifications.
    bool connectTcp(const CString& host, int port, std::chrono::steady_clock::time_point deadline);
};

// The last error of a socket or name-resolution call on this thread: an errno value, or a negative resolver
// (getaddrinfo) code.
int GetLastError();
void SetLastError(int code);
// Why the last TLS handshake of this thread that failed with EPROTO failed, in OpenSSL's words.
CString GetLastTlsError();

// The system's text for an error code of GetLastError(), in CP932; the code's number when the system has none.
CString FormatSystemMessage(int code);

// The local host name, and the first IPv4 address that name resolves to as dotted text (empty when it does not
// resolve). A loopback answer is replaced by the first address of a configured network interface, which is what
// peers on the network can reach.
CString GetLocalHostName();
CString GetLocalIPv4Address();
