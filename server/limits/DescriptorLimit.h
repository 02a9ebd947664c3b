#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vesmira {

// The process's limit of open files, which bounds how many connections it can hold.
struct DescriptorLimit {
    // Descriptors kept back from connections: the listener, the log, the database and its journal, the event loop.
    static constexpr std::uint64_t kReserve = 64;

    std::uint64_t soft = 0; // the limit in force after raise()
    std::uint64_t hard = 0;
    std::string warning; // why the soft limit could not be raised, or empty

    // Raises the soft limit to the hard one (at most the kernel's ceiling, as "unlimited" cannot be set).
    static DescriptorLimit raise();
    // How many connections `descriptors` open files hold after the reserve; at least 1.
    static std::size_t connectionsFor(std::uint64_t descriptors);
};

} // namespace vesmira
