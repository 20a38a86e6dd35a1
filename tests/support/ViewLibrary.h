// The simulated view library of native printing, as the product suites use
// it: the real one behind the port monitor, made unavailable or faulty on
// purpose.
#pragma once
#include "palwin.h"

namespace qltest {

// Arms a fault of the view library (QUILMON_VIEW_FAULT_*) for one printer,
// or for every printer when `printer` is null.
void SetViewFault(DWORD fault, LPCWSTR printer = nullptr);

// Available: no fault, and the next use starts the view library again.
// Unavailable: its start is made to fail (no function table).
void SetViewLibraryAvailable(bool available);

} // namespace qltest
