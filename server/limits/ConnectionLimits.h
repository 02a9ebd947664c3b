#pragma once

#include <asio/ip/address.hpp>

#include <cstddef>
#include <unordered_map>

namespace vesmira {

// Counts the server's connections (in total, those not yet signed in, and per client address) and decides
// whether a new one may stay. It only counts: the caller holds the connections, and closes the one it is told
// to evict.
class ConnectionLimits {
public:
    struct Settings {
        std::size_t maxConnections = 1024;
        std::size_t maxPending = 256; // connections not yet signed in
        std::size_t maxPerAddress = 32;
    };

    enum class Decision {
        Admit,
        // The budget for connections not yet signed in is full: close the one that has waited longest, then
        // admit. Silent connections so age out under a flood, while a client that signs in at once gets through.
        AdmitAfterEvicting,
        RefuseTotal,      // every place is taken
        RefusePerAddress, // this address has its share already
    };

    explicit ConnectionLimits(Settings settings) : m_settings(settings) {}

    // What to do with a new connection from `address`. Changes nothing: on admission, call add().
    Decision check(const asio::ip::address& address) const;
    void add(const asio::ip::address& address);
    void signedIn();
    void remove(const asio::ip::address& address, bool pending);

    std::size_t total() const { return m_total; }
    std::size_t pending() const { return m_pending; }
    std::size_t fromAddress(const asio::ip::address& address) const;
    const Settings& settings() const { return m_settings; }

    // An IPv4 client of a server listening on IPv6 shows up as ::ffff:a.b.c.d; it counts as a.b.c.d.
    static asio::ip::address normalized(const asio::ip::address& address);
    // The share of all places that connections not yet signed in may take by default: a quarter.
    static std::size_t defaultMaxPending(std::size_t maxConnections);

private:
    Settings m_settings;
    std::size_t m_total = 0;
    std::size_t m_pending = 0;
    std::unordered_map<asio::ip::address, std::size_t> m_perAddress;
};

} // namespace vesmira
