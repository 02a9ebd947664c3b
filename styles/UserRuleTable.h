#pragma once

#include "platform/base/CString.h"

#include <array>
#include <vector>

// The user's own replacement rules: `count` rules in slots 0 to count - 1, applied in slot order.
struct UserRuleTable {
    static constexpr int kCapacity = 50;

    int count = 0;
    std::array<CString, kCapacity> replaced;
    std::array<CString, kCapacity> replacements;
    // Lines of the file after the last rule a table holds (a file edited by hand): never applied, but written back
    // after the rules so that editing them loses nothing.
    std::vector<CString> linesBeyond;
};
