// Scriptable misbehaviour of the simulated spooler: a test arms a fault for a
// call name, and the call fails (or transfers fewer bytes) once its trigger
// is reached. Thread-safe; faults fire in the order they were armed.
#include "faults.h"

#include "palhost.h"

#include <algorithm>
#include <memory>
#include <mutex>
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
};

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

} // namespace pal::faults

namespace pal::host {

void InjectFault(const Fault& fault) {
    auto& s = pal::faults::state();
    std::lock_guard<std::mutex> g(s.lock);
    s.faults.push_back(pal::faults::Armed{fault, 0});
}

void ClearFaults() { pal::faults::Clear(); }

} // namespace pal::host
