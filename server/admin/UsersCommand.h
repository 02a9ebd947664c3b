#pragma once

#include "server/admin/CommandLine.h"
#include "server/users/PasswordHasher.h"

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace vesmira {

class UserDirectory;

// `vesmira-server users COMMAND [ID] [--db PATH] [--hash-cost COST]`: the operator's commands on the accounts of
// the database a server uses, safe to run while servers use it. IDs are typed as UTF-8 and stored as the CP932
// bytes a client sends for them.
struct UsersCommand : CommandLine {
    enum class Verb { List, Add, Passwd, Remove, Lock, Unlock, Invite };

    Verb verb = Verb::List;
    std::string id;     // CP932 bytes
    std::string idText; // as typed
    std::string database;
    PasswordHasher::Cost hashCost = PasswordHasher::Cost::Interactive;

    // Reads a new password as UTF-8; nullopt with a message when none could be read.
    using PasswordReader = std::function<std::optional<std::string>(const std::string& prompt, std::string& error)>;

    // `args` are those after "users"; the environment gives the default database as for the server.
    static UsersCommand parse(const std::vector<std::string>& args, const char* xdgStateHome, const char* home);
    static std::string usage();

    // Whether the command may create the database when there is none yet (the others need one to act on).
    bool createsAccounts() const { return verb == Verb::Add || verb == Verb::Invite; }
    bool needsPassword() const { return verb == Verb::Add || verb == Verb::Passwd; }

    // Carries the command out; returns the exit code. Messages for the operator go to `err`, the list to `out`.
    int run(UserDirectory& users, const PasswordReader& readPassword, std::ostream& out, std::ostream& err) const;
};

} // namespace vesmira
