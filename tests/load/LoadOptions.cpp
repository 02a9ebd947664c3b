#include "LoadOptions.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <map>
#include <set>
#include <string_view>

namespace vesmira::load {

namespace {

bool parseNumber(std::string_view text, double min, double max, double& value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size() && value >= min && value <= max;
}

// The documented run of each scenario, before the options given.
bool applyScenarioDefaults(LoadOptions& options) {
    if (options.scenario == "chat") {
        return true;
    }
    if (options.scenario == "fanout") {
        options.clients = 10000;
        options.records = 300;
        options.maxRssMiB = 100;
        options.deadline = std::chrono::seconds(300);
    } else if (options.scenario == "overload") {
        // One sender offered far more than a room of 1,000 can take: 20 million deliveries a second wanted.
        options.clients = 1000;
        options.senders = 1;
        options.records = 20000;
        options.rate = 20000;
        options.maxRssMiB = 100;
        options.deadline = std::chrono::seconds(300);
    } else if (options.scenario == "registrations") {
        options.maxP99Ms = 20;
        options.maxLatencyMs = 100;
    } else if (options.scenario == "flood") {
        options.maxP99Ms = 20;
        options.maxSignInMs = 1000;
        options.deadline = std::chrono::seconds(120);
    } else if (options.scenario == "stuck") {
        options.records = 4000;
        options.interval = std::chrono::milliseconds(1);
        options.maxRssMiB = 1024;
        options.boundKiB = 1536; // docs/reliability.md: the worst case per connection at the default settings
    } else {
        return false;
    }
    return true;
}

} // namespace

std::optional<LoadOptions> LoadOptions::parse(int argc, char** argv, std::string& error) {
    LoadOptions options;
    std::map<std::string, std::string, std::less<>> given;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const auto equals = arg.find('=');
        if (equals == std::string_view::npos) {
            error = "unknown argument '" + std::string(arg) + "'";
            return std::nullopt;
        }
        given[std::string(arg.substr(0, equals))] = std::string(arg.substr(equals + 1));
    }
    if (const auto scenario = given.find("--scenario"); scenario != given.end()) {
        options.scenario = scenario->second;
        given.erase(scenario);
    }
    if (const auto watch = given.find("--watch"); watch != given.end()) {
        std::string_view list = watch->second;
        while (!list.empty()) {
            const std::string_view item = list.substr(0, list.find(','));
            list.remove_prefix(std::min(list.size(), item.size() + 1));
            const auto colon = item.rfind(':');
            double pid = 0;
            if (colon == std::string_view::npos || colon == 0 ||
                !parseNumber(item.substr(colon + 1), 1, 1 << 30, pid)) {
                error = "--watch needs NAME:PID[,NAME:PID...], not '" + watch->second + "'";
                return std::nullopt;
            }
            options.watched.emplace_back(std::string(item.substr(0, colon)), static_cast<int>(pid));
        }
        given.erase(watch);
    }
    if (!applyScenarioDefaults(options)) {
        error = "unknown scenario '" + options.scenario + "'";
        return std::nullopt;
    }

