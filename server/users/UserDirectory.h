#pragma once

#include <string_view>

namespace vesmira {

// What sign-in needs from the account store; IDs and passwords are raw CP932 bytes. Calls block (database calls,
// password hashing): the server makes them on its worker pool, from several threads at once.
class UserDirectory {
public:
    // Unavailable: the store could not be asked (its database is down or failing). The step waiting for the
    // answer is refused, whatever it was.
    enum class Answer { No, Yes, Unavailable };

    virtual ~UserDirectory() = default;

    virtual Answer contains(std::string_view id) = 0;
    // The ID step of a registration: Yes when the ID is free and now held for `holder` (one connection, named
    // uniquely across every server sharing the store) until add() or release(), so that of two connections
    // registering one ID at once only one passes this step. A store that cannot hold IDs for anyone answers
    // from contains() alone; add() still lets only one of them register.
    virtual Answer reserve(std::string_view id, std::string_view /*holder*/) {
        const Answer taken = contains(id);
        return taken == Answer::Unavailable ? taken : taken == Answer::Yes ? Answer::No : Answer::Yes;
    }
    // Gives up what reserve() held for `holder`; nothing when it holds nothing.
    virtual void release(std::string_view /*id*/, std::string_view /*holder*/) {}
    // No when the ID is taken (or held for another connection); it then stays as it was.
    virtual Answer add(std::string_view id, std::string_view password, std::string_view holder) = 0;
    virtual Answer checkPassword(std::string_view id, std::string_view password) = 0;

    static Answer answer(bool yes) { return yes ? Answer::Yes : Answer::No; }
};

} // namespace vesmira
