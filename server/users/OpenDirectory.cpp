#include "server/users/OpenDirectory.h"

#include "server/users/PostgresDirectory.h"
#include "server/users/UserStore.h"

namespace vesmira {

bool isPostgresUri(std::string_view database) {
    return database.starts_with("postgresql://") || database.starts_with("postgres://");
}

std::unique_ptr<UserDirectory> openUserDirectory(const std::string& database, PasswordHasher hasher, Logger& logger,
                                                 std::string& error) {
    if (isPostgresUri(database)) {
        return PostgresDirectory::open(database, hasher, logger, error);
    }
    return UserStore::open(database, hasher, logger, error);
}

} // namespace vesmira
