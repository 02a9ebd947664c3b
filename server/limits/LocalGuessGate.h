#pragma once

#include "server/limits/GuessDelay.h"
#include "server/limits/GuessGate.h"

#include <mutex>
#include <string>
#include <unordered_set>

namespace vesmira {

// The guess gate of one server: a GuessDelay and the checks in flight, in this process. Any thread.
class LocalGuessGate final : public GuessGate {
public:
    // How soon a check that found another in flight asks again.
    static constexpr std::chrono::milliseconds kRetry{20};

    explicit LocalGuessGate(GuessDelay::Settings settings = {}) : m_delay(settings) {}

    Entry enter(std::string_view account, std::string_view address) override;
    std::chrono::milliseconds leave(std::string_view account, std::string_view address, Result result,
                                    const Entry& entry) override;

private:
    std::mutex m_mutex;
    GuessDelay m_delay;
    std::unordered_set<std::string> m_inFlight; // by GuessDelay's keys
};

} // namespace vesmira
