#pragma once

#include <memory>
#include <string>

struct ssl_st;

// The client's side of TLS (1.2 or 1.3) over a connected non-blocking socket, through OpenSSL. No call waits: each
// says whether it needs the socket readable or writable first, and the caller waits as it does for any socket.
class TlsSession {
public:
    enum Status {
        kDone,
        kWantRead,  // try again once the socket is readable
        kWantWrite, // try again once it is writable
        kClosed,    // the peer ended the stream
        kFailed,    // error() says why
    };

    // For the server named `host` (a host name or a dotted address), which the certificate must name.
    TlsSession(int fd, const std::string& host);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    Status handshake();
    // Decrypted bytes into `buffer`; `peek` leaves them to be read again.
    Status read(void* buffer, int capacity, int& count, bool peek = false);
    Status write(const void* buffer, int length, int& count);
    // Decrypted bytes are held that no wait on the socket would show.
    bool pending() const;
    // Tells the peer that the stream ends (best effort; nothing is waited for).
    void closeNotify();

    // After the handshake: whether the system's certificate authorities vouch for the certificate and it names the
    // host; and the certificate's SHA-256 fingerprint, 32 bytes in hex, colon-separated.
    bool verified() const { return m_verified; }
    const std::string& fingerprint() const { return m_fingerprint; }
    // The last failure, in OpenSSL's words.
    const std::string& error() const { return m_error; }

private:
    Status status(int result);

    ssl_st* m_ssl = nullptr;
    bool m_verified = false;
    std::string m_fingerprint;
    std::string m_error;
};
