#include "server/bus/PresenceScripts.h"

namespace vesmira {

PresenceKeys::PresenceKeys(const std::string& room, std::string_view server)
    : present(room + ":present"), own(present + ":" + std::string(server)),
      alive(room + ":alive:" + std::string(server)), servers(room + ":servers"),
      reaped(room + ":reaped:" + std::string(server)), reaps(room + ":reaps") {}

namespace PresenceScripts {

const std::string_view kEnsureAlive = R"lua(
local function ensureAlive(alive, servers, own, server, expiry)
  if redis.call('SET', alive, '1', 'PX', expiry, 'XX') then
    return 0
  end
  redis.call('SET', alive, '1', 'PX', expiry)
  redis.call('SADD', servers, server)
  if redis.call('EXISTS', own) == 1 then
    return 0
  end
  return 1
end
)lua";

const std::string_view kBeat = R"lua(
return ensureAlive(KEYS[1], KEYS[2], KEYS[3], ARGV[1], ARGV[2])
)lua";

const std::string_view kReap = R"lua(
if redis.call('EXISTS', KEYS[5]) == 1 then
  return 0
end
redis.call('SREM', KEYS[3], ARGV[1])
local ids = redis.call('HKEYS', KEYS[6])
if #ids == 0 then
  return 0
end
local origin = 'reaped/' .. redis.call('INCR', KEYS[4])
local sequence = 0
for _, id in ipairs(ids) do
  if redis.call('HINCRBY', KEYS[2], id, -1) <= 0 then
    redis.call('HDEL', KEYS[2], id)
    sequence = sequence + 1
    redis.call('XADD', KEYS[1], 'MAXLEN', '~', ARGV[2], '*', 'o', origin, 's', sequence, 'r', id .. ARGV[3])
  end
end
redis.call('DEL', KEYS[6])
redis.call('SET', KEYS[7], '1', 'EX', 3600)
return sequence
)lua";

} // namespace PresenceScripts

} // namespace vesmira
