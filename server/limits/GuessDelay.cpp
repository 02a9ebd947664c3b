#include "server/limits/GuessDelay.h"

#include <algorithm>

namespace vesmira {

std::string GuessDelay::accountKey(std::string_view account) {
    return account.empty() ? std::string() : std::string("u").append(account);
}

std::string GuessDelay::addressKey(std::string_view address) {
    return std::string("a").append(address);
}

GuessDelay::Clock::time_point GuessDelay::notBefore(std::string_view account, std::string_view address,
                                                    Clock::time_point now) {
    Clock::time_point at = now;
    for (const std::string& key : {accountKey(account), addressKey(address)}) {
        if (const Entry* entry = key.empty() ? nullptr : find(key, now)) {
            at = std::max(at, entry->until);
        }
    }
    return at;
}

std::chrono::milliseconds GuessDelay::failed(std::string_view account, std::string_view address,
                                             Clock::time_point now) {
    const std::string keys[] = {accountKey(account), addressKey(address)};
    unsigned failures = 0;
    for (const std::string& key : keys) {
        if (!key.empty()) {
            failures = std::max(failures, record(key, now).failures);
        }
    }
    const std::chrono::milliseconds delay = delayFor(failures);
    for (const std::string& key : keys) {
        if (Entry* entry = key.empty() ? nullptr : find(key, now)) {
            entry->until = std::max(entry->until, now + delay);
        }
    }
    return delay;
}

void GuessDelay::succeeded(std::string_view account) {
    if (!account.empty()) {
        m_entries.erase(accountKey(account));
    }
}

GuessDelay::Entry* GuessDelay::find(const std::string& key, Clock::time_point now) {
    const auto found = m_entries.find(key);
    if (found == m_entries.end()) {
        return nullptr;
    }
    if (now - found->second.last >= m_settings.quiet && now >= found->second.until) {
        m_entries.erase(found);
        return nullptr;
    }
    return &found->second;
}

GuessDelay::Entry& GuessDelay::record(const std::string& key, Clock::time_point now) {
    if (!m_swept || now - *m_swept >= kSweepInterval || m_entries.size() >= kMaxKeys) {
        forgetQuiet(now);
    }
    Entry* entry = find(key, now);
    if (!entry) {
        if (m_entries.size() >= kMaxKeys) {
            // Still full of recent failures: a new key is not remembered rather than pushing out one that is
            // being slowed. Its failure still gets the first delay.
            m_overflow = Entry{};
            entry = &m_overflow;
        } else {
            entry = &m_entries[key];
        }
    }
    ++entry->failures;
    entry->last = now;
    return *entry;
}

void GuessDelay::forgetQuiet(Clock::time_point now) {
    // A sweep costs a pass over every key: at most one a second, however fast failures come.
    if (m_swept && now - *m_swept < std::chrono::seconds(1)) {
        return;
    }
    m_swept = now;
    std::erase_if(m_entries, [&](const auto& item) {
        return now - item.second.last >= m_settings.quiet && now >= item.second.until;
    });
}

std::chrono::milliseconds GuessDelay::delayFor(unsigned failures) const {
    std::chrono::milliseconds delay = m_settings.first;
    for (unsigned i = 1; i < failures && delay < m_settings.cap; ++i) {
        delay *= 2;
    }
    return std::min(delay, m_settings.cap);
}

} // namespace vesmira
