#include "server/bus/RedisBus.h"

#include "server/bus/RedisLink.h"
#include "server/bus/StreamInfo.h"
#include "server/bus/StreamRecord.h"
#include "server/log/LogText.h"
#include "server/log/Logger.h"

#include <algorithm>
#include <charconv>
#include <hiredis.h>

namespace vesmira {

namespace {

// Appends one batch, skipping the lines of this origin it appended before (a batch retried after its reply was
// lost). The epoch key is set with the first entry of a new stream, in the same atomic step, so a copy of the
// data that holds the stream also holds its epoch. A line that is a count of an ID's connections here updates the
// room's presence and appends the join or leave it makes, if any (PresenceScripts.h). Returns the last sequence
// appended and whether every count must be written again.
constexpr std::string_view kAppendScript = R"lua(
local stream, epoch, guard, present, own, alive, servers, reaped =
  KEYS[1], KEYS[2], KEYS[3], KEYS[4], KEYS[5], KEYS[6], KEYS[7], KEYS[8]
local origin, maxLength = ARGV[2], ARGV[3]
local function add(sequence, bytes, excluded)
  if excluded == '' then
    redis.call('XADD', stream, 'MAXLEN', '~', maxLength, '*', 'o', origin, 's', sequence, 'r', bytes)
  else
    redis.call('XADD', stream, 'MAXLEN', '~', maxLength, '*', 'o', origin, 's', sequence, 'r', bytes, 'x', excluded)
  end
end
local function count(sequence, id, text, excluded)
  local again = string.sub(text, 1, 1) == '='
  local connections = tonumber(again and string.sub(text, 2) or text)
  local held = redis.call('HEXISTS', own, id) == 1
  if connections > 0 then
    redis.call('HSET', own, id, connections)
    if not held and redis.call('HINCRBY', present, id, 1) == 1 and
        (not again or redis.call('EXISTS', reaped) == 1) then
      add(sequence, id .. ARGV[5], excluded)
    end
  elseif held then
    redis.call('HDEL', own, id)
    if redis.call('HINCRBY', present, id, -1) <= 0 then
      redis.call('HDEL', present, id)
      add(sequence, id .. ARGV[6], '')
    end
  elseif redis.call('EXISTS', reaped) == 0 and redis.call('HEXISTS', present, id) == 0 then
    -- Redis lost the count (it restarted without its data): nobody holds the ID as far as it knows now.
    add(sequence, id .. ARGV[6], '')
  end
end
redis.call('SET', epoch, ARGV[1], 'NX')
local last = tonumber(redis.call('GET', guard) or '0')
local rewrite = -1
for i = 7, #ARGV, 4 do
  local sequence = tonumber(ARGV[i])
  if sequence > last then
    if ARGV[i + 1] == '' then
      add(ARGV[i], ARGV[i + 3], '')
    else
      if rewrite < 0 then
        rewrite = ensureAlive(alive, servers, own, origin, ARGV[4])
      end
      count(ARGV[i], ARGV[i + 3], ARGV[i + 1], ARGV[i + 2])
    end
    last = sequence
  end
end
redis.call('SET', guard, last, 'EX', 86400)
return {last, rewrite}
)lua";

constexpr std::size_t kBatchLines = 256;
constexpr std::size_t kReadCount = 1024;
constexpr std::string_view kReadBlockMs = "500";
// Records read and posted to the relay thread but not yet delivered; the reader waits beyond this.
constexpr std::size_t kMaxUndelivered = 16384;
// Origins not seen for an hour of stream time are forgotten once there are this many.
constexpr std::size_t kSeenPrune = 1024;
constexpr std::uint64_t kSeenKeepMs = 3600 * 1000;
constexpr std::chrono::milliseconds kFirstBackoff{100};
constexpr std::chrono::milliseconds kMaxBackoff{2000};
constexpr std::chrono::milliseconds kConnectTimeout{2000};

// The entries of XREAD's reply for one stream (none for its NIL); nullopt for a reply of another shape.
std::optional<std::span<redisReply* const>> entriesOf(const redisReply& reply) {
    if (reply.type == REDIS_REPLY_NIL) {
        return std::span<redisReply* const>();
    }
    if (reply.type != REDIS_REPLY_ARRAY || reply.elements != 1 || reply.element[0]->type != REDIS_REPLY_ARRAY ||
        reply.element[0]->elements != 2 || reply.element[0]->element[1]->type != REDIS_REPLY_ARRAY) {
        return std::nullopt;
    }
    const redisReply* entries = reply.element[0]->element[1];
    return std::span<redisReply* const>(entries->element, entries->elements);
}

std::optional<std::uint64_t> numberOf(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

} // namespace

RedisBus::RedisBus(asio::io_context& relay, RedisBusSettings settings, std::string origin, Logger& logger)
    : m_relay(relay), m_settings(std::move(settings)), m_origin(std::move(origin)),
      m_epochKey(m_settings.streamKey + ":epoch"), m_guardKey(m_settings.streamKey + ":appended:" + m_origin),
      m_logger(logger), m_keys(m_settings.streamKey, m_origin), m_appendLink(std::make_unique<RedisLink>()),
      m_readLink(std::make_unique<RedisLink>()),
      m_heartbeat({m_settings.endpoint, m_settings.streamKey, m_settings.maxLength, m_settings.heartbeat,
                   m_settings.heartbeatExpiry},
                  m_origin, logger, [this] { asio::post(m_relay, [this] { rewriteCounts(); }); }) {}

RedisBus::~RedisBus() {
    stop();
    if (m_appender.joinable()) {
        m_appender.join();
    }
    if (m_reader.joinable()) {
        m_reader.join();
    }
}

void RedisBus::start(Deliver deliver, Lost lost) {
    m_deliver = std::move(deliver);
    m_lost = std::move(lost);
    m_appender = std::thread([this] { runAppender(); });
    m_reader = std::thread([this] { runReader(); });
    m_heartbeat.start();
}

bool RedisBus::publish(const Record& record, Excluded excluded) {
    static_cast<void>(excluded); // a leaver is gone by the time its notice comes back
    std::string bytes = encodeStreamRecord(record);
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping || m_held.size() >= m_settings.holdLimit) {
            return false;
        }
        m_held.push_back(Line{++m_nextSequence, std::move(bytes), {}, {}});
        if (m_down != 0) {
            ++m_takenInOutage;
        }
    }
    m_wake.notify_all();
    return true;
}

