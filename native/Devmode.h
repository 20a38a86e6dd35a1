// The job's device mode in the debug log.
#pragma once
#include "palwin.h"

// Writes the public fields of a device mode to the debug log, each only when
// dmSize covers it; only when logging is enabled.
void PrintDEVMODE(const DEVMODEW* pDevmode, DWORD dmSize, LPCWSTR pszLabel);
