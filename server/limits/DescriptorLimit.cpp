#include "server/limits/DescriptorLimit.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sys/resource.h>

namespace vesmira {

namespace {

// fs.nr_open: no process may have more open files, whatever its hard limit says.
std::uint64_t kernelCeiling() {
    std::ifstream file("/proc/sys/fs/nr_open");
    std::uint64_t value = 0;
    if (file >> value && value > 0) {
        return value;
    }
    return std::uint64_t{1} << 20; // the kernel's default
}

} // namespace

DescriptorLimit DescriptorLimit::raise() {
    DescriptorLimit result;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        result.warning = std::string("cannot read the open-file limit: ") + std::strerror(errno);
        result.soft = result.hard = 1024;
        return result;
    }
    const auto asNumber = [](rlim_t value) {
        return value == RLIM_INFINITY ? UINT64_MAX : static_cast<std::uint64_t>(value);
    };
    result.hard = asNumber(limit.rlim_max);
    result.soft = asNumber(limit.rlim_cur);
    const std::uint64_t wanted = std::min(result.hard, kernelCeiling());
    if (result.soft < wanted) {
        rlimit raised = limit;
        raised.rlim_cur = static_cast<rlim_t>(wanted);
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            result.soft = wanted;
        } else {
            result.warning = "cannot raise the open-file limit from " + std::to_string(result.soft) + " to " +
                             std::to_string(wanted) + ": " + std::strerror(errno);
        }
    }
    return result;
}

std::size_t DescriptorLimit::connectionsFor(std::uint64_t descriptors) {
    if (descriptors <= kReserve) {
        return 1;
    }
    return static_cast<std::size_t>(std::min<std::uint64_t>(descriptors - kReserve, SIZE_MAX));
}

} // namespace vesmira
