#pragma once

#include "platform/base/CString.h"

#include <optional>

class CSocket;
class CWnd;

// Connecting over TLS as the user chose for a server, and deciding whether to trust its certificate: one that the
// system's certificate authorities vouch for is accepted silently; otherwise the user compares its fingerprint on
// first contact (trust always, this time only, or cancel), and a server known by another certificate is refused
// with a warning. Never falls back to a plain connection.
namespace ServerTrust {

enum Outcome {
    kConnected,
    kConnectFailed, // no TCP connection: GetLastError() says why
    kRefused,       // no usable TLS connection; the user has been told why
};

// Connects `socket` to `host` and `port`, over TLS when `tls`, and remembers that choice for the server. Boxes are
// owned by `window`.
Outcome connect(CSocket& socket, CWnd& window, const CString& host, int port, bool tls);

// Whether TLS was last chosen for the server; nullopt when it has not been connected to.
std::optional<bool> rememberedTls(const CString& host, int port);

} // namespace ServerTrust
