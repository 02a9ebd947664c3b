#include "server/log/Logger.h"

#include <array>
#include <chrono>
#include <ctime>
#include <ostream>

namespace vesmira {

Logger::Logger(LogLevel threshold, std::ostream& sink) : m_threshold(threshold), m_sink(sink) {}

void Logger::log(LogLevel level, std::string_view peer, std::string_view message) {
    if (!enabled(level)) {
        return;
    }
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    std::array<char, 32> stamp{};
    const std::size_t length = std::strftime(stamp.data(), stamp.size(), "%Y-%m-%dT%H:%M:%SZ", &utc);

    std::string line;
    line.reserve(64 + peer.size() + message.size());
    line.append(stamp.data(), length).append(" ").append(levelName(level)).append(" ");
    line.append(peer.empty() ? "-" : peer).append(" ").append(message).append("\n");
    // A single write per line keeps lines whole when stderr is shared with other processes.
    std::lock_guard lock(m_mutex);
    m_sink.write(line.data(), static_cast<std::streamsize>(line.size()));
    m_sink.flush();
}

std::optional<LogLevel> Logger::parseLevel(std::string_view name) {
    for (LogLevel level : {LogLevel::Error, LogLevel::Warn, LogLevel::Info, LogLevel::Debug}) {
        if (name == levelName(level)) {
            return level;
        }
    }
    return std::nullopt;
}

std::string_view Logger::levelName(LogLevel level) {
    switch (level) {
    case LogLevel::Error:
        return "error";
    case LogLevel::Warn:
        return "warn";
    case LogLevel::Info:
        return "info";
    case LogLevel::Debug:
        return "debug";
    }
    return "?";
}

std::string Logger::printable(std::string_view bytes) {
    static constexpr std::string_view kHex = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
            out.push_back(c);
        } else {
            out.append("\\x").push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 0x0f]);
        }
    }
    return out;
}

} // namespace vesmira
