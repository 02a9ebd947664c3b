#include "server/limits/ConnectionLimits.h"

#include <algorithm>

namespace vesmira {

ConnectionLimits::Decision ConnectionLimits::check(const asio::ip::address& address) const {
    if (m_total >= m_settings.maxConnections) {
        return Decision::RefuseTotal;
    }
    if (fromAddress(address) >= m_settings.maxPerAddress) {
        return Decision::RefusePerAddress;
    }
    return m_pending >= m_settings.maxPending ? Decision::AdmitAfterEvicting : Decision::Admit;
}

void ConnectionLimits::add(const asio::ip::address& address) {
    ++m_total;
    ++m_pending;
    ++m_perAddress[normalized(address)];
}

void ConnectionLimits::signedIn() {
    if (m_pending > 0) {
        --m_pending;
    }
}

void ConnectionLimits::remove(const asio::ip::address& address, bool pending) {
    const auto found = m_perAddress.find(normalized(address));
    if (found == m_perAddress.end()) {
        return; // never added
    }
    if (--found->second == 0) {
        m_perAddress.erase(found);
    }
    --m_total;
    if (pending && m_pending > 0) {
        --m_pending;
    }
}

std::size_t ConnectionLimits::fromAddress(const asio::ip::address& address) const {
    const auto found = m_perAddress.find(normalized(address));
    return found == m_perAddress.end() ? 0 : found->second;
}

asio::ip::address ConnectionLimits::normalized(const asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    }
    return address;
}

std::size_t ConnectionLimits::defaultMaxPending(std::size_t maxConnections) {
    return std::max<std::size_t>(1, maxConnections / 4);
}

} // namespace vesmira
