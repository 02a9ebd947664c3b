#include "server/bus/RedisGuessGate.h"

#include "server/bus/RedisLink.h"
#include "server/log/Logger.h"

#include <hiredis.h>

namespace vesmira {

namespace {

// KEYS: the account's hash (when there is an account) and the address's. ARGV: the lease, how soon to ask again
// while another check is in flight, how long past its time a waiter counts as gone (milliseconds), the address.
// Returns 0 when the check may start, now marked in flight, else how many milliseconds to wait. The account's checks
// go to the addresses waiting for it in LocalGuessGate's order: fields "w:ADDRESS" hold "DUE FAILED SINCE", when it
// asks again, 1 if failures count against the address (else 0), and when it began to wait.
constexpr std::string_view kEnterScript = R"lua(
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
local lease, retry, stale, address = tonumber(ARGV[1]), tonumber(ARGV[2]), tonumber(ARGV[3]), ARGV[4]
local wait = 0
for _, key in ipairs(KEYS) do
  local busy = tonumber(redis.call('HGET', key, 'busy') or '0')
  local held = tonumber(redis.call('HGET', key, 'until') or '0')
  if busy > now then wait = math.max(wait, retry) end
  if held > now then wait = math.max(wait, held - now) end
end
if #KEYS == 2 then
  local mine = 'w:' .. address
  local failed = redis.call('HEXISTS', KEYS[2], 'failures')
  local since = now
  local others = {}
  local fields = redis.call('HGETALL', KEYS[1])
  for i = 1, #fields, 2 do
    if string.sub(fields[i], 1, 2) == 'w:' then
      local due, f, s = string.match(fields[i + 1], '^(%d+) (%d) (%d+)$')
      due, f, s = tonumber(due), tonumber(f), tonumber(s)
      if not due or due + stale < now then
        redis.call('HDEL', KEYS[1], fields[i])
      elseif fields[i] == mine then
        since = s
      elseif due <= now + retry then
        table.insert(others, {f, s})
      end
    end
  end
  for _, other in ipairs(others) do
    if wait == 0 and (other[1] < failed or (other[1] == failed and other[2] < since)) then wait = retry end
  end
  if wait > 0 then
    redis.call('HSET', KEYS[1], mine, string.format('%d %d %d', now + wait, failed, since))
  else
    redis.call('HDEL', KEYS[1], mine)
  end
end
if wait == 0 then
  for _, key in ipairs(KEYS) do redis.call('HSET', key, 'busy', now + lease) end
end
for _, key in ipairs(KEYS) do
  if redis.call('EXISTS', key) == 1 and redis.call('PTTL', key) < lease then redis.call('PEXPIRE', key, lease) end
end
return wait
)lua";

// KEYS as above. ARGV: "failed", "succeeded" or "neither"; the first delay, its cap and the quiet period (ms).
// Returns how long to hold back the refusal. A key quiet for the quiet period has expired, so it starts afresh.
constexpr std::string_view kLeaveScript = R"lua(
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
for _, key in ipairs(KEYS) do redis.call('HDEL', key, 'busy') end
if ARGV[1] == 'succeeded' then
  if #KEYS == 2 then redis.call('DEL', KEYS[1]) end
  return 0
end
if ARGV[1] ~= 'failed' then return 0 end
local failures = 0
for _, key in ipairs(KEYS) do failures = math.max(failures, redis.call('HINCRBY', key, 'failures', 1)) end
local delay = tonumber(ARGV[2])
for i = 2, failures do
  if delay >= tonumber(ARGV[3]) then break end
  delay = delay * 2
end
delay = math.min(delay, tonumber(ARGV[3]))
for _, key in ipairs(KEYS) do
  local held = tonumber(redis.call('HGET', key, 'until') or '0')
  redis.call('HSET', key, 'until', math.max(held, now + delay))
  redis.call('PEXPIRE', key, math.max(tonumber(ARGV[4]), delay))
end
return delay
)lua";

constexpr std::chrono::milliseconds kTimeout{1000};
constexpr std::chrono::seconds kRetryAfterOutage{1};

std::string_view resultName(GuessGate::Result result) {
    switch (result) {
    case GuessGate::Result::Failed:
        return "failed";
    case GuessGate::Result::Succeeded:
        return "succeeded";
    case GuessGate::Result::Neither:
        break;
    }
    return "neither";
}

} // namespace

