#pragma once

#include <iostream>
#include <string>
#include <vector>

namespace vesmira::load {

// The checks a run failed: all counted, the first twenty kept for the report.
class Failures {
public:
    void add(const std::string& message) {
        ++m_count;
        if (m_lines.size() < 20) {
            m_lines.push_back(message);
            std::cerr << "FAIL: " << message << std::endl;
        }
    }
    int count() const { return m_count; }
    // The verdict: the failed checks, or that all passed.
    void report(std::ostream& out) const {
        if (m_count == 0) {
            out << "all checks passed\n";
            return;
        }
        out << "FAILED: " << m_count << " check(s)\n";
        for (const std::string& line : m_lines) {
            out << "  " << line << "\n";
        }
    }

private:
    int m_count = 0;
    std::vector<std::string> m_lines;
};

} // namespace vesmira::load
