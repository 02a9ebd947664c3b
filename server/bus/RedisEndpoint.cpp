#include "server/bus/RedisEndpoint.h"

#include <charconv>

namespace vesmira {

namespace {

constexpr std::string_view kScheme = "redis://";

bool isHostName(std::string_view host) {
    if (host.empty() || host.size() > 253) {
        return false;
    }
    for (const char c : host) {
        const bool letterOrDigit = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!letterOrDigit && c != '-' && c != '.' && c != '_') {
            return false;
        }
    }
    return true;
}

bool isIpv6Text(std::string_view host) {
    if (host.empty() || host.size() > 45) {
        return false;
    }
    for (const char c : host) {
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex && c != ':' && c != '.') {
            return false;
        }
    }
    return host.find(':') != std::string_view::npos;
}

} // namespace

std::optional<RedisEndpoint> RedisEndpoint::parse(std::string_view uri, std::string& error) {
    const auto fail = [&error, uri](std::string why) -> std::optional<RedisEndpoint> {
        error = "--relay needs redis://HOST:PORT, not '" + std::string(uri) + "': " + why;
        return std::nullopt;
    };
    if (!uri.starts_with(kScheme)) {
        return fail("only redis:// is understood");
    }
    std::string_view rest = uri.substr(kScheme.size());
    if (rest.ends_with('/')) {
        rest.remove_suffix(1);
    }
    if (rest.find('@') != std::string_view::npos) {
        return fail("credentials are not supported; keep Redis on a private network");
    }
    if (rest.find_first_of("/?#") != std::string_view::npos) {
        return fail("a database number or options are not supported");
    }
    RedisEndpoint endpoint;
    std::string_view portText;
    if (rest.starts_with('[')) {
        const auto close = rest.find(']');
        if (close == std::string_view::npos || !isIpv6Text(rest.substr(1, close - 1))) {
            return fail("bad IPv6 address");
        }
        endpoint.host = std::string(rest.substr(1, close - 1));
        const std::string_view after = rest.substr(close + 1);
        if (!after.empty()) {
            if (!after.starts_with(':')) {
                return fail("bad port");
            }
            portText = after.substr(1);
            if (portText.empty()) {
                return fail("bad port");
            }
        }
    } else {
        const auto colon = rest.rfind(':');
        const std::string_view host = colon == std::string_view::npos ? rest : rest.substr(0, colon);
        if (!isHostName(host)) {
            return fail("bad host");
        }
        endpoint.host = std::string(host);
        if (colon != std::string_view::npos) {
            portText = rest.substr(colon + 1);
            if (portText.empty()) {
                return fail("bad port");
            }
        }
    }
    if (!portText.empty()) {
        unsigned port = 0;
        const auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
        if (ec != std::errc() || end != portText.data() + portText.size() || port == 0 || port > 65535) {
            return fail("bad port");
        }
        endpoint.port = static_cast<std::uint16_t>(port);
    }
    return endpoint;
}

std::string RedisEndpoint::text() const {
    const bool v6 = host.find(':') != std::string::npos;
    return "redis://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

} // namespace vesmira