RedisGuessGate::RedisGuessGate(RedisEndpoint endpoint, GuessDelay::Settings settings, Logger& logger,
                               std::string prefix)
    : m_endpoint(std::move(endpoint)), m_settings(settings), m_logger(logger), m_prefix(std::move(prefix)),
      m_local(settings) {}

RedisGuessGate::~RedisGuessGate() = default;

GuessGate::Entry RedisGuessGate::enter(std::string_view account, std::string_view address) {
    const auto wait =
        run(kEnterScript, account, address,
            {std::to_string(std::chrono::milliseconds(kLease).count()), std::to_string(LocalGuessGate::kRetry.count()),
             std::to_string(LocalGuessGate::kStaleWaiter.count()), std::string(address)});
    if (!wait) {
        return m_local.enter(account, address);
    }
    if (*wait > 0) {
        return {false, std::chrono::milliseconds(*wait)};
    }
    return {true, {}, false};
}

std::chrono::milliseconds RedisGuessGate::leave(std::string_view account, std::string_view address, Result result,
                                                const Entry& entry) {
    if (entry.local) {
        return m_local.leave(account, address, result, entry);
    }
    const auto delay = run(kLeaveScript, account, address,
                           {std::string(resultName(result)), std::to_string(m_settings.first.count()),
                            std::to_string(m_settings.cap.count()), std::to_string(m_settings.quiet.count())});
    if (delay) {
        return std::chrono::milliseconds(*delay);
    }
    // Redis went away during the check: its in-flight mark expires with its lease; the failure still counts here, and
    // the local gate's marks, of checks it let in meanwhile, stay.
    return result == Result::Failed ? m_local.countFailure(account, address) : std::chrono::milliseconds{};
}

std::optional<long long> RedisGuessGate::run(std::string_view script, std::string_view account,
                                             std::string_view address, const std::vector<std::string>& args) {
    {
        std::lock_guard lock(m_mutex);
        if (m_down && std::chrono::steady_clock::now() < m_retryAt) {
            return std::nullopt;
        }
    }
    const std::string accountKey = m_prefix + GuessDelay::accountKey(account);
    const std::string addressKey = m_prefix + GuessDelay::addressKey(address);
    std::vector<std::string_view> command = {"EVAL", script};
    if (account.empty()) {
        command.insert(command.end(), {"1", addressKey});
    } else {
        command.insert(command.end(), {"2", accountKey, addressKey});
    }
    command.insert(command.end(), args.begin(), args.end());
    std::unique_ptr<RedisLink> link = takeLink();
    std::string error;
    // A pooled link may have died quietly (Redis restarted while it sat idle): one more try on a fresh link before
    // this counts as an outage.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const bool fresh = !link->connected();
        if (fresh && !link->connect(m_endpoint, kTimeout)) {
            error = link->error();
            break;
        }
        const RedisLink::Reply reply = link->command(command);
        if (reply && reply->type == REDIS_REPLY_INTEGER) {
            giveBack(std::move(link));
            answered();
            return reply->integer;
        }
        error = reply ? RedisLink::describe(*reply, "EVAL") : link->error();
        link->close();
        if (fresh) {
            break;
        }
    }
    failed(error);
    return std::nullopt;
}

std::unique_ptr<RedisLink> RedisGuessGate::takeLink() {
    std::lock_guard lock(m_mutex);
    if (m_idle.empty()) {
        return std::make_unique<RedisLink>();
    }
    std::unique_ptr<RedisLink> link = std::move(m_idle.back());
    m_idle.pop_back();
    return link;
}

void RedisGuessGate::giveBack(std::unique_ptr<RedisLink> link) {
    std::lock_guard lock(m_mutex);
    m_idle.push_back(std::move(link));
}

void RedisGuessGate::failed(const std::string& error) {
    std::lock_guard lock(m_mutex);
    // The idle links went the same way: each would fail once more after the outage, and count as one again.
    m_idle.clear();
    m_retryAt = std::chrono::steady_clock::now() + kRetryAfterOutage;
    if (!m_down) {
        m_down = true;
        m_logger.log(LogLevel::Warn, {},
                     "sign-in slow-down: Redis at " + m_endpoint.text() + " unreachable (" + error +
                         "); this server slows failed sign-ins by itself until it is back");
    }
}

void RedisGuessGate::answered() {
    std::lock_guard lock(m_mutex);
    if (m_down) {
        m_down = false;
        m_logger.log(LogLevel::Warn, {},
                     "sign-in slow-down: Redis at " + m_endpoint.text() +
                         " is back; failed sign-ins are slowed "
                         "across servers again");
    }
}

} // namespace vesmira
