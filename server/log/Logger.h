#pragma once

#include <iosfwd>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace vesmira {

enum class LogLevel { Error, Warn, Info, Debug };

// One line per event on a text stream (stderr in the real server), filtered by level. Any thread may log.
class Logger {
public:
    explicit Logger(LogLevel threshold, std::ostream& sink);

    bool enabled(LogLevel level) const { return level <= m_threshold; }
    void log(LogLevel level, std::string_view peer, std::string_view message);

    static std::optional<LogLevel> parseLevel(std::string_view name);
    static std::string_view levelName(LogLevel level);
    // Peer-supplied bytes (user IDs are CP932) must not put control characters or broken text into the log.
    static std::string printable(std::string_view bytes);

private:
    LogLevel m_threshold;
    std::mutex m_mutex; // the sink
    std::ostream& m_sink;
};

} // namespace vesmira