void RedisBus::signedIn(const std::string& id, Excluded excluded) {
    holdCount(id, std::to_string(m_book.add(id)), excluded);
}

void RedisBus::signedOut(const std::string& id) {
    if (const std::optional<std::size_t> connections = m_book.remove(id)) {
        holdCount(id, std::to_string(*connections), Excluded::Nobody);
    }
}

void RedisBus::rewriteCounts() {
    if (!m_deliver) {
        return; // stopped
    }
    for (const auto& [id, connections] : m_book.counts()) {
        std::string count = "=";
        count += std::to_string(connections);
        holdCount(id, std::move(count), Excluded::Nobody);
    }
}

void RedisBus::holdCount(const std::string& id, std::string count, Excluded excluded) {
    std::string excludedText =
        excluded == Excluded::Nobody ? std::string() : std::to_string(static_cast<std::uintptr_t>(excluded));
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping) {
            return;
        }
        // The sequences in m_held run on by one from the front.
        const auto found = m_heldCounts.find(id);
        if (found != m_heldCounts.end() && !m_held.empty() && found->second >= m_held.front().sequence + m_batched) {
            // Sign-ins and sign-outs while Redis is away must not pile up: only the latest count matters, in the
            // place of the first (a join and a leave that cancel out are not announced). The first decides
            // whether it is written again after Redis lost it, and who must not hear the join, unless a sign-out
            // came between.
            Line& line = m_held[found->second - m_held.front().sequence];
            const std::string_view number = std::string_view(count).substr(count.starts_with('=') ? 1 : 0);
            line.count = (line.count.starts_with('=') ? "=" : "") + std::string(number);
            if (line.excluded.empty() || excludedText.empty()) {
                line.excluded = std::move(excludedText);
            }
            return;
        }
        m_heldCounts[id] = ++m_nextSequence;
        m_held.push_back(Line{m_nextSequence, id, std::move(count), std::move(excludedText)});
    }
    m_wake.notify_all();
}

