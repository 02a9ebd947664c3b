#pragma once

#include "ChildProcess.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vesmira {

// The engines a cluster runs on, Debian's own programs, each on its own port with its data in a folder of the
// test's. Tests fail (they are never skipped) when one is missing: scripts/install-deps.sh installs them.

class RedisEngine {
public:
    explicit RedisEngine(std::string folder);
    // Same port and folder (made if missing) on every start. `persistent`: every write is in the append-only file
    // before its reply, so a restart keeps everything; otherwise a restart starts empty.
    bool start(bool persistent);
    void kill() { m_process.kill(); }
    std::optional<int> wait(std::chrono::milliseconds deadline) { return m_process.wait(deadline); }
    std::uint16_t port() const { return m_port; }
    std::string uri() const { return "redis://127.0.0.1:" + std::to_string(m_port); }

private:
    std::string m_folder;
    std::uint16_t m_port;
    ChildProcess m_process;
};

class PostgresEngine {
public:
    // Runs as the postgres user when the test runs as root.
    explicit PostgresEngine(std::string folder);
    ~PostgresEngine();
    // The first start creates the cluster and the database "vesmira".
    bool start();
    // A fast shutdown, as an operator stopping the service would.
    void stop();
    std::string uri() const { return "postgresql://postgres@127.0.0.1:" + std::to_string(m_port) + "/vesmira"; }
    const std::string& error() const { return m_error; }

private:
    bool run(const std::vector<std::string>& argv);

    std::string m_folder;
    std::string m_bin;
    std::uint16_t m_port;
    bool m_created = false;
    std::string m_error;
    ChildProcess m_process;
};

// HAProxy in front of `nodes`, configured by packaging/haproxy.cfg but with health checks every 200 ms, so a dead
// node is out within about half a second. Its TLS port presents a self-signed certificate made in the folder.
class HaproxyEngine {
public:
    HaproxyEngine(std::string folder, std::vector<std::uint16_t> nodes);
    bool start();
    std::uint16_t port() const { return m_port; }
    std::uint16_t tlsPort() const { return m_tlsPort; }

private:
    std::string m_folder;
    std::vector<std::uint16_t> m_nodes;
    std::uint16_t m_port;
    std::uint16_t m_tlsPort;
    ChildProcess m_process;
};

// vesmira-server as a process: one node of a cluster.
class NodeProcess {
public:
    NodeProcess(std::string log, std::vector<std::string> args);
    // Waits until it listens on its port.
    bool start();
    void kill() { m_process.kill(); }
    std::optional<int> wait(std::chrono::milliseconds deadline) { return m_process.wait(deadline); }
    // SIGSTOP pauses it (as a machine that stalls), SIGCONT lets it go on.
    void signal(int number) { m_process.signal(number); }
    std::uint16_t port() const { return m_port; }
    const std::string& log() const { return m_log; }

private:
    std::string m_log;
    std::vector<std::string> m_args;
    std::uint16_t m_port;
    ChildProcess m_process;
};

} // namespace vesmira
