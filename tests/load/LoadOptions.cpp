#include "LoadOptions.h"

#include <charconv>
#include <functional>
#include <map>
#include <string_view>

namespace load {

namespace {

bool parseInt(std::string_view text, long min, long max, long& value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size() && value >= min && value <= max;
}

} // namespace

std::optional<LoadOptions> LoadOptions::parse(int argc, char** argv, std::string& error) {
    LoadOptions options;
    struct Field {
        long min;
        long max;
        std::function<void(long)> set;
    };
    const std::map<std::string, Field, std::less<>> fields = {
        {"--port", {1, 65535, [&](long v) { options.port = static_cast<std::uint16_t>(v); }}},
        {"--server-pid", {0, 1L << 30, [&](long v) { options.serverPid = static_cast<int>(v); }}},
        {"--clients", {1, 5000, [&](long v) { options.clients = static_cast<int>(v); }}},
        {"--records", {1, 10000, [&](long v) { options.records = static_cast<int>(v); }}},
        {"--rate", {0, 10000000, [&](long v) { options.rate = static_cast<int>(v); }}},
        {"--leavers", {0, 5000, [&](long v) { options.leavers = static_cast<int>(v); }}},
        {"--non-readers", {0, 100, [&](long v) { options.nonReaders = static_cast<int>(v); }}},
        {"--garbage", {0, 100, [&](long v) { options.garbageWorkers = static_cast<int>(v); }}},
        {"--silent", {0, 100, [&](long v) { options.silentWorkers = static_cast<int>(v); }}},
        {"--slow", {0, 100, [&](long v) { options.slowWorkers = static_cast<int>(v); }}},
        {"--max-garbage-connections",
         {0, 100000, [&](long v) { options.maxGarbageConnections = static_cast<int>(v); }}},
        {"--slow-interval-ms", {10, 60000, [&](long v) { options.slowInterval = std::chrono::milliseconds(v); }}},
        {"--sign-in-timeout", {1, 600, [&](long v) { options.signInTimeout = std::chrono::seconds(v); }}},
        {"--max-refusals", {1, 1000, [&](long v) { options.maxRefusals = static_cast<int>(v); }}},
        {"--deadline", {5, 3600, [&](long v) { options.deadline = std::chrono::seconds(v); }}},
        {"--server-max-connections", {1, 1000000, [&](long v) { options.serverMaxConnections = static_cast<int>(v); }}},
        {"--max-rss-mib", {1, 1L << 20, [&](long v) { options.maxRssMiB = v; }}},
    };
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const auto equals = arg.find('=');
        const auto field = fields.find(arg.substr(0, equals));
        if (equals == std::string_view::npos || field == fields.end()) {
            error = "unknown argument '" + std::string(arg) + "'";
            return std::nullopt;
        }
        long value = 0;
        if (!parseInt(arg.substr(equals + 1), field->second.min, field->second.max, value)) {
            error = "bad value in '" + std::string(arg) + "'";
            return std::nullopt;
        }
        field->second.set(value);
    }
    if (options.leavers >= options.clients) {
        error = "--leavers must be fewer than --clients";
        return std::nullopt;
    }
    // Past the limit the server closes new connections at once; a chatting client refused so would fail the run.
    const int connections =
        options.clients + options.nonReaders + options.garbageWorkers + options.silentWorkers + options.slowWorkers;
    if (connections > options.serverMaxConnections) {
        error = std::to_string(connections) + " connections at once do not fit the server's limit of " +
                std::to_string(options.serverMaxConnections);
        return std::nullopt;
    }
    if (options.port == 0) {
        error = "--port is required";
        return std::nullopt;
    }
    return options;
}

std::string LoadOptions::usage() {
    return "Usage: vesmira-load --port=N [--server-pid=PID] [--clients=1000] [--records=30] [--rate=0]\n"
           "       [--leavers=10] [--non-readers=6] [--garbage=6] [--silent=5] [--slow=5]\n"
           "       [--max-garbage-connections=400] [--slow-interval-ms=1000] [--sign-in-timeout=5]\n"
           "       [--max-refusals=20] [--deadline=110] [--max-rss-mib=256] [--server-max-connections=1024]\n"
           "Connects to 127.0.0.1:N only. Exits 0 when every check passed.\n";
}

} // namespace load
