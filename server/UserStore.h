#pragma once

#include "server/PasswordHasher.h"
#include "server/UserDirectory.h"

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace vesmira {

class Logger;

// Accounts in an SQLite file: the ID as a BLOB (exact bytes, no text collation) and its Argon2id hash.
// Calls block, hashing included (tens of milliseconds at the interactive cost), so the server makes them on its
// worker pool. Safe to call from several threads at once: the statements take turns, the hashing does not.
class UserStore final : public UserDirectory {
public:
    // Opens or creates the database; nullptr with a message in `error` on failure.
    static std::unique_ptr<UserStore> open(const std::string& path, PasswordHasher hasher, Logger& logger,
                                           std::string& error);
    ~UserStore() override;

    UserStore(const UserStore&) = delete;
    UserStore& operator=(const UserStore&) = delete;

    bool contains(std::string_view id) override;
    bool add(std::string_view id, std::string_view password) override;
    bool checkPassword(std::string_view id, std::string_view password) override;

private:
    UserStore(sqlite3* db, PasswordHasher hasher, Logger& logger);
    bool prepare(std::string& error);
    void logFailure(std::string_view what);

    std::mutex m_mutex; // the connection and its statements
    sqlite3* m_db;
    sqlite3_stmt* m_selectHash = nullptr;
    sqlite3_stmt* m_insert = nullptr;
    PasswordHasher m_hasher;
    Logger& m_logger;
};

} // namespace vesmira
