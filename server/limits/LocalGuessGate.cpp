#include "server/limits/LocalGuessGate.h"

#include <algorithm>
#include <tuple>

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
    std::chrono::milliseconds wait{0};
    for (const std::string& key : keys) {
        if (!key.empty() && m_inFlight.contains(key)) {
            wait = kRetry;
        }
    }
    wait = std::max(wait, ceilMilliseconds(m_delay.notBefore(account, address, now) - now));
    forgetGoneWaiters(now);
    Turns* turns = keys[0].empty() ? nullptr : &m_turns[keys[0]];
    if (turns) {
        std::erase_if(turns->waiting, [now](const auto& item) { return item.second.due + kStaleWaiter < now; });
        const auto found = turns->waiting.find(std::string(address));
        const Waiter self{
            found == turns->waiting.end() ? now : found->second.since, {}, m_delay.addressFailed(address, now)};
        // Only a waiter about to ask again goes first: one held back by its own address holds up nobody.
        const bool another = std::any_of(turns->waiting.begin(), turns->waiting.end(), [&](const auto& item) {
            const Waiter& other = item.second;
            return item.first != address && other.due <= now + kRetry &&
                   std::tie(other.failed, other.since) < std::tie(self.failed, self.since);
        });
        if (wait.count() <= 0 && another) {
            wait = kRetry;
        }
        if (wait.count() > 0) {
            turns->waiting[std::string(address)] = {self.since, now + wait, self.failed};
        }
    }
    if (wait.count() > 0) {
        return {false, wait};
    }
    for (const std::string& key : keys) {
        if (!key.empty()) {
            m_inFlight.insert(key);
        }
    }
    if (turns) {
        turns->waiting.erase(std::string(address));
    }
    return {true, {}, true};
}

void LocalGuessGate::forgetGoneWaiters(GuessDelay::Clock::time_point now) {
    // Connections that stopped waiting (closed) leave their account's turns behind; a pass at most once a second.
    if (now - m_swept < std::chrono::seconds(1)) {
        return;
    }
    m_swept = now;
    std::erase_if(m_turns, [&](const auto& item) {
        return !m_inFlight.contains(item.first) &&
               std::all_of(item.second.waiting.begin(), item.second.waiting.end(),
                           [now](const auto& waiter) { return waiter.second.due + kStaleWaiter < now; });
    });
}

std::chrono::milliseconds LocalGuessGate::leave(std::string_view account, std::string_view address, Result result,
                                                const Entry&) {
    const std::string accountKey = GuessDelay::accountKey(account);
    std::lock_guard lock(m_mutex);
    m_inFlight.erase(accountKey);
    m_inFlight.erase(GuessDelay::addressKey(address));
    if (const auto turns = m_turns.find(accountKey); turns != m_turns.end() && turns->second.waiting.empty()) {
        m_turns.erase(turns); // nobody else waits: whose turn it was no longer matters
    }
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

std::chrono::milliseconds LocalGuessGate::countFailure(std::string_view account, std::string_view address) {
    std::lock_guard lock(m_mutex);
    return m_delay.failed(account, address, GuessDelay::Clock::now());
}

} // namespace vesmira
