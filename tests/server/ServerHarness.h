#pragma once

#include "server/core/ServerSettings.h"
#include "server/log/Logger.h"

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

class TempDir;
struct TestCertificate;

namespace vesmira {

class ChatServer;
class LimitCounters;
class ServerStats;
class UserDirectory;
class UserStore;

// A real ChatServer on 127.0.0.1 with a free port, running on its own thread with a fresh user database in a
// temporary folder (minimum hashing cost, so registrations are quick). For tests that need a live server.
class ServerHarness {
public:
    struct Options {
        ServerSettings settings;
        LogLevel logLevel = LogLevel::Warn;
        unsigned workerThreads = 2;
        std::size_t workerQueue = 32;
        // Asked instead of the harness's own store when set (a store that blocks, for instance); must outlive
        // the harness.
        UserDirectory* users = nullptr;
        // Where the log goes, instead of standard error.
        std::ostream* log = nullptr;
        // A TLS listener too, with a self-signed certificate for "localhost" made in the temporary folder unless
        // `certificate` gives one.
        bool tls = false;
        const TestCertificate* certificate = nullptr;
    };

    ServerHarness();
    explicit ServerHarness(Options options);
    // Stops the server and removes the temporary folder.
    ~ServerHarness();

    ServerHarness(const ServerHarness&) = delete;
    ServerHarness& operator=(const ServerHarness&) = delete;

    // False when the server could not start; error() says why.
    bool running() const { return m_port != 0; }
    const std::string& error() const { return m_error; }
    std::uint16_t port() const { return m_port; }
    std::uint16_t tlsPort() const { return m_tlsPort; }
    // The certificate the TLS listener presents to new connections.
    const TestCertificate& certificate() const { return *m_certificate; }
    // A new certificate for new connections, as an operator's SIGHUP gives; those already open keep theirs.
    bool renewCertificate();
    const std::string& databasePath() const { return m_databasePath; }
    // Connections dropped because they did not read fast enough.
    std::size_t overflowDrops() const;
    const LimitCounters& limitCounters() const;
    const ServerStats& stats() const;

private:
    struct Runtime;
    std::unique_ptr<Runtime> m_runtime;
    std::unique_ptr<TempDir> m_folder;
    std::string m_databasePath;
    std::string m_error;
    std::uint16_t m_port = 0;
    std::uint16_t m_tlsPort = 0;
    std::unique_ptr<TestCertificate> m_certificate;
    int m_renewals = 0;
};

} // namespace vesmira
