#include "server/users/UserStore.h"

#include "server/log/Logger.h"

#include <sqlite3.h>

#include <ctime>
#include <optional>

namespace vesmira {

namespace {

// How long an ID stays held between the ID step and the password step, at most: longer than a person takes.
constexpr std::chrono::minutes kHoldFor{2};

constexpr const char* kSchema = "PRAGMA journal_mode = WAL;"
                                "CREATE TABLE IF NOT EXISTS users ("
                                "  id BLOB PRIMARY KEY NOT NULL,"
                                "  password_hash TEXT NOT NULL,"
                                "  created_at INTEGER NOT NULL"
                                ") WITHOUT ROWID;";

// Resets a statement on every path out of a lookup, so it never holds a read lock between calls.
class StatementUse {
public:
    explicit StatementUse(sqlite3_stmt* statement) : m_statement(statement) {}
    ~StatementUse() {
        sqlite3_reset(m_statement);
        sqlite3_clear_bindings(m_statement);
    }
    StatementUse(const StatementUse&) = delete;
    StatementUse& operator=(const StatementUse&) = delete;

private:
    sqlite3_stmt* m_statement;
};

int bindBlob(sqlite3_stmt* statement, int index, std::string_view bytes) {
    // A zero-length blob must still be a blob, not NULL, hence the non-null pointer for empty input.
    return sqlite3_bind_blob(statement, index, bytes.empty() ? "" : bytes.data(), static_cast<int>(bytes.size()),
                             SQLITE_TRANSIENT);
}

} // namespace

std::unique_ptr<UserStore> UserStore::open(const std::string& path, PasswordHasher hasher, Logger& logger,
                                           std::string& error) {
    if (!PasswordHasher::initialize()) {
        error = "libsodium could not be initialised";
        return nullptr;
    }
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        error = path + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<UserStore> store(new UserStore(db, hasher, logger));
    if (!store->prepare(error)) {
        error = path + ": " + error;
        return nullptr;
    }
    return store;
}

UserStore::UserStore(sqlite3* db, PasswordHasher hasher, Logger& logger)
    : m_db(db), m_hasher(hasher), m_logger(logger) {}

UserStore::~UserStore() {
    sqlite3_finalize(m_selectHash);
    sqlite3_finalize(m_insert);
    sqlite3_close(m_db);
}

bool UserStore::prepare(std::string& error) {
    // Another process (a second server started by mistake) may hold the file briefly.
    sqlite3_busy_timeout(m_db, 2000);
    char* message = nullptr;
    if (sqlite3_exec(m_db, kSchema, nullptr, nullptr, &message) != SQLITE_OK) {
        error = message ? message : sqlite3_errmsg(m_db);
        sqlite3_free(message);
        return false;
    }
    if (sqlite3_prepare_v2(m_db, "SELECT password_hash FROM users WHERE id = ?1", -1, &m_selectHash, nullptr) !=
            SQLITE_OK ||
        sqlite3_prepare_v2(m_db, "INSERT OR IGNORE INTO users (id, password_hash, created_at) VALUES (?1, ?2, ?3)", -1,
                           &m_insert, nullptr) != SQLITE_OK) {
        error = sqlite3_errmsg(m_db);
        return false;
    }
    return true;
}

UserDirectory::Answer UserStore::lookUp(std::string_view id, std::string* hash) {
    StatementUse use(m_selectHash);
    if (bindBlob(m_selectHash, 1, id) != SQLITE_OK) {
        logFailure("bind");
        return Answer::Unavailable;
    }
    const int rc = sqlite3_step(m_selectHash);
    if (rc == SQLITE_DONE) {
        return Answer::No;
    }
    if (rc != SQLITE_ROW) {
        logFailure("lookup");
        return Answer::Unavailable;
    }
    if (hash) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_selectHash, 0));
        hash->assign(text ? text : "", static_cast<std::size_t>(sqlite3_column_bytes(m_selectHash, 0)));
    }
    return Answer::Yes;
}

bool UserStore::heldForAnother(const std::string& id, std::string_view holder) {
    const auto held = m_held.find(id);
    if (held == m_held.end()) {
        return false;
    }
    if (held->second.holder == holder) {
        return false;
    }
    if (held->second.until <= std::chrono::steady_clock::now()) {
        m_held.erase(held);
        return false;
    }
    return true;
}

UserDirectory::Answer UserStore::contains(std::string_view id) {
    std::lock_guard lock(m_mutex);
    return lookUp(id, nullptr);
}

UserDirectory::Answer UserStore::reserve(std::string_view id, std::string_view holder) {
    std::lock_guard lock(m_mutex);
    const std::string key(id);
    if (heldForAnother(key, holder)) {
        return Answer::No;
    }
    const Answer taken = lookUp(id, nullptr);
    if (taken != Answer::No) {
        return taken == Answer::Yes ? Answer::No : taken;
    }
    m_held[key] = Hold{std::string(holder), std::chrono::steady_clock::now() + kHoldFor};
    return Answer::Yes;
}

void UserStore::release(std::string_view id, std::string_view holder) {
    std::lock_guard lock(m_mutex);
    const auto held = m_held.find(id);
    if (held != m_held.end() && held->second.holder == holder) {
        m_held.erase(held);
    }
}

UserDirectory::Answer UserStore::add(std::string_view id, std::string_view password, std::string_view holder) {
    const std::optional<std::string> hash = m_hasher.hash(password);
    if (!hash) {
        m_logger.log(LogLevel::Error, {}, "user store: password hashing failed (out of memory?)");
        return Answer::Unavailable;
    }
    std::lock_guard lock(m_mutex);
    const std::string key(id);
    if (heldForAnother(key, holder)) {
        return Answer::No;
    }
    StatementUse use(m_insert);
    if (bindBlob(m_insert, 1, id) != SQLITE_OK ||
        sqlite3_bind_text(m_insert, 2, hash->c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK ||
        sqlite3_bind_int64(m_insert, 3, static_cast<sqlite3_int64>(std::time(nullptr))) != SQLITE_OK) {
        logFailure("bind");
        return Answer::Unavailable;
    }
    if (sqlite3_step(m_insert) != SQLITE_DONE) {
        logFailure("insert");
        return Answer::Unavailable;
    }
    m_held.erase(key);
    // INSERT OR IGNORE changes nothing when the ID is already there.
    return answer(sqlite3_changes(m_db) == 1);
}

UserDirectory::Answer UserStore::checkPassword(std::string_view id, std::string_view password) {
    std::string storedHash;
    {
        std::lock_guard lock(m_mutex);
        const Answer found = lookUp(id, &storedHash);
        if (found != Answer::Yes) {
            return found;
        }
    }
    return answer(m_hasher.verify(storedHash, password));
}

void UserStore::logFailure(std::string_view what) {
    m_logger.log(LogLevel::Error, {}, "user store: " + std::string(what) + " failed: " + sqlite3_errmsg(m_db));
}

} // namespace vesmira