void RedisBus::stop() {
    m_deliver = nullptr;
    m_lost = nullptr;
    std::size_t unsent = 0;
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping) {
            return;
        }
        m_stopping = true;
        unsent = m_held.size();
    }
    m_wake.notify_all();
    m_appendLink->interrupt();
    m_readLink->interrupt();
    m_heartbeat.stop();
    if (unsent > 0) {
        m_logger.log(LogLevel::Warn, {},
                     "relay: stopping with " + std::to_string(unsent) + " lines not yet appended to Redis");
    }
}

std::size_t RedisBus::held() const {
    std::lock_guard lock(m_mutex);
    return m_held.size();
}

bool RedisBus::backOff(std::chrono::milliseconds& delay) {
    std::unique_lock lock(m_mutex);
    const bool stopping = m_wake.wait_for(lock, delay, [this] { return m_stopping; });
    delay = std::min(delay * 2, kMaxBackoff);
    return !stopping;
}

void RedisBus::linkDown(Side side, const std::string& error) {
    std::lock_guard lock(m_mutex);
    if (m_stopping) {
        return;
    }
    if (m_down == 0) {
        m_downSince = std::chrono::steady_clock::now();
        m_heldAtOutage = m_held.size();
        m_takenInOutage = 0;
        m_logger.log(LogLevel::Warn, {},
                     "relay: Redis at " + m_settings.endpoint.text() + " unreachable (" + error +
                         "); holding the lines sent here, up to " + std::to_string(m_settings.holdLimit) +
                         ", until it is back");
    }
    m_down |= side;
}

void RedisBus::linkUp(Side side) {
    std::lock_guard lock(m_mutex);
    if (m_down == 0) {
        return;
    }
    m_down &= ~side;
    if (m_down == 0 && !m_stopping) {
        m_logger.log(LogLevel::Warn, {},
                     "relay: Redis at " + m_settings.endpoint.text() + " is back after " +
                         LogText::seconds(std::chrono::steady_clock::now() - m_downSince) + "; " +
                         std::to_string(m_heldAtOutage + m_takenInOutage) + " lines were held meanwhile");
    }
}

void RedisBus::runAppender() {
    RedisLink& link = *m_appendLink;
    std::string scriptSha;
    std::vector<Line> batch;
    std::chrono::milliseconds delay = kFirstBackoff;
    bool down = false;
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || (m_positioned && !m_held.empty()); });
            if (m_stopping) {
                return;
            }
            // A batch appends atomically and the stream is trimmed as it goes: a batch longer than half the stream
            // would trim away lines of its own before any server could read them. A batch that failed is tried
            // again as it was: the lines after it stay open to holdCount() while Redis is away.
            const std::size_t count =
                m_batched > 0
                    ? m_batched
                    : std::min({m_held.size(), kBatchLines, std::max<std::size_t>(1, m_settings.maxLength / 2)});
            batch.assign(m_held.begin(), m_held.begin() + static_cast<std::ptrdiff_t>(count));
            m_batched = count;
        }
        std::string error;
        bool appended = false;
        // A link that worked before may have died quietly (Redis restarted while nothing was sent): one more try
        // on a fresh link before this counts as an outage.
        for (int attempt = 0; attempt < 2 && !appended; ++attempt) {
            const bool fresh = !link.connected();
            if (fresh && !connectAppender(link, scriptSha, error)) {
                break;
            }
            appended = append(link, scriptSha, batch, error);
            if (!appended) {
                link.close();
                if (fresh) {
                    break;
                }
            }
        }
        if (!appended) {
            linkDown(kAppender, error);
            down = true;
            if (!backOff(delay)) {
                return;
            }
            continue;
        }
        {
            std::lock_guard lock(m_mutex);
            for (const Line& line : batch) {
                if (line.count.empty()) {
                    continue;
                }
                if (const auto found = m_heldCounts.find(line.bytes);
                    found != m_heldCounts.end() && found->second == line.sequence) {
                    m_heldCounts.erase(found);
                }
            }
            m_held.erase(m_held.begin(), m_held.begin() + static_cast<std::ptrdiff_t>(batch.size()));
            m_batched = 0;
        }
        if (down) {
            down = false;
            delay = kFirstBackoff;
            linkUp(kAppender);
        }
    }
}

