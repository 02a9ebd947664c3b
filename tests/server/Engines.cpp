#include "Engines.h"

#include "TempDir.h"
#include "TestCertificate.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <unistd.h>

namespace vesmira {

namespace {

using namespace std::chrono_literals;

// Debian installs each PostgreSQL major version's programs in a folder of its own.
std::string postgresBin() {
    std::string newest;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
        const std::string bin = entry.path().string() + "/bin";
        if (std::filesystem::exists(bin + "/postgres") && bin > newest) {
            newest = bin;
        }
    }
    return newest;
}

// Gives a folder to the postgres user when running as root, and lets it reach the folder through its parent.
void handToPostgres(const std::filesystem::path& folder) {
    if (geteuid() != 0) {
        return;
    }
    if (const passwd* account = getpwnam("postgres")) {
        static_cast<void>(chown(folder.c_str(), account->pw_uid, account->pw_gid));
    }
    std::error_code ec;
    std::filesystem::permissions(folder.parent_path(), std::filesystem::perms::others_exec,
                                 std::filesystem::perm_options::add, ec);
}

} // namespace

RedisEngine::RedisEngine(std::string folder) : m_folder(std::move(folder)), m_port(freePort()) {}

bool RedisEngine::start(bool persistent) {
    const std::vector<std::string> argv = {"/usr/bin/redis-server",
                                           "--port",
                                           std::to_string(m_port),
                                           "--bind",
                                           "127.0.0.1",
                                           "--dir",
                                           m_folder,
                                           "--save",
                                           "",
                                           "--appendonly",
                                           persistent ? "yes" : "no",
                                           "--appendfsync",
                                           "always",
                                           "--daemonize",
                                           "no"};
    std::filesystem::create_directories(m_folder);
    return m_process.start(argv, m_folder + "/redis.log") && waitForPort(m_port, 10s);
}

PostgresEngine::PostgresEngine(std::string folder)
    : m_folder(std::move(folder)), m_bin(postgresBin()), m_port(freePort()) {}

PostgresEngine::~PostgresEngine() {
    stop();
}

bool PostgresEngine::run(const std::vector<std::string>& argv) {
    ChildProcess process;
    if (!process.start(argv, m_folder + "/postgres.log", "postgres")) {
        m_error = "cannot run " + argv.front();
        return false;
    }
    const std::optional<int> status = process.wait(60s);
    if (status != 0) {
        m_error = argv.front() + " failed; see " + m_folder + "/postgres.log";
        return false;
    }
    return true;
}

bool PostgresEngine::start() {
    if (m_bin.empty()) {
        m_error = "PostgreSQL is not installed (scripts/install-deps.sh installs it)";
        return false;
    }
    const std::string data = m_folder + "/data";
    if (!m_created) {
        std::filesystem::create_directories(m_folder);
        handToPostgres(m_folder);
        if (!run({m_bin + "/initdb", "-D", data, "-U", "postgres", "--auth=trust", "-E", "UTF8", "--no-locale",
                  "--no-sync"})) {
            return false;
        }
    }
    // Durability is not what these tests are about; speed is.
    const std::vector<std::string> argv = {m_bin + "/postgres",
                                           "-D",
                                           data,
                                           "-p",
                                           std::to_string(m_port),
                                           "-c",
                                           "listen_addresses=127.0.0.1",
                                           "-c",
                                           "unix_socket_directories=" + m_folder,
                                           "-c",
                                           "fsync=off",
                                           "-c",
                                           "full_page_writes=off",
                                           "-c",
                                           "shared_buffers=16MB",
                                           "-c",
                                           "max_connections=60"};
    if (!m_process.start(argv, m_folder + "/postgres.log", "postgres") || !waitForPort(m_port, 30s)) {
        m_error = "postgres did not start; see " + m_folder + "/postgres.log";
        return false;
    }
    if (!m_created) {
        // Accepting connections comes a moment before accepting queries.
        const std::vector<std::string> createdb = {m_bin + "/createdb",    "-h", "127.0.0.1", "-p",
                                                   std::to_string(m_port), "-U", "postgres",  "vesmira"};
        m_created = eventually([&] { return run(createdb); }, 30s, 100ms);
    }
    return m_created;
}

void PostgresEngine::stop() {
    if (m_process.pid() > 0) {
        m_process.signal(SIGINT);
        if (!m_process.wait(20s)) {
            m_process.kill();
        }
    }
}

HaproxyEngine::HaproxyEngine(std::string folder, std::vector<std::uint16_t> nodes)
    : m_folder(std::move(folder)), m_nodes(std::move(nodes)), m_port(freePort()), m_tlsPort(freePort()) {}

bool HaproxyEngine::start() {
    // The configuration shipped in packaging/, with this test's address, certificate and nodes and quicker health
    // checks.
    const TestCertificate certificate = TestCertificate::make(m_folder, "haproxy", "localhost");
    const std::string pem = m_folder + "/haproxy-tls.pem";
    std::ofstream(pem) << TempDir::read(certificate.certificate) << TempDir::read(certificate.key);
    std::istringstream shipped(TempDir::read(VESMIRA_SOURCE_DIR "/packaging/haproxy.cfg"));
    std::ostringstream config;
    bool nodesListed = false;
    for (std::string line; std::getline(shipped, line) && !nodesListed;) {
        if (line == "    bind :3000") {
            line = "    bind 127.0.0.1:" + std::to_string(m_port);
        } else if (line == "    bind :3443 ssl crt /etc/haproxy/vesmira.pem") {
            line = "    bind 127.0.0.1:" + std::to_string(m_tlsPort) + " ssl crt " + pem;
        } else if (const auto at = line.find(" inter 1s fall 2 rise 2"); at != std::string::npos) {
            line.replace(at, std::string::npos, " inter 200ms fall 2 rise 1");
        } else if (line == "    maxconn 60000") {
            line = "    maxconn 4000"; // within this machine's open-file limit
        } else if (line.find("log") != std::string::npos) {
            continue; // no syslog here
        }
        nodesListed = line == "    # nodes";
        config << line << "\n";
    }
    for (std::size_t i = 0; i < m_nodes.size(); ++i) {
        config << "    server node" << i + 1 << " 127.0.0.1:" << m_nodes[i] << "\n";
    }
    const std::string path = m_folder + "/haproxy.cfg";
    std::ofstream(path) << config.str();
    return nodesListed && m_process.start({"/usr/sbin/haproxy", "-db", "-f", path}, m_folder + "/haproxy.log") &&
           waitForPort(m_port, 10s) && waitForPort(m_tlsPort, 10s);
}

NodeProcess::NodeProcess(std::string log, std::vector<std::string> args)
    : m_log(std::move(log)), m_args(std::move(args)), m_port(freePort()) {}

bool NodeProcess::start() {
    std::vector<std::string> argv = {VESMIRA_SERVER_BINARY,  "--listen",    "127.0.0.1", "--port",
                                     std::to_string(m_port), "--hash-cost", "min"};
    argv.insert(argv.end(), m_args.begin(), m_args.end());
    const std::size_t before = countInFile(m_log, "listening on");
    if (!m_process.start(argv, m_log)) {
        return false;
    }
    bool listening = false;
    eventually(
        [&] {
            listening = countInFile(m_log, "listening on") > before;
            return listening || !m_process.running();
        },
        15s);
    return listening;
}

} // namespace vesmira
