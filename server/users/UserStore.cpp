#include "server/users/UserStore.h"

#include "server/log/Logger.h"

#include <sqlite3.h>

#include <ctime>
#include <optional>

namespace vesmira {

namespace {

// How long an ID stays held between the ID step and the password step, at most: longer than a person takes.
constexpr std::chrono::minutes kHoldFor{2};

constexpr const char* kSchema = "CREATE TABLE IF NOT EXISTS users ("
                                "  id BLOB PRIMARY KEY NOT NULL,"
                                "  password_hash TEXT NOT NULL,"
                                "  created_at INTEGER NOT NULL,"
                                "  locked INTEGER NOT NULL DEFAULT 0,"
                                "  last_sign_in INTEGER"
                                ") WITHOUT ROWID;";
// Files made before accounts could be locked lack the last two columns.
constexpr const char* kUpgrade = "ALTER TABLE users ADD COLUMN locked INTEGER NOT NULL DEFAULT 0;"
                                 "ALTER TABLE users ADD COLUMN last_sign_in INTEGER;";

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

sqlite3_int64 nowSeconds() {
    return static_cast<sqlite3_int64>(std::time(nullptr));
}

// A password's hash as ?2 and the time as ?3, as registering and the operator's `add` store them.
bool bindHashAndNow(sqlite3_stmt* statement, const std::string& hash) {
    return sqlite3_bind_text(statement, 2, hash.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK &&
           sqlite3_bind_int64(statement, 3, nowSeconds()) == SQLITE_OK;
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
    for (sqlite3_stmt* statement : {m_select, m_insert, m_claim, m_signedIn, m_active}) {
        sqlite3_finalize(statement);
    }
    sqlite3_close(m_db);
}

bool UserStore::prepare(std::string& error) {
    // Another process (a second server, the operator's command) may hold the file briefly.
    sqlite3_busy_timeout(m_db, 5000);
    const auto exec = [&](const char* sql) {
        char* message = nullptr;
        if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
            error = message ? message : sqlite3_errmsg(m_db);
            sqlite3_free(message);
            return false;
        }
        return true;
    };
    // The schema and its upgrade in one write transaction: a server and the operator's command opening the same
    // old file at once upgrade it once.
    if (!exec("PRAGMA journal_mode = WAL;") || !exec("BEGIN IMMEDIATE;") || !exec(kSchema)) {
        return false;
    }
    sqlite3_stmt* columns = nullptr;
    bool upgraded = true;
    if (sqlite3_prepare_v2(m_db, "SELECT 1 FROM pragma_table_info('users') WHERE name = 'locked'", -1, &columns,
                           nullptr) == SQLITE_OK) {
        upgraded = sqlite3_step(columns) == SQLITE_ROW;
    }
    sqlite3_finalize(columns);
    if ((!upgraded && !exec(kUpgrade)) || !exec("COMMIT;")) {
        exec("ROLLBACK;");
        return false;
    }
    const std::pair<sqlite3_stmt**, const char*> statements[] = {
        {&m_select, "SELECT password_hash, locked FROM users WHERE id = ?1"},
        // A new account, or an invited one (no password yet, not locked) that gets its password.
        {&m_insert, "INSERT INTO users (id, password_hash, created_at, last_sign_in) VALUES (?1, ?2, ?3, ?3) "
                    "ON CONFLICT (id) DO UPDATE SET password_hash = excluded.password_hash, "
                    "last_sign_in = excluded.last_sign_in WHERE users.password_hash = '' AND users.locked = 0"},
        {&m_claim, "UPDATE users SET password_hash = ?2, last_sign_in = ?3 "
                   "WHERE id = ?1 AND password_hash = '' AND locked = 0"},
        {&m_signedIn, "UPDATE users SET last_sign_in = ?2 WHERE id = ?1"},
        {&m_active, "SELECT 1 FROM users WHERE id = ?1 AND password_hash <> '' AND locked = 0"},
    };
    for (const auto& [statement, sql] : statements) {
        if (sqlite3_prepare_v2(m_db, sql, -1, statement, nullptr) != SQLITE_OK) {
            error = sqlite3_errmsg(m_db);
            return false;
        }
    }
    return true;
}

std::optional<UserStore::Row> UserStore::lookUp(std::string_view id) {
    StatementUse use(m_select);
    if (bindBlob(m_select, 1, id) != SQLITE_OK) {
        logFailure("bind");
        return std::nullopt;
    }
    const int rc = sqlite3_step(m_select);
    Row row;
    if (rc == SQLITE_DONE) {
        return row;
    }
    if (rc != SQLITE_ROW) {
        logFailure("lookup");
        return std::nullopt;
    }
    row.exists = true;
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_select, 0));
    row.hash.assign(text ? text : "", static_cast<std::size_t>(sqlite3_column_bytes(m_select, 0)));
    row.locked = sqlite3_column_int(m_select, 1) != 0;
    return row;
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
    const auto row = lookUp(id);
    return row ? answer(row->exists && !row->hash.empty()) : Answer::Unavailable;
}

