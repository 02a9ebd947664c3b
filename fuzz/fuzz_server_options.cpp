#include "FuzzCheck.h"
#include "server/log/Logger.h"
#include "server/options/ServerOptions.h"
#include "server/users/PasswordHasher.h"

#include <arpa/inet.h>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using vesmira::ServerOptions;
using Action = ServerOptions::Action;

namespace {

bool isIpAddress(const std::string& text) {
    std::array<unsigned char, 16> buffer{};
    return inet_pton(AF_INET, text.c_str(), buffer.data()) == 1 ||
           inet_pton(AF_INET6, text.c_str(), buffer.data()) == 1;
}

std::string_view costName(vesmira::PasswordHasher::Cost cost) {
    return cost == vesmira::PasswordHasher::Cost::Minimum ? "min" : "interactive";
}

} // namespace

// The input is [flags][strings separated by NUL]: flag bits say whether XDG_STATE_HOME and HOME are set, and if
// so the first strings are their values; the other strings are the arguments.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::uint8_t flags = data[0];
    std::vector<std::string> strings;
    std::string current;
    for (std::size_t i = 1; i < size; ++i) {
        if (data[i] == 0) {
            strings.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    strings.push_back(current);

    std::size_t next = 0;
    std::optional<std::string> xdg;
    std::optional<std::string> home;
    if ((flags & 1) && next < strings.size()) {
        xdg = strings[next++];
    }
    if ((flags & 2) && next < strings.size()) {
        home = strings[next++];
    }
    const std::vector<std::string> args(strings.begin() + static_cast<std::ptrdiff_t>(next), strings.end());
    const char* xdgValue = xdg ? xdg->c_str() : nullptr;
    const char* homeValue = home ? home->c_str() : nullptr;

    const ServerOptions options = ServerOptions::parse(args, xdgValue, homeValue);
    FUZZ_CHECK((options.action == Action::Fail) == !options.error.empty());
    if (options.action == Action::ShowHelp || options.action == Action::ShowVersion) {
        bool named = false;
        for (const std::string& arg : args) {
            named = named || arg == "--help" || arg == "-h" || arg == "--version";
        }
        FUZZ_CHECK(named);
    }
    if (options.action != Action::Run) {
        return 0;
    }

    // Whatever was given, a server that runs has a usable configuration.
    FUZZ_CHECK(isIpAddress(options.listenAddress));
    FUZZ_CHECK(!options.databasePath.empty());
    FUZZ_CHECK(options.dialogTimeout.count() >= 1 && options.dialogTimeout.count() <= 86400);
    FUZZ_CHECK(options.signInTimeout.count() >= 1 && options.signInTimeout.count() <= 86400);
    FUZZ_CHECK(options.recordTimeout.count() >= 1 && options.recordTimeout.count() <= 86400);
    FUZZ_CHECK(options.maxPerAddress >= 1);
    FUZZ_CHECK(options.sendBufferBytes == 0 || options.sendBufferBytes >= 4096);
    FUZZ_CHECK(options.relayHold >= 1 && options.relayStreamLength >= 100);
    FUZZ_CHECK(!options.relay || (!options.relay->host.empty() && options.relay->port != 0));
    FUZZ_CHECK(!options.maxConnections || !options.maxPending || *options.maxPending <= *options.maxConnections);
    // Whatever the open-file limit, the limits in force hold at least one connection, and the ones not yet
    // signed in never more than all of them.
    for (const std::uint64_t openFiles : {std::uint64_t{0}, std::uint64_t{100}, std::uint64_t{20000}}) {
        std::vector<std::string> warnings;
        const vesmira::ServerSettings settings = options.settings(openFiles, warnings);
        FUZZ_CHECK(settings.maxConnections >= 1 && settings.maxPending >= 1);
        FUZZ_CHECK(settings.maxPending <= settings.maxConnections);
        FUZZ_CHECK(settings.maxPerAddress == options.maxPerAddress);
    }
    FUZZ_CHECK(vesmira::Logger::parseLevel(vesmira::Logger::levelName(options.logLevel)) == options.logLevel);

    // Spelling the result out as options gives the same result.
    std::vector<std::string> spelled = {
        "--listen",
        options.listenAddress,
        "--port=" + std::to_string(options.port),
        "--db",
        options.databasePath,
        "--log-level",
        std::string(vesmira::Logger::levelName(options.logLevel)),
        "--hash-cost",
        std::string(costName(options.hashCost)),
        "--dialog-timeout=" + std::to_string(options.dialogTimeout.count()),
        "--sign-in-timeout=" + std::to_string(options.signInTimeout.count()),
        "--record-timeout=" + std::to_string(options.recordTimeout.count()),
        "--max-per-address=" + std::to_string(options.maxPerAddress),
        "--send-buffer=" + std::to_string(options.sendBufferBytes),
        std::string("--presence=") + (options.presence ? "on" : "off"),
    };
    if (options.maxConnections) {
        spelled.push_back("--max-connections=" + std::to_string(*options.maxConnections));
    }
    if (options.maxPending) {
        spelled.push_back("--max-pending=" + std::to_string(*options.maxPending));
    }
    if (options.relay) {
        spelled.push_back("--relay=" + options.relay->text());
    }
    spelled.push_back("--relay-stream-length=" + std::to_string(options.relayStreamLength));
    spelled.push_back("--relay-hold=" + std::to_string(options.relayHold));
    if (options.proxyProtocol) {
        spelled.push_back("--proxy-protocol");
    }
    spelled.push_back("--registration=" + std::string(vesmira::SignInProtocol::registrationName(options.registration)));
    if (options.metrics) {
        spelled.push_back("--metrics=" + options.metrics->text());
    }
    const ServerOptions again = ServerOptions::parse(spelled, nullptr, nullptr);
    FUZZ_CHECK(again == options);
    return 0;
}
