#include "server/admin/UsersCommand.h"

#include "protocol/SignInWords.h"
#include "server/admin/Cp932Text.h"
#include "server/log/LogText.h"
#include "server/users/StoreOptions.h"
#include "server/users/UserDirectory.h"

#include <algorithm>
#include <array>
#include <ctime>
#include <ostream>
#include <string_view>
#include <utility>

namespace vesmira {

namespace {

struct VerbName {
    std::string_view name;
    UsersCommand::Verb verb;
    bool takesId;
};

constexpr std::array<VerbName, 7> kVerbs = {{
    {"list", UsersCommand::Verb::List, false},
    {"add", UsersCommand::Verb::Add, true},
    {"passwd", UsersCommand::Verb::Passwd, true},
    {"remove", UsersCommand::Verb::Remove, true},
    {"lock", UsersCommand::Verb::Lock, true},
    {"unlock", UsersCommand::Verb::Unlock, true},
    {"invite", UsersCommand::Verb::Invite, true},
}};

UsersCommand failure(std::string message) {
    UsersCommand command;
    command.action = UsersCommand::Action::Fail;
    command.error = std::move(message);
    return command;
}

bool hasControl(std::string_view bytes) {
    return std::any_of(bytes.begin(), bytes.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

// What a client could send, checked as the server checks it; empty when fine.
std::string checkField(std::string_view what, std::string_view bytes, std::size_t maxBytes) {
    if (bytes.empty()) {
        return std::string(what) + " is empty";
    }
    if (bytes.size() > maxBytes) {
        return std::string(what) + " is " + std::to_string(bytes.size()) + " bytes in CP932; a client sends at most " +
               std::to_string(maxBytes);
    }
    if (hasControl(bytes)) {
        return std::string(what) + " holds a control character, which a client cannot send";
    }
    return {};
}

std::string timeText(std::int64_t seconds) {
    const auto value = static_cast<std::time_t>(seconds);
    std::tm utc{};
    gmtime_r(&value, &utc);
    std::array<char, 32> text{};
    const std::size_t length = std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%SZ", &utc);
    return std::string(text.data(), length);
}

std::string_view stateName(UserDirectory::Account::State state) {
    switch (state) {
    case UserDirectory::Account::State::Active:
        return "active";
    case UserDirectory::Account::State::Locked:
        return "locked";
    case UserDirectory::Account::State::Invited:
        return "invited";
    }
    return "?";
}

std::string padded(std::string_view text, std::size_t width) {
    std::string out(text);
    out.resize(std::max(width, text.size() + 1), ' ');
    return out;
}

} // namespace

UsersCommand UsersCommand::parse(const std::vector<std::string>& args, const char* xdgStateHome, const char* home) {
    UsersCommand command;
    std::vector<std::string> words;
    std::vector<std::pair<std::string, std::string>> options;
    std::string withoutValue; // the last argument, an option whose value is missing
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            command.action = Action::ShowHelp;
            return command;
        }
        if (!arg.starts_with("--")) {
            words.push_back(arg);
            continue;
        }
        // Its options are the server's own, read once the command line is known to ask for no help.
        const std::string name = arg.substr(0, arg.find('='));
        if (!StoreOptions::takes(name)) {
            return failure("unknown option '" + name + "'");
        }
        if (name != arg) {
            options.emplace_back(name, arg.substr(name.size() + 1));
        } else if (i + 1 < args.size()) {
            options.emplace_back(name, args[++i]);
        } else {
            withoutValue = name;
        }
    }
    StoreOptions store;
    std::string error;
    for (const auto& [name, value] : options) {
        if (!store.set(name, value, error)) {
            return failure(error);
        }
    }
    if (!withoutValue.empty()) {
        return failure("option '" + withoutValue + "' needs a value");
    }
    if (!store.resolve(xdgStateHome, home, error)) {
        return failure(error);
    }
    command.database = store.databasePath;
    command.hashCost = store.hashCost;
    if (words.empty()) {
        return failure("a command is needed: list, add, passwd, remove, lock, unlock or invite");
    }
    const auto verb = std::find_if(kVerbs.begin(), kVerbs.end(), [&](const VerbName& v) { return v.name == words[0]; });
    if (verb == kVerbs.end()) {
        return failure("unknown command '" + words[0] + "'");
    }
    command.verb = verb->verb;
    if (words.size() != (verb->takesId ? 2u : 1u)) {
        return failure(verb->takesId ? "'" + words[0] + "' needs exactly one ID"
                                     : "'" + words[0] + "' takes no argument");
    }
    if (verb->takesId) {
        command.idText = words[1];
        const auto bytes = Cp932Text::fromUtf8(command.idText, error);
        if (!bytes) {
            return failure("the ID '" + Cp932Text::printable(command.idText) + "' cannot be used: " + error);
        }
        if (const std::string problem = checkField("the ID", *bytes, kMaxIdBytes); !problem.empty()) {
            return failure(problem);
        }
        // Converted text is whole characters, so only a colon can stop an ID naming its lines; accounts made
        // before IDs were checked for one can still be managed.
        if ((command.verb == Verb::Add || command.verb == Verb::Invite) && !namesItsLines(*bytes)) {
            return failure("the ID holds \"：\", which would end the user's name in the chat lines others see");
        }
        command.id = *bytes;
    }
    return command;
}

std::string UsersCommand::usage() {
    return "Usage: vesmira-server users COMMAND [ID] [OPTION]...\n"
           "Manage the accounts of the user database, also while servers use it.\n"
           "\n"
           "Commands:\n"
           "  list                    every account: state, created, last sign-in and ID\n"
           "  add ID                  a new account with a password (read as said below)\n"
           "  passwd ID               a new password for an account (an invited one becomes active)\n"
           "  remove ID               delete an account; its connections are closed within a second\n"
           "  lock ID                 refuse the account's sign-ins; its connections are closed within a second\n"
           "  unlock ID               let a locked account sign in again\n"
           "  invite ID               let this ID register once (with --registration invite or open)\n"
           "\n"
           "Options:\n"
           "  --db PATH|URI           user database, as for the server: an SQLite file (default\n"
           "                          $XDG_STATE_HOME/vesmira/users.sqlite3, or\n"
           "                          ~/.local/state/vesmira/users.sqlite3) or a postgresql:// URI\n"
           "  --hash-cost COST        hashing cost of the password set: interactive (default) or min\n"
           "  --help                  show this help and exit\n"
           "\n"
           "IDs are typed as UTF-8; a client sends them in CP932, at most 44 bytes. A password is read from the\n"
           "terminal without echo, or as the first line of standard input when that is not a terminal.\n"
           "Exit status: 0 done, 1 not done (no such account, already there, database failure), 2 bad command\n"
           "line, ID or password.\n";
}

int UsersCommand::run(UserDirectory& users, const PasswordReader& readPassword, std::ostream& out,
                      std::ostream& err) const {
    const std::string shown = std::string("'").append(LogText::fromCp932(id)) + "'";
    std::string password;
    if (needsPassword()) {
        std::string error;
        const auto typed = readPassword("New password for " + shown, error);
        if (!typed) {
            err << "vesmira-server users: " << error << "\n";
            return kUsage;
        }
        const auto bytes = Cp932Text::fromUtf8(*typed, error);
        if (!bytes) {
            err << "vesmira-server users: the password cannot be used: " << error << "\n";
            return kUsage;
        }
        if (const std::string problem = checkField("the password", *bytes, kMaxPasswordBytes); !problem.empty()) {
            err << "vesmira-server users: " << problem << "\n";
            return kUsage;
        }
        password = *bytes;
    }

    using Answer = UserDirectory::Answer;
    Answer answer = Answer::Unavailable;
    std::string done;
    std::string notDone;
    switch (verb) {
    case Verb::List: {
        const auto accounts = users.accounts();
        if (!accounts) {
            err << "vesmira-server users: the database could not be read\n";
            return kNotDone;
        }
        out << padded("STATE", 9) << padded("CREATED", 22) << padded("LAST SIGN-IN", 22) << "ID\n";
        for (const UserDirectory::Account& account : *accounts) {
            out << padded(stateName(account.state), 9) << padded(timeText(account.created), 22)
                << padded(account.lastSignIn ? timeText(*account.lastSignIn) : "never", 22)
                << LogText::fromCp932(account.id) << "\n";
        }
        return kDone;
    }
    case Verb::Add:
        answer = users.create(id, password);
        done = "added " + shown;
        notDone = shown + " is taken already";
        break;
    case Verb::Passwd:
        answer = users.setPassword(id, password);
        done = "password of " + shown + " changed";
        notDone = "there is no account " + shown;
        break;
    case Verb::Remove:
        answer = users.remove(id);
        done = "removed " + shown;
        notDone = "there is no account " + shown;
        break;
    case Verb::Lock:
    case Verb::Unlock:
        answer = users.setLocked(id, verb == Verb::Lock);
        done = (verb == Verb::Lock ? "locked " : "unlocked ") + shown;
        notDone = "there is no account " + shown;
        break;
    case Verb::Invite:
        answer = users.invite(id);
        done = "invited " + shown + ": it may register once";
        notDone = shown + " is taken already";
        break;
    }
    switch (answer) {
    case Answer::Yes:
        out << done << "\n";
        return kDone;
    case Answer::No:
        err << "vesmira-server users: " << notDone << "\n";
        return kNotDone;
    default:
        err << "vesmira-server users: the database failed; nothing was changed\n";
        return kNotDone;
    }
}

} // namespace vesmira
