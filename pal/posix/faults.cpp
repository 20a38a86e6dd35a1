// Scriptable misbehaviour of the simulated spooler: a test arms a fault for a
// call name, and the call fails (or transfers fewer bytes) once its trigger
// is reached. Thread-safe; faults fire in the order they were armed.
#include "faults.h"

#include "palhost.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <link.h>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace pal::faults {
namespace {

struct Armed {
    pal::host::Fault fault;
    uint64_t callsSeen = 0; // calls of this name that passed this fault
};

struct State {
    std::mutex lock;
    std::vector<Armed> faults;
    bool counting = false;
    std::map<std::string, uint64_t> counts;  // calls per name while counting
};

// The C++ allocation knob: lock-free, since operator new asks it.
struct CxxAllocationKnob {
    std::atomic<bool> armed{false};
    std::atomic<uintptr_t> lo{0}, hi{0};  // executable code of the watched module
    std::atomic<uint64_t> failAt{0};      // 1-based; the count that fails
    std::atomic<uint64_t> seen{0};
};
CxxAllocationKnob g_cxx;

State& state() {
    static State* s = std::make_unique<State>().release(); // used until the process ends
    return *s;
}

// Shared by both checks. For a transfer, a byte fault triggers on the call
// whose range reaches byte atByte (or lies beyond it). Bytes before atByte
// still pass: as a short count (shortCount) or followed by the failure.
Decision Evaluate(const char* call, bool transfer, uint64_t position, uint64_t requested) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    Decision d;
    if (s.counting) ++s.counts[call];
    bool fired = false;
    for (auto it = s.faults.begin(); it != s.faults.end();) {
        const pal::host::Fault& f = it->fault;
        if (f.call != call) {
            ++it;
            continue;
        }
        bool reached = !fired && it->callsSeen >= f.afterCalls;
        if (reached && f.atByte) reached = transfer && position + std::max<uint64_t>(requested, 1) > *f.atByte;
        if (!reached) {
            ++it->callsSeen;
            ++it;
            continue;
        }
        fired = true;
        if (!transfer) {
            d.fail = true;
            d.error = f.error;
        } else if (f.atByte && position < *f.atByte) {
            d.limited = true;
            d.limit = *f.atByte - position;
            d.fail = !f.shortCount;
            d.error = f.error;
        } else if (f.shortCount) {
            d.limited = true;
            d.limit = requested / 2;
        } else {
            d.fail = true;
            d.error = f.error;
            d.limited = true;
            d.limit = 0;
        }
        if (f.once) {
            it = s.faults.erase(it);
        } else {
            ++it->callsSeen;
            ++it;
        }
    }
    return d;
}

} // namespace

Decision Check(const char* call) { return Evaluate(call, false, 0, 0); }

Decision CheckTransfer(const char* call, uint64_t position, uint64_t requested) {
    return Evaluate(call, true, position, requested);
}

void Clear() {
    State& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    s.faults.clear();
}

bool FailCxxAllocation(const void* caller) {
    if (!g_cxx.armed.load(std::memory_order_acquire)) return false;
    const auto at = reinterpret_cast<uintptr_t>(caller);
    if (at < g_cxx.lo.load(std::memory_order_relaxed) || at >= g_cxx.hi.load(std::memory_order_relaxed)) return false;
    return g_cxx.seen.fetch_add(1, std::memory_order_relaxed) + 1 == g_cxx.failAt.load(std::memory_order_relaxed);
}

} // namespace pal::faults

namespace pal::host {

void InjectFault(const Fault& fault) {
    auto& s = pal::faults::state();
    std::lock_guard<std::mutex> g(s.lock);
    s.faults.push_back(pal::faults::Armed{fault, 0});
}

void ClearFaults() { pal::faults::Clear(); }

void CountFaultCalls(bool on) {
    auto& s = pal::faults::state();
    std::lock_guard<std::mutex> g(s.lock);
    s.counting = on;
    s.counts.clear();
}

std::map<std::string, uint64_t> FaultCallCounts() {
    auto& s = pal::faults::state();
    std::lock_guard<std::mutex> g(s.lock);
    return s.counts;
}

bool FailCxxAllocation(const std::string& module, uint64_t n) {
    auto& k = pal::faults::g_cxx;
    k.armed.store(false, std::memory_order_release);
    if (n == 0) return true;
    // The executable segments of the first loaded object whose path names
    // the module.
    // An empty name means the executable, which the loader lists first.
    struct Search {
        const std::string* module;
        bool first = true;
        uintptr_t lo = 0, hi = 0;
    } search{&module};
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* p) {
            auto* s = static_cast<Search*>(p);
            const bool first = s->first;
            s->first = false;
            if (s->module->empty() ? !first : !info->dlpi_name || !std::strstr(info->dlpi_name, s->module->c_str())) {
                return 0;
            }
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& ph = info->dlpi_phdr[i];
                if (ph.p_type != PT_LOAD || !(ph.p_flags & PF_X)) continue;
                const uintptr_t lo = info->dlpi_addr + ph.p_vaddr;
                if (!s->lo || lo < s->lo) s->lo = lo;
                s->hi = std::max<uintptr_t>(s->hi, lo + ph.p_memsz);
            }
            return 1;
        },
        &search);
    if (!search.lo) return false;
    k.lo.store(search.lo, std::memory_order_relaxed);
    k.hi.store(search.hi, std::memory_order_relaxed);
    k.failAt.store(n, std::memory_order_relaxed);
    k.seen.store(0, std::memory_order_relaxed);
    k.armed.store(true, std::memory_order_release);
    return true;
}

uint64_t CxxAllocationCount() { return pal::faults::g_cxx.seen.load(std::memory_order_relaxed); }

} // namespace pal::host