bool RedisBus::connectAppender(RedisLink& link, std::string& scriptSha, std::string& error) {
    if (!link.connect(m_settings.endpoint, kConnectTimeout)) {
        error = link.error();
        return false;
    }
    return link.loadScript(std::string(PresenceScripts::kEnsureAlive).append(kAppendScript), scriptSha, error);
}

bool RedisBus::append(RedisLink& link, const std::string& scriptSha, const std::vector<Line>& batch,
                      std::string& error) {
    const std::string maxLength = std::to_string(m_settings.maxLength);
    // Whoever starts a new stream names its epoch; any unique text does.
    const std::string epoch = m_origin + "/" + std::to_string(batch.front().sequence);
    std::vector<std::string> sequences;
    sequences.reserve(batch.size());
    const std::string expiry = std::to_string(m_settings.heartbeatExpiry.count());
    std::vector<std::string_view> args = {
        "EVALSHA",      scriptSha,  "8",          m_settings.streamKey, m_epochKey,    m_guardKey,
        m_keys.present, m_keys.own, m_keys.alive, m_keys.servers,       m_keys.reaped, epoch,
        m_origin,       maxLength,  expiry,       kJoinSuffix,          kLeaveSuffix};
    for (const Line& line : batch) {
        sequences.push_back(std::to_string(line.sequence));
    }
    for (std::size_t i = 0; i < batch.size(); ++i) {
        args.push_back(sequences[i]);
        args.push_back(batch[i].count);
        args.push_back(batch[i].excluded);
        args.push_back(batch[i].bytes);
    }
    const RedisLink::Reply reply = link.command(args);
    if (!reply) {
        error = link.error();
        return false;
    }
    // An error reply (Redis still loading its data after a restart, out of memory, ...) appended nothing: the
    // script is checked before it runs. The batch is tried again, in its place.
    if (reply->type != REDIS_REPLY_ARRAY || reply->elements != 2 || reply->element[1]->type != REDIS_REPLY_INTEGER) {
        error = RedisLink::describe(*reply, "append");
        return false;
    }
    if (reply->element[1]->integer == 1) {
        asio::post(m_relay, [this] { rewriteCounts(); });
    }
    return true;
}

void RedisBus::runReader() {
    RedisLink& link = *m_readLink;
    std::chrono::milliseconds delay = kFirstBackoff;
    bool down = false;
    for (;;) {
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping) {
                return;
            }
        }
        std::string error;
        const bool ok = link.connected() ? read(link, error)
                                         : link.connect(m_settings.endpoint, kConnectTimeout) && position(link, error);
        if (!ok) {
            if (error.empty()) {
                error = link.error();
            }
            link.close();
            linkDown(kReader, error);
            down = true;
            if (!backOff(delay)) {
                return;
            }
            continue;
        }
        if (down) {
            down = false;
            delay = kFirstBackoff;
            linkUp(kReader);
        }
    }
}

