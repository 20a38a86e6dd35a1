// The clock the debug log measures its buffered-mode flush interval with:
// milliseconds of a monotonic process clock. Tests replace it to move time
// forward without waiting.
#pragma once
#include "palwin.h"

using PFN_DBGCLOCK = LONGLONG (*)();

// Current time of the log's clock in milliseconds.
LONGLONG DbgClockNow();
// Replaces the clock; nullptr restores the default.
void DbgSetClock(PFN_DBGCLOCK pfnClock);
