#include "ServerHarness.h"

#include "TempDir.h"
#include "TestCertificate.h"
#include "server/core/ChatServer.h"
#include "server/tls/TlsCredentials.h"
#include "server/users/UserStore.h"
#include "server/workers/WorkerPool.h"

#include <chrono>
#include <future>
#include <iostream>
#include <thread>

namespace vesmira {

struct ServerHarness::Runtime {
    Runtime(LogLevel level, std::ostream& log) : logger(level, log) {}

    asio::io_context io{1};
    Logger logger;
    std::unique_ptr<UserStore> users;
    std::unique_ptr<WorkerPool> workers;
    std::unique_ptr<ChatServer> server;
    std::unique_ptr<TlsCredentials> tls;
    std::promise<void> finished;
    std::thread thread;
};

ServerHarness::ServerHarness() : ServerHarness(Options{}) {}

ServerHarness::ServerHarness(Options options)
    : m_runtime(std::make_unique<Runtime>(options.logLevel, options.log ? *options.log : std::cerr)) {
    m_folder = std::make_unique<TempDir>(TempDir::Current::Stay);
    m_databasePath = m_folder->file("users.sqlite3");
    Runtime& rt = *m_runtime;
    rt.users = UserStore::open(m_databasePath, PasswordHasher(PasswordHasher::Cost::Minimum), rt.logger, m_error);
    if (!rt.users) {
        return;
    }
    rt.workers = std::make_unique<WorkerPool>(rt.io, options.workerThreads, options.workerQueue);
    UserDirectory& users = options.users ? *options.users : static_cast<UserDirectory&>(*rt.users);
    rt.server = std::make_unique<ChatServer>(rt.io, users, *rt.workers, rt.logger, options.settings);
    if (!rt.server->listen({asio::ip::make_address_v4("127.0.0.1"), 0}, m_error)) {
        return;
    }
    if (options.tls) {
        m_certificate = std::make_unique<TestCertificate>(
            options.certificate ? *options.certificate
                                : TestCertificate::make(m_folder->path(), "server", "localhost"));
        rt.tls = std::make_unique<TlsCredentials>(m_certificate->certificate, m_certificate->key);
        std::string warning;
        if (!rt.tls->load(m_error, warning) ||
            !rt.server->listenTls({asio::ip::make_address_v4("127.0.0.1"), 0}, *rt.tls, m_error)) {
            return;
        }
        m_tlsPort = rt.server->tlsEndpoint().port();
    }
    // Known before the thread starts: clients may connect as soon as the constructor returns.
    m_port = rt.server->localEndpoint().port();
    rt.thread = std::thread([&rt] {
        rt.io.run();
        rt.finished.set_value();
    });
}

ServerHarness::~ServerHarness() {
    Runtime& rt = *m_runtime;
    if (rt.thread.joinable()) {
        asio::post(rt.io, [&rt] { rt.server->stop(); });
        // Closing every connection lets run() return by itself; if something still holds it, force it.
        if (rt.finished.get_future().wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            std::cerr << "ServerHarness: server did not drain after stop(), forcing\n";
            rt.io.stop();
        }
        rt.thread.join();
    }
    rt.server.reset();
    rt.workers.reset();
    rt.users.reset();
    m_folder.reset();
}

bool ServerHarness::renewCertificate() {
    const TestCertificate next =
        TestCertificate::make(m_folder->path(), "server" + std::to_string(++m_renewals), "localhost");
    const bool copied = TempDir::write(m_certificate->certificate, TempDir::read(next.certificate)) &&
                        TempDir::write(m_certificate->key, TempDir::read(next.key));
    std::promise<bool> loaded;
    asio::post(m_runtime->io, [&] {
        std::string error;
        std::string warning;
        loaded.set_value(copied && m_runtime->tls->load(error, warning));
    });
    if (!loaded.get_future().get()) {
        return false;
    }
    m_certificate->fingerprint = next.fingerprint;
    return true;
}

std::size_t ServerHarness::overflowDrops() const {
    return m_runtime->server ? m_runtime->server->overflowDrops() : 0;
}

const LimitCounters& ServerHarness::limitCounters() const {
    return m_runtime->server->limitCounters();
}

const ServerStats& ServerHarness::stats() const {
    return m_runtime->server->stats();
}

} // namespace vesmira
