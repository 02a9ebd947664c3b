#pragma once

#include "server/users/PasswordHasher.h"

#include <string>
#include <string_view>

namespace vesmira {

// Where the accounts are and how new passwords are hashed: options of both the server and its users command, read
// by this one code with the same defaults and messages.
struct StoreOptions {
    std::string databasePath; // an SQLite file, or a postgresql:// URI
    PasswordHasher::Cost hashCost = PasswordHasher::Cost::Interactive;

    // Whether `name` ("--db", "--hash-cost") is one of these options. Each takes a value.
    static bool takes(std::string_view name);
    // Reads the value of one of them; false with a message in `error` when it is not valid.
    bool set(std::string_view name, const std::string& value, std::string& error);
    // After the last option: the default database when none was given; false with a message when there is none.
    bool resolve(const char* xdgStateHome, const char* home, std::string& error);
    // $XDG_STATE_HOME/vesmira/users.sqlite3, else ~/.local/state/vesmira/users.sqlite3; empty when neither is known.
    static std::string defaultDatabasePath(const char* xdgStateHome, const char* home);

    bool operator==(const StoreOptions&) const = default;
};

} // namespace vesmira
