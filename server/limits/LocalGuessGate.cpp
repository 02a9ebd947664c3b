#include "server/limits/LocalGuessGate.h"

namespace vesmira {

namespace {

std::chrono::milliseconds ceilMilliseconds(GuessDelay::Clock::duration duration) {
    return std::chrono::ceil<std::chrono::milliseconds>(duration);
}

} // namespace

GuessGate::Entry LocalGuessGate::enter(std::string_view account, std::string_view address) {
    const std::string keys[] = {GuessDelay::accountKey(account), GuessDelay::addressKey(address)};
    const GuessDelay::Clock::time_point now = GuessDelay::Clock::now();
    std::lock_guard lock(m_mutex);
    for (const std::string& key : keys) {
        if (!key.empty() && m_inFlight.contains(key)) {
            return {false, kRetry};
        }
    }
    const GuessDelay::Clock::time_point at = m_delay.notBefore(account, address, now);
    if (at > now) {
        return {false, ceilMilliseconds(at - now)};
    }
    for (const std::string& key : keys) {
        if (!key.empty()) {
            m_inFlight.insert(key);
        }
    }
    return {true, {}, true};
}

std::chrono::milliseconds LocalGuessGate::leave(std::string_view account, std::string_view address, Result result,
                                                const Entry&) {
    std::lock_guard lock(m_mutex);
    m_inFlight.erase(GuessDelay::accountKey(account));
    m_inFlight.erase(GuessDelay::addressKey(address));
    switch (result) {
    case Result::Failed:
        return m_delay.failed(account, address, GuessDelay::Clock::now());
    case Result::Succeeded:
        m_delay.succeeded(account);
        break;
    case Result::Neither:
        break;
    }
    return {};
}

} // namespace vesmira
