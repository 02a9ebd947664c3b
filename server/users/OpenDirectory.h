#pragma once

#include "server/users/PasswordHasher.h"
#include "server/users/UserDirectory.h"

#include <memory>
#include <string>
#include <string_view>

namespace vesmira {

class Logger;

// A postgresql:// or postgres:// URI names a PostgreSQL database; anything else is the path of an SQLite file.
bool isPostgresUri(std::string_view database);

// Opens the user directory `database` names; nullptr with a message in `error` on failure.
std::unique_ptr<UserDirectory> openUserDirectory(const std::string& database, PasswordHasher hasher, Logger& logger,
                                                 std::string& error);

} // namespace vesmira
