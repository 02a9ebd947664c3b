#pragma once

#include <string_view>

namespace vesmira {

// What sign-in needs from the account store; IDs and passwords are raw CP932 bytes.
class UserDirectory {
public:
    virtual ~UserDirectory() = default;

    virtual bool contains(std::string_view id) = 0;
    // False when the ID is taken (another connection may have registered it since it was checked) or on failure.
    virtual bool add(std::string_view id, std::string_view password) = 0;
    virtual bool checkPassword(std::string_view id, std::string_view password) = 0;
};

} // namespace vesmira
