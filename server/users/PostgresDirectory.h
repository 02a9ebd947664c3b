#pragma once

#include "server/users/PasswordHasher.h"
#include "server/users/UserDirectory.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct pg_conn;
struct pg_result;

namespace vesmira {

class Logger;

// Accounts in PostgreSQL, shared by every server of a cluster: the same columns as the SQLite file, and a table of
// IDs held between the two steps of a registration, so that of two servers registering one ID at once exactly
// one succeeds, the other's client being refused at the ID step. Calls block; each takes a connection of its own
// from a pool that grows to the number of threads calling. When the database cannot be reached, calls answer
// Unavailable at once for a second after each failed attempt, and the outage and the recovery are logged once.
class PostgresDirectory final : public UserDirectory {
public:
    // Connects once and creates the tables if needed; nullptr with a message in `error` on failure.
    static std::unique_ptr<PostgresDirectory> open(const std::string& uri, PasswordHasher hasher, Logger& logger,
                                                   std::string& error);
    ~PostgresDirectory() override;

    PostgresDirectory(const PostgresDirectory&) = delete;
    PostgresDirectory& operator=(const PostgresDirectory&) = delete;

    Answer contains(std::string_view id) override;
    Answer reserve(std::string_view id, std::string_view holder) override;
    void release(std::string_view id, std::string_view holder) override;
    Answer add(std::string_view id, std::string_view password, std::string_view holder) override;
    Answer reserveInvited(std::string_view id, std::string_view holder) override;
    Answer addInvited(std::string_view id, std::string_view password, std::string_view holder) override;
    Answer checkPassword(std::string_view id, std::string_view password) override;
    std::optional<std::vector<std::string>> inactiveAmong(const std::vector<std::string>& ids) override;

    std::optional<std::vector<Account>> accounts() override;
    Answer create(std::string_view id, std::string_view password) override;
    Answer invite(std::string_view id) override;
    Answer setPassword(std::string_view id, std::string_view password) override;
    Answer remove(std::string_view id) override;
    Answer setLocked(std::string_view id, bool locked) override;

    // The URI with any password left out, for the log.
    static std::string redacted(const std::string& uri);

private:
    struct Param {
        std::string_view value;
        bool binary = false;
    };
    struct ResultDeleter {
        void operator()(pg_result* result) const;
    };
    using Result = std::unique_ptr<pg_result, ResultDeleter>;

    PostgresDirectory(std::string uri, PasswordHasher hasher, Logger& logger);
    pg_conn* connect(std::string& error);
    pg_conn* acquire();
    void giveBack(pg_conn* connection);
    // Runs one statement; nullptr when the database could not be asked. A connection that worked before and fails
    // now (the server restarted) is replaced once before this counts as an outage.
    Result run(const char* sql, const std::vector<Param>& params, bool wantRows);
    Answer affected(const Result& result);
    // Hashes `password` and runs `sql` with $1 the ID, $2 the hash, then `more`.
    Answer withHash(const char* sql, std::string_view id, std::string_view password, std::vector<Param> more);
    void markDown(const std::string& error);
    void markUp();

    const std::string m_uri;
    PasswordHasher m_hasher;
    Logger& m_logger;

    std::mutex m_mutex;
    std::vector<pg_conn*> m_idle;
    bool m_down = false;
    std::chrono::steady_clock::time_point m_downSince;
    std::chrono::steady_clock::time_point m_retryAfter;
};

} // namespace vesmira