    using Ms = std::chrono::milliseconds;
    using S = std::chrono::seconds;
    struct Field {
        double min;
        double max;
        std::function<void(double)> set;
    };
    const auto count = [](int& field) { return [&field](double v) { field = static_cast<int>(v); }; };
    const std::map<std::string, Field, std::less<>> fields = {
        {"--port", {1, 65535, [&](double v) { options.port = static_cast<std::uint16_t>(v); }}},
        {"--server-pid", {0, 1 << 30, count(options.serverPid)}},
        {"--clients", {1, 15000, count(options.clients)}},
        {"--records", {1, 100000, count(options.records)}},
        {"--rate", {0, 10000000, count(options.rate)}},
        {"--leavers", {0, 5000, count(options.leavers)}},
        {"--non-readers", {0, 100, count(options.nonReaders)}},
        {"--garbage", {0, 100, count(options.garbageWorkers)}},
        {"--silent", {0, 100, count(options.silentWorkers)}},
        {"--slow", {0, 100, count(options.slowWorkers)}},
        {"--max-garbage-connections", {0, 100000, count(options.maxGarbageConnections)}},
        {"--slow-interval-ms", {10, 60000, [&](double v) { options.slowInterval = Ms(static_cast<long>(v)); }}},
        {"--sign-in-timeout", {1, 600, [&](double v) { options.signInTimeout = S(static_cast<long>(v)); }}},
        {"--max-refusals", {1, 1000, count(options.maxRefusals)}},
        {"--server-max-connections", {0, 1000000, count(options.serverMaxConnections)}},
        {"--senders", {1, 1000, count(options.senders)}},
        {"--tls", {0, 1, [&](double v) { options.tls = v != 0; }}},
        {"--handshakes", {0, 100000, count(options.handshakes)}},
        {"--window", {1, 10000, count(options.window)}},
        {"--chatters", {1, 100, count(options.chatters)}},
        {"--interval-ms", {1, 60000, [&](double v) { options.interval = Ms(static_cast<long>(v)); }}},
        {"--registrations", {1, 10000, count(options.registrations)}},
        {"--sign-in-concurrency", {1, 10000, count(options.signInConcurrency)}},
        {"--silent-one", {0, 20000, count(options.silentOne)}},
        {"--silent-spread", {0, 20000, count(options.silentSpread)}},
        {"--spread-addresses", {1, 240, count(options.spreadAddresses)}},
        {"--refused-retry-ms", {1, 60000, [&](double v) { options.refusedRetry = Ms(static_cast<long>(v)); }}},
        {"--flood-seconds", {1, 3600, [&](double v) { options.floodTime = S(static_cast<long>(v)); }}},
        {"--newcomer-interval-ms", {10, 60000, [&](double v) { options.newcomerInterval = Ms(static_cast<long>(v)); }}},
        {"--stuck", {1, 15000, count(options.stuck)}},
        {"--bound-kib", {0, 1 << 30, [&](double v) { options.boundKiB = static_cast<long>(v); }}},
        {"--max-p99-ms", {0, 1e6, [&](double v) { options.maxP99Ms = v; }}},
        {"--max-latency-ms", {0, 1e6, [&](double v) { options.maxLatencyMs = v; }}},
        {"--max-sign-in-ms", {0, 1e6, [&](double v) { options.maxSignInMs = v; }}},
        {"--max-rss-mib", {1, 1 << 20, [&](double v) { options.maxRssMiB = static_cast<long>(v); }}},
        {"--deadline", {5, 3600, [&](double v) { options.deadline = S(static_cast<long>(v)); }}},
    };
    for (const auto& [name, value] : given) {
        const auto field = fields.find(name);
        if (field == fields.end()) {
            error = "unknown argument '" + name + "'";
            return std::nullopt;
        }
        double number = 0;
        if (!parseNumber(value, field->second.min, field->second.max, number)) {
            error = "bad value in '" + name + "=" + value + "'";
            return std::nullopt;
        }
        field->second.set(number);
    }
    if (options.tls && !given.contains("--max-rss-mib")) {
        // A TLS connection holds about 90 KiB of buffers, and up to a TLS record more while writing
        // (docs/performance.md): the room's budget grows with its members.
        constexpr long kTlsMemberKiB = 160;
        options.maxRssMiB = std::max(options.maxRssMiB, options.clients * kTlsMemberKiB / 1024);
    }
    if (options.scenario == "chat") {
        if (options.leavers >= options.clients) {
            error = "--leavers must be fewer than --clients";
            return std::nullopt;
        }
        // Past the limit the server closes new connections at once; a chatting client refused so would fail the
        // run.
        const int connections =
            options.clients + options.nonReaders + options.garbageWorkers + options.silentWorkers + options.slowWorkers;
        if (options.serverMaxConnections > 0 && connections > options.serverMaxConnections) {
            error = std::to_string(connections) + " connections at once do not fit the server's limit of " +
                    std::to_string(options.serverMaxConnections);
            return std::nullopt;
        }
    }
    if ((options.scenario == "fanout" || options.scenario == "overload") && options.senders > options.clients) {
        error = "--senders must not exceed --clients";
        return std::nullopt;
    }
    if (options.port == 0) {
        error = "--port is required";
        return std::nullopt;
    }
    return options;
}

std::string LoadOptions::usage() {
    return "Usage: vesmira-load --port=N [--server-pid=PID] [--scenario=NAME] [--name=value...]\n"
           "Connects to 127.0.0.1:N (from other 127.0.0.x addresses where a scenario says so). Exits 0 when every\n"
           "check passed. Scenarios, with the options they read and their defaults:\n"
           "  chat (default)  --clients=1000 --records=30 --rate=0 --leavers=10 --non-readers=6 --garbage=6\n"
           "                  --silent=5 --slow=5 --max-garbage-connections=400 --slow-interval-ms=1000\n"
           "                  --sign-in-timeout=5 --max-refusals=20 --server-max-connections=0 --max-rss-mib=256\n"
           "  fanout          --clients=10000 --senders=10 --records=300 --window=16 --sign-in-concurrency=100\n"
           "                  --max-rss-mib=100 --watch=NAME:PID[,NAME:PID...] (CPU time of more processes)\n"
           "                  --tls=1 (over TLS: --port is the TLS port) --handshakes=2000 (timed alone first)\n"
           "  overload        --clients=1000 --senders=1 --records=20000 --rate=20000 (records a second offered by\n"
           "                  all senders together, each paced, whatever the server takes) --max-rss-mib=100\n"
           "  registrations   --chatters=2 --interval-ms=10 --registrations=50 --max-p99-ms=20 --max-latency-ms=100\n"
           "  flood           --silent-one=5000 --silent-spread=2000 --spread-addresses=200 --refused-retry-ms=1000\n"
           "                  --flood-seconds=45 --newcomer-interval-ms=500 --chatters=2 --interval-ms=10\n"
           "                  --max-p99-ms=20 --max-sign-in-ms=1000\n"
           "  stuck           --stuck=500 --records=4000 --interval-ms=1 --bound-kib=1536 --max-rss-mib=1024\n"
           "All: --deadline=SECONDS (110; fanout and overload 300, flood 120). A target of 0 is not checked.\n";
}

} // namespace vesmira::load
