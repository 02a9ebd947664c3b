#pragma once

#include <string_view>

namespace vesmira::load {

// What /proc says about the server process and the kernel's TCP memory.
// A field of /proc/<pid>/status in KiB ("VmRSS:", "VmHWM:"); 0 when unreadable.
long statusKiB(int pid, std::string_view field);
// User plus system CPU time of the whole process (all its threads), in seconds; 0 when unreadable.
double cpuSeconds(int pid);
// Memory of every TCP socket buffer on this host ("TCP: ... mem N" in /proc/net/sockstat, pages), in KiB.
long tcpBufferKiB();

// Samples one process: the peaks of its RSS and of the host's TCP buffer memory since reset().
class ServerProbe {
public:
    explicit ServerProbe(int pid) : m_pid(pid) {}

    bool enabled() const { return m_pid > 0; }
    // False once the process is gone.
    bool sample();
    void reset();

    long rssKiB() const { return m_rssKiB; }
    long peakRssKiB() const { return m_peakRssKiB; }
    long tcpKiB() const { return m_tcpKiB; }
    long peakTcpKiB() const { return m_peakTcpKiB; }
    // The largest sum of the two seen in one sample.
    long peakTotalKiB() const { return m_peakTotalKiB; }
    double cpu() const { return cpuSeconds(m_pid); }
    long hwmKiB() const { return statusKiB(m_pid, "VmHWM:"); }

private:
    int m_pid;
    long m_rssKiB = 0;
    long m_peakRssKiB = 0;
    long m_tcpKiB = 0;
    long m_peakTcpKiB = 0;
    long m_peakTotalKiB = 0;
};

} // namespace vesmira::load