UserDirectory::Answer UserStore::reserve(std::string_view id, std::string_view holder) {
    return hold(id, holder, false);
}

UserDirectory::Answer UserStore::reserveInvited(std::string_view id, std::string_view holder) {
    return hold(id, holder, true);
}

UserDirectory::Answer UserStore::hold(std::string_view id, std::string_view holder, bool invitedOnly) {
    std::lock_guard lock(m_mutex);
    const std::string key(id);
    if (heldForAnother(key, holder)) {
        return Answer::No;
    }
    const auto row = lookUp(id);
    if (!row) {
        return Answer::Unavailable;
    }
    const bool invited = row->exists && row->hash.empty() && !row->locked;
    if (invitedOnly ? !invited : row->exists && !invited) {
        return Answer::No;
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
    return store(id, password, holder, false);
}

UserDirectory::Answer UserStore::addInvited(std::string_view id, std::string_view password, std::string_view holder) {
    return store(id, password, holder, true);
}

UserDirectory::Answer UserStore::store(std::string_view id, std::string_view password, std::string_view holder,
                                       bool invitedOnly) {
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
    sqlite3_stmt* statement = invitedOnly ? m_claim : m_insert;
    StatementUse use(statement);
    if (bindBlob(statement, 1, id) != SQLITE_OK || !bindHashAndNow(statement, *hash)) {
        logFailure("bind");
        return Answer::Unavailable;
    }
    const Answer added = change(statement, "insert");
    if (added != Answer::Unavailable) {
        m_held.erase(key);
    }
    return added;
}

UserDirectory::Answer UserStore::checkPassword(std::string_view id, std::string_view password) {
    std::optional<Row> row;
    {
        std::lock_guard lock(m_mutex);
        row = lookUp(id);
    }
    if (!row) {
        return Answer::Unavailable;
    }
    if (!row->exists || row->hash.empty()) {
        return Answer::No;
    }
    if (row->locked) {
        return Answer::Locked;
    }
    if (!m_hasher.verify(row->hash, password)) {
        return Answer::No;
    }
    std::lock_guard lock(m_mutex);
    StatementUse use(m_signedIn);
    // Only a record: a sign-in goes ahead even if it cannot be written.
    if (bindBlob(m_signedIn, 1, id) == SQLITE_OK && sqlite3_bind_int64(m_signedIn, 2, nowSeconds()) == SQLITE_OK) {
        change(m_signedIn, "recording a sign-in");
    }
    return Answer::Yes;
}

std::optional<std::vector<std::string>> UserStore::inactiveAmong(const std::vector<std::string>& ids) {
    std::vector<std::string> inactive;
    // In slices, so that sign-ins waiting for the connection are not held up by ten thousand lookups. With no IDs
    // the statement still runs once: the database must answer for the server's health check.
    constexpr std::size_t kSlice = 256;
    for (std::size_t at = 0; at == 0 || at < ids.size(); at += kSlice) {
        std::lock_guard lock(m_mutex);
        // One read transaction per slice rather than one per lookup: several times cheaper.
        sqlite3_exec(m_db, "BEGIN", nullptr, nullptr, nullptr);
        struct End {
            sqlite3* db;
            ~End() { sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr); }
        } end{m_db};
        for (std::size_t i = at; i == at || i < std::min(ids.size(), at + kSlice); ++i) {
            const std::string_view id = i < ids.size() ? std::string_view(ids[i]) : std::string_view();
            StatementUse use(m_active);
            // The ID outlives the step: no copy.
            if (sqlite3_bind_blob(m_active, 1, id.empty() ? "" : id.data(), static_cast<int>(id.size()),
                                  SQLITE_STATIC) != SQLITE_OK) {
                logFailure("bind");
                return std::nullopt;
            }
            const int rc = sqlite3_step(m_active);
            if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
                logFailure("lookup");
                return std::nullopt;
            }
            if (rc == SQLITE_DONE && i < ids.size()) {
                inactive.push_back(ids[i]);
            }
        }
    }
    return inactive;
}

