// Peak resident memory of a piece of work, for the benchmarks (Linux /proc).
#pragma once

#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace qlbench {

// A "Vm..." line of /proc/self/status in KiB, or -1.
inline long StatusKiB(const char* key) {
    std::ifstream in("/proc/self/status");
    const size_t len = std::strlen(key);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, len, key) == 0 && line.size() > len && line[len] == ':')
            return std::strtol(line.c_str() + len + 1, nullptr, 10);
    }
    return -1;
}

// Sets the resident high-water mark back to the current resident size, after
// handing freed heap memory back to the system so that a job's buffers count
// even when an earlier run left their pages resident.
inline bool ResetPeakRss() {
    malloc_trim(0);
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
    out.flush();
    return static_cast<bool>(out);
}

// Resident-set rise over one run of `work`; the peak of all runs is kept.
class PeakMeter {
public:
    // Runs `work`; false when /proc gave no figures (the work ran anyway
    // unless the reset failed).
    template <typename Work>
    bool Measure(Work&& work) {
        if (!ResetPeakRss()) return false;
        const long base = StatusKiB("VmRSS");
        work();
        const long peak = StatusKiB("VmHWM");
        if (base < 0 || peak < 0) return false;
        m_maxKiB = std::max(m_maxKiB, peak - base);
        return true;
    }
    double MiB() const { return static_cast<double>(m_maxKiB) / 1024.0; }

private:
    long m_maxKiB = 0;
};

} // namespace qlbench
