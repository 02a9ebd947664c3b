#pragma once

#include "server/users/PasswordHasher.h"
#include "server/users/UserDirectory.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace vesmira {

class Logger;

// Accounts in an SQLite file: the ID as a BLOB (exact bytes, no text collation), its Argon2id hash (empty while
// invited), whether it is locked, when it was created and last signed in.
// Calls block, hashing included (tens of milliseconds at the interactive cost), so the server makes them on its
// worker pool. Safe to call from several threads at once: the statements take turns, the hashing does not.
// One server owns the file, so IDs being registered are held in memory.
class UserStore final : public UserDirectory {
public:
    // Opens or creates the database; nullptr with a message in `error` on failure.
    static std::unique_ptr<UserStore> open(const std::string& path, PasswordHasher hasher, Logger& logger,
                                           std::string& error);
    ~UserStore() override;

    UserStore(const UserStore&) = delete;
    UserStore& operator=(const UserStore&) = delete;

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

private:
    UserStore(sqlite3* db, PasswordHasher hasher, Logger& logger);
    bool prepare(std::string& error);
    // What the database holds for one ID, under m_mutex; nullopt when it could not be asked.
    struct Row {
        bool exists = false;
        std::string hash; // empty: invited
        bool locked = false;
    };
    std::optional<Row> lookUp(std::string_view id);
    Answer hold(std::string_view id, std::string_view holder, bool invitedOnly);
    Answer store(std::string_view id, std::string_view password, std::string_view holder, bool invitedOnly);
    // Runs a statement that changes at most one account: Yes when it did, No when it changed nothing.
    Answer change(sqlite3_stmt* statement, std::string_view what);
    // A one-off statement of the operator's, prepared per call.
    sqlite3_stmt* prepareOnce(const char* sql);
    // One of the operator's changes to the account `id` (bound as ?1), prepared for this call; `bindMore` binds the
    // statement's other parameters.
    Answer changeOnce(const char* sql, std::string_view id, std::string_view what,
                      const std::function<bool(sqlite3_stmt*)>& bindMore);
    bool heldForAnother(const std::string& id, std::string_view holder);
    void logFailure(std::string_view what);

    struct Hold {
        std::string holder;
        std::chrono::steady_clock::time_point until;
    };

    std::mutex m_mutex; // the connection and its statements
    sqlite3* m_db;
    sqlite3_stmt* m_select = nullptr;
    sqlite3_stmt* m_insert = nullptr;
    sqlite3_stmt* m_claim = nullptr;
    sqlite3_stmt* m_signedIn = nullptr;
    sqlite3_stmt* m_active = nullptr;
    std::map<std::string, Hold, std::less<>> m_held; // IDs between their ID step and their password step
    PasswordHasher m_hasher;
    Logger& m_logger;
};

} // namespace vesmira