bool RedisBus::position(RedisLink& link, std::string& error) {
    // A missing epoch means a missing stream (they are written together): name the new one's epoch.
    const std::string token = m_origin + "/reader/" + std::to_string(++m_positionings);
    const RedisLink::Reply set = link.command({"SET", m_epochKey, token, "NX"});
    const RedisLink::Reply get = set ? link.command({"GET", m_epochKey}) : nullptr;
    const RedisLink::Reply stream = get ? link.command({"XINFO", "STREAM", m_settings.streamKey}) : nullptr;
    if (!stream) {
        error = link.error();
        return false;
    }
    if (RedisLink::errorOf(*set) || get->type != REDIS_REPLY_STRING) {
        error = RedisLink::describe(RedisLink::errorOf(*set) ? *set : *get, "epoch");
        return false;
    }
    const std::optional<StreamInfo> info = StreamInfo::parse(*stream);
    if (!info) {
        // A reply without the count of entries ever added comes from a Redis before 7.
        error = RedisLink::describe(*stream, "XINFO STREAM") +
                (RedisLink::errorOf(*stream) ? "" : " (Redis 7 or later is needed)");
        return false;
    }
    const std::string epoch(get->str, get->len);
    const std::optional<StreamId> lastId = info->lastEntry;

    if (!m_epoch) {
        // First contact: the room's past is not this server's to deliver; what comes next is.
        m_lastRead = lastId.value_or(StreamId{});
        m_readNumber = info->entriesAdded;
        m_logger.log(LogLevel::Info, {},
                     "relay: stream " + m_settings.streamKey + " on " + m_settings.endpoint.text() +
                         ", reading after " + m_lastRead.text());
    } else if (epoch != *m_epoch) {
        m_logger.log(LogLevel::Warn, {},
                     "relay: Redis lost the room's stream (restarted without its data); reading the new one from "
                     "its start (lines appended before the loss and not yet read here are gone)");
        m_lastRead = StreamId{};
        m_readNumber = 0;
    } else if (!lastId ? m_lastRead != StreamId{} : *lastId < m_lastRead) {
        const StreamId from = lastId.value_or(StreamId{});
        m_logger.log(LogLevel::Warn, {},
                     "relay: Redis came back with an older copy of the stream (up to " + from.text() +
                         ", read here up to " + m_lastRead.text() + "); reading on from there");
        m_lastRead = from;
        m_readNumber = info->entriesAdded;
    }
    m_epoch = epoch;
    {
        std::lock_guard lock(m_mutex);
        m_positioned = true;
    }
    m_wake.notify_all();
    return true;
}

bool RedisBus::read(RedisLink& link, std::string& error) {
    while (m_undelivered.load(std::memory_order_acquire) > kMaxUndelivered) {
        std::unique_lock lock(m_mutex);
        if (m_wake.wait_for(lock, std::chrono::milliseconds(5), [this] { return m_stopping; })) {
            return true;
        }
    }
    if (m_idle) {
        if (!waitForEntries(link, error)) {
            return false;
        }
        if (m_idle) {
            return true; // nothing new within the block time
        }
    }
    // The entries and where the stream now begins, seen at one instant: whatever was trimmed before the first entry
    // read here was trimmed before it could be read.
    const std::string from = m_lastRead.text();
    const std::string count = std::to_string(kReadCount);
    const RedisLink::Reply reply = link.transaction(
        {{"XINFO", "STREAM", m_settings.streamKey}, {"XREAD", "COUNT", count, "STREAMS", m_settings.streamKey, from}});
    if (!reply) {
        error = link.error();
        return false;
    }
    if (reply->type != REDIS_REPLY_ARRAY || reply->elements != 2) {
        error = RedisLink::describe(*reply, "XINFO and XREAD");
        return false;
    }
    const std::optional<StreamInfo> info = StreamInfo::parse(*reply->element[0]);
    const std::optional<Entries> entries = entriesOf(*reply->element[1]);
    if (!info || !entries) {
        error = "XINFO and XREAD: unexpected reply";
        return false;
    }
    // Only a reply that is read moves the count on: after one that fails, the next read still finds the gap.
    const bool lost = info->length > 0 && lostBefore(info->firstNumber());
    std::vector<Delivery> records;
    takeEntries(*entries, records);
    if (!records.empty() || lost) {
        m_undelivered.fetch_add(records.size(), std::memory_order_acq_rel);
        asio::post(m_relay, [this, records = std::move(records), lost] { deliverBatch(records, lost); });
    }
    return true;
}

bool RedisBus::waitForEntries(RedisLink& link, std::string& error) {
    const std::string from = m_lastRead.text();
    const RedisLink::Reply reply =
        link.command({"XREAD", "COUNT", "1", "BLOCK", kReadBlockMs, "STREAMS", m_settings.streamKey, from});
    if (!reply) {
        error = link.error();
        return false;
    }
    if (reply->type != REDIS_REPLY_NIL && reply->type != REDIS_REPLY_ARRAY) {
        error = RedisLink::describe(*reply, "XREAD");
        return false;
    }
    m_idle = reply->type == REDIS_REPLY_NIL;
    return true;
}

