// Fault injection of the simulated spooler (internal). Every spooler entry
// point asks Check once per call; tests arm faults through palhost.h.
#pragma once
#include "pal/types.h"

#include <cstdint>

namespace pal::faults {

struct Decision {
    bool fail = false;     // the call fails with `error`
    DWORD error = 0;
    bool limited = false;  // a transfer moves at most `limit` bytes
    uint64_t limit = 0;
};

// For a call without a byte transfer.
Decision Check(const char* call);
// For ReadPrinter/WritePrinter: `position` is the running byte count of the
// handle or document before this call, `requested` the bytes offered.
Decision CheckTransfer(const char* call, uint64_t position, uint64_t requested);

void Clear();

// The replacement operator new (faults_new.cpp, linked into executables that
// sweep allocations) asks this for every allocation: true when the one made
// from code at `caller` is the armed Nth allocation of the watched module.
bool FailCxxAllocation(const void* caller);

} // namespace pal::faults