std::optional<std::vector<UserDirectory::Account>> UserStore::accounts() {
    std::lock_guard lock(m_mutex);
    sqlite3_stmt* statement = prepareOnce(
        "SELECT id, created_at, last_sign_in, password_hash = '', locked FROM users ORDER BY created_at, id");
    if (!statement) {
        return std::nullopt;
    }
    std::vector<Account> accounts;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        Account account;
        const auto* id = static_cast<const char*>(sqlite3_column_blob(statement, 0));
        account.id.assign(id ? id : "", static_cast<std::size_t>(sqlite3_column_bytes(statement, 0)));
        account.created = sqlite3_column_int64(statement, 1);
        if (sqlite3_column_type(statement, 2) != SQLITE_NULL) {
            account.lastSignIn = sqlite3_column_int64(statement, 2);
        }
        account.state = sqlite3_column_int(statement, 4) != 0   ? Account::State::Locked
                        : sqlite3_column_int(statement, 3) != 0 ? Account::State::Invited
                                                                : Account::State::Active;
        accounts.push_back(std::move(account));
    }
    if (rc != SQLITE_DONE) {
        logFailure("listing");
    }
    sqlite3_finalize(statement);
    return rc == SQLITE_DONE ? std::optional(std::move(accounts)) : std::nullopt;
}

UserDirectory::Answer UserStore::create(std::string_view id, std::string_view password) {
    const std::optional<std::string> hash = m_hasher.hash(password);
    if (!hash) {
        return Answer::Unavailable;
    }
    return changeOnce("INSERT OR IGNORE INTO users (id, password_hash, created_at) VALUES (?1, ?2, ?3)", id, "adding",
                      [&](sqlite3_stmt* statement) { return bindHashAndNow(statement, *hash); });
}

UserDirectory::Answer UserStore::invite(std::string_view id) {
    return changeOnce(
        "INSERT OR IGNORE INTO users (id, password_hash, created_at) VALUES (?1, '', ?2)", id, "inviting",
        [](sqlite3_stmt* statement) { return sqlite3_bind_int64(statement, 2, nowSeconds()) == SQLITE_OK; });
}

UserDirectory::Answer UserStore::setPassword(std::string_view id, std::string_view password) {
    const std::optional<std::string> hash = m_hasher.hash(password);
    if (!hash) {
        return Answer::Unavailable;
    }
    return changeOnce("UPDATE users SET password_hash = ?2 WHERE id = ?1", id, "changing a password",
                      [&](sqlite3_stmt* statement) {
                          return sqlite3_bind_text(statement, 2, hash->c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK;
                      });
}

UserDirectory::Answer UserStore::remove(std::string_view id) {
    return changeOnce("DELETE FROM users WHERE id = ?1", id, "removing", {});
}

UserDirectory::Answer UserStore::setLocked(std::string_view id, bool locked) {
    return changeOnce(
        "UPDATE users SET locked = ?2 WHERE id = ?1", id, locked ? "locking" : "unlocking",
        [&](sqlite3_stmt* statement) { return sqlite3_bind_int(statement, 2, locked ? 1 : 0) == SQLITE_OK; });
}

UserDirectory::Answer UserStore::changeOnce(const char* sql, std::string_view id, std::string_view what,
                                            const std::function<bool(sqlite3_stmt*)>& bindMore) {
    std::lock_guard lock(m_mutex);
    sqlite3_stmt* statement = prepareOnce(sql);
    Answer changed = Answer::Unavailable;
    if (statement && bindBlob(statement, 1, id) == SQLITE_OK && (!bindMore || bindMore(statement))) {
        changed = change(statement, what);
    }
    sqlite3_finalize(statement);
    return changed;
}

UserDirectory::Answer UserStore::change(sqlite3_stmt* statement, std::string_view what) {
    if (sqlite3_step(statement) != SQLITE_DONE) {
        logFailure(what);
        return Answer::Unavailable;
    }
    return answer(sqlite3_changes(m_db) == 1);
}

sqlite3_stmt* UserStore::prepareOnce(const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(m_db, sql, -1, &statement, nullptr) != SQLITE_OK) {
        logFailure("prepare");
        sqlite3_finalize(statement);
        return nullptr;
    }
    return statement;
}

void UserStore::logFailure(std::string_view what) {
    m_logger.log(LogLevel::Error, {}, "user store: " + std::string(what) + " failed: " + sqlite3_errmsg(m_db));
}

} // namespace vesmira