bool RedisBus::lostBefore(std::uint64_t first) {
    if (first <= m_readNumber + 1) {
        m_lagging = false;
        return false;
    }
    const std::uint64_t lost = first - m_readNumber - 1;
    m_readNumber = first - 1;
    if (!m_lagging) {
        m_lagging = true;
        m_logger.log(LogLevel::Warn, {},
                     "relay: this server fell behind the room's stream: " + std::to_string(lost) +
                         " lines were trimmed from it before they were read here (--relay-stream-length " +
                         std::to_string(m_settings.maxLength) +
                         "); closing its users' connections so that they sign in again");
    }
    return true;
}

void RedisBus::takeEntries(Entries entries, std::vector<Delivery>& records) {
    // A short read took everything there was: the next waits for more (BLOCK) instead of reading nothing.
    m_idle = entries.size() < kReadCount;
    records.reserve(entries.size());
    for (const redisReply* entry : entries) {
        ++m_readNumber;
        if (entry->type != REDIS_REPLY_ARRAY || entry->elements != 2) {
            continue;
        }
        const std::optional<StreamId> id = StreamId::parse(RedisLink::stringOf(entry->element[0]));
        if (!id) {
            continue;
        }
        m_lastRead = *id;
        const redisReply* fields = entry->element[1];
        std::string_view origin;
        std::string_view sequenceText;
        std::string_view excludedText;
        std::optional<std::string_view> bytes;
        for (std::size_t f = 0; fields->type == REDIS_REPLY_ARRAY && f + 1 < fields->elements; f += 2) {
            const std::string_view name = RedisLink::stringOf(fields->element[f]);
            const std::string_view value = RedisLink::stringOf(fields->element[f + 1]);
            if (name == "o") {
                origin = value;
            } else if (name == "s") {
                sequenceText = value;
            } else if (name == "r" && fields->element[f + 1]->type == REDIS_REPLY_STRING) {
                bytes = value;
            } else if (name == "x") {
                excludedText = value;
            }
        }
        const std::optional<std::uint64_t> sequence = numberOf(sequenceText);
        const std::optional<Record> record = bytes ? decodeStreamRecord(*bytes) : std::nullopt;
        if (origin.empty() || !sequence || !record) {
            if (m_malformed++ % 1000 == 0) {
                m_logger.log(LogLevel::Warn, {},
                             "relay: skipped entry " + id->text() +
                                 " of the stream: not a record of this server's "
                                 "form (" +
                                 std::to_string(m_malformed) + " so far)");
            }
            continue;
        }
        auto known = m_seen.find(origin);
        if (known == m_seen.end()) {
            known = m_seen.emplace(origin, Seen{}).first;
        }
        Seen& seen = known->second;
        if (*sequence <= seen.sequence) {
            ++m_duplicates; // appended again after a lost reply, into a stream that had lost the first copy
            continue;
        }
        seen.sequence = *sequence;
        seen.lastMilliseconds = id->milliseconds;
        // A join goes to everyone but the connection that signed in, which only this server can name.
        const std::optional<std::uint64_t> excluded = origin == m_origin ? numberOf(excludedText) : std::nullopt;
        records.push_back({*record, static_cast<Excluded>(excluded.value_or(0))});
    }
    if (m_seen.size() > kSeenPrune) {
        std::erase_if(m_seen, [this](const auto& item) {
            return item.second.lastMilliseconds + kSeenKeepMs < m_lastRead.milliseconds;
        });
    }
}

void RedisBus::deliverBatch(const std::vector<Delivery>& deliveries, bool lost) {
    m_undelivered.fetch_sub(deliveries.size(), std::memory_order_acq_rel);
    if (!m_deliver) {
        return;
    }
    if (lost && m_lost) {
        m_lost();
    }
    for (const Delivery& delivery : deliveries) {
        m_deliver(delivery.record, delivery.excluded);
    }
}

} // namespace vesmira
