#pragma once

#include "server/bus/RedisEndpoint.h"
#include "server/limits/GuessDelay.h"
#include "server/limits/GuessGate.h"
#include "server/limits/LocalGuessGate.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vesmira {

class Logger;
class RedisLink;

// The guess gate shared by every server on one Redis: the counts, the held refusals and the checks in flight of
// each account and address live in Redis (one hash per key, expiring after the quiet period), changed by small
// scripts that run atomically on Redis's own clock, so k servers let a guesser try no faster than one. A check
// in flight is marked with a lease, so a server that dies during one blocks nobody for long.
//
// While Redis cannot be reached, each server slows guesses by itself (a LocalGuessGate) and asks Redis again after
// a second; the outage and its end are logged once. Any thread: each caller takes a connection of its own from a
// pool that grows to the number of threads calling.
class RedisGuessGate final : public GuessGate {
public:
    RedisGuessGate(RedisEndpoint endpoint, GuessDelay::Settings settings, Logger& logger,
                   std::string prefix = "vesmira:guess:");
    ~RedisGuessGate() override;

    RedisGuessGate(const RedisGuessGate&) = delete;
    RedisGuessGate& operator=(const RedisGuessGate&) = delete;

    Entry enter(std::string_view account, std::string_view address) override;
    std::chrono::milliseconds leave(std::string_view account, std::string_view address, Result result,
                                    const Entry& entry) override;

    // How long a check may stay marked in flight; a server that died during one lets it go after this.
    static constexpr std::chrono::seconds kLease{30};

private:
    // A reply to a script: its integer, or nullopt when Redis could not be asked (the local gate is then used).
    std::optional<long long> run(std::string_view script, std::string_view account, std::string_view address,
                                 const std::vector<std::string>& args);
    std::unique_ptr<RedisLink> takeLink();
    void giveBack(std::unique_ptr<RedisLink> link);
    void failed(const std::string& error);
    void answered();

    const RedisEndpoint m_endpoint;
    const GuessDelay::Settings m_settings;
    Logger& m_logger;
    const std::string m_prefix;
    LocalGuessGate m_local;

    std::mutex m_mutex;
    std::vector<std::unique_ptr<RedisLink>> m_idle;
    bool m_down = false;
    std::chrono::steady_clock::time_point m_retryAt{};
};

} // namespace vesmira
