#include "Probe.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <signal.h>
#include <sstream>
#include <string>
#include <unistd.h>

namespace vesmira::load {

long statusKiB(int pid, std::string_view field) {
    if (pid <= 0) {
        return 0;
    }
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with(field)) {
            return std::strtol(line.c_str() + field.size(), nullptr, 10);
        }
    }
    return 0;
}

double cpuSeconds(int pid) {
    if (pid <= 0) {
        return 0;
    }
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The command name may hold spaces: fields are counted from after its closing parenthesis (field 2).
    const auto close = stat.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14 || number == 15) { // utime, stime
            ticks += std::strtod(field.c_str(), nullptr);
        }
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long tcpBufferKiB() {
    std::ifstream file("/proc/net/sockstat");
    std::string line;
    while (std::getline(file, line)) {
        if (line.starts_with("TCP:")) {
            const auto mem = line.find(" mem ");
            if (mem != std::string::npos) {
                return std::strtol(line.c_str() + mem + 5, nullptr, 10) * (sysconf(_SC_PAGESIZE) / 1024);
            }
        }
    }
    return 0;
}

bool ServerProbe::sample() {
    if (m_pid <= 0) {
        return true;
    }
    if (::kill(m_pid, 0) != 0) {
        return false;
    }
    m_rssKiB = statusKiB(m_pid, "VmRSS:");
    m_tcpKiB = tcpBufferKiB();
    m_peakRssKiB = std::max(m_peakRssKiB, m_rssKiB);
    m_peakTcpKiB = std::max(m_peakTcpKiB, m_tcpKiB);
    m_peakTotalKiB = std::max(m_peakTotalKiB, m_rssKiB + m_tcpKiB);
    return true;
}

void ServerProbe::reset() {
    m_peakRssKiB = m_peakTcpKiB = m_peakTotalKiB = 0;
    sample();
}

} // namespace vesmira::load
