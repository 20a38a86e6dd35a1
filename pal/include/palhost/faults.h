// Fault injection for the host and the tests: spooler, memory, CryptoAPI and
// C run-time calls that fail on purpose, call counts and C++ allocation
// failures.
#pragma once
#include "palwin.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace pal::host {

// ---- fault injection ----------------------------------------------------------------------
// Makes a spooler call misbehave. `call` is the Win32 name ("WritePrinter",
// "ReadPrinter", "OpenPrinterW", "StartDocPrinterW", "EndDocPrinter",
// "GetPrinterW", "GetJobW", "XcvDataW", "DocumentPropertiesW", "CreateDCW",
// ...). Faults of one call fire in the order they were injected.
struct Fault {
    std::string call;
    // Trigger: the fault fires once `afterCalls` calls of that name have passed
    // it, and — when atByte is set, for WritePrinter / ReadPrinter only — on
    // the call whose bytes reach byte `atByte` of the document or job (or lie
    // beyond it).
    uint64_t afterCalls = 0;
    std::optional<uint64_t> atByte;
    // Effect: fail with `error`, or (shortCount) succeed with fewer bytes.
    // Either way the bytes before atByte are still transferred and counted;
    // past atByte a short count takes half of what was offered.
    DWORD error = ERROR_GEN_FAILURE;
    bool shortCount = false;
    // Fire once, or on every call after the trigger.
    bool once = false;
};
void InjectFault(const Fault& fault);
void ClearFaults();
// Besides the spooler calls, these names can be armed: "GlobalAlloc" (every
// MemAlloc of the product), the CryptoAPI calls ("CryptAcquireContextW",
// "CryptCreateHash", "CryptHashData", "CryptGetHashParam", ...), and the
// binary C run-time streams of _wfopen (the temporary spool files): "_wfopen"
// (the open), "fwrite" and "fread" (each transfer between a writable stream's
// buffer and its file: a flush, a refill, or a transfer too large for the
// buffer).
// While counting is on, every call that consults the fault table is counted
// by name, armed or not (CountFaultCalls resets the counts).
void CountFaultCalls(bool on);
std::map<std::string, uint64_t> FaultCallCounts();
// Fails the Nth (1-based) C++ allocation (operator new) made by code of the
// loaded module whose path contains `module` (empty: the executable) with
// std::bad_alloc; n = 0
// disarms, n = UINT64_MAX only counts. Needs the executable to link
// `qlpal_newfault`, the replacement operator new. False when no such module
// is loaded.
bool FailCxxAllocation(const std::string& module, uint64_t n);
// The module's allocations counted since FailCxxAllocation armed the knob.
uint64_t CxxAllocationCount();

} // namespace pal::host
