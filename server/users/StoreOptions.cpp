#include "server/users/StoreOptions.h"

namespace vesmira {

bool StoreOptions::takes(std::string_view name) {
    return name == "--db" || name == "--hash-cost";
}

bool StoreOptions::set(std::string_view name, const std::string& value, std::string& error) {
    if (name == "--db") {
        if (value.empty()) {
            error = "--db needs a file path or a postgresql:// URI";
            return false;
        }
        databasePath = value;
        return true;
    }
    const auto cost = PasswordHasher::parseCost(value);
    if (!cost) {
        error = "--hash-cost needs interactive or min, not '" + value + "'";
        return false;
    }
    hashCost = *cost;
    return true;
}

bool StoreOptions::resolve(const char* xdgStateHome, const char* home, std::string& error) {
    if (databasePath.empty()) {
        databasePath = defaultDatabasePath(xdgStateHome, home);
        if (databasePath.empty()) {
            error = "neither XDG_STATE_HOME nor HOME is set: give the database path with --db";
            return false;
        }
    }
    return true;
}

std::string StoreOptions::defaultDatabasePath(const char* xdgStateHome, const char* home) {
    // Relative values of XDG_STATE_HOME are invalid and must be ignored.
    if (xdgStateHome && xdgStateHome[0] == '/') {
        return std::string(xdgStateHome) + "/vesmira/users.sqlite3";
    }
    if (home && home[0] != '\0') {
        return std::string(home) + "/.local/state/vesmira/users.sqlite3";
    }
    return {};
}

} // namespace vesmira
