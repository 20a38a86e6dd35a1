// The simulated native-printing view library inside the port monitor: the
// table InitializeAGNP returns, and the faults tests make it show.
#pragma once
#include "palwin.h"

// The function table (null, or a short one, when a fault says so).
void* ViewLibraryTable();
// QUILMON_VIEW_FAULT_* for pPrinter (null: every printer).
void SetViewLibraryFault(DWORD dwFault, LPCWSTR pPrinter);

// Records one call for QuilmonTakeCalls (Quilmon.cpp).
void RecordQuilmonCall(DWORD function, LPCWSTR arg1, LPCWSTR arg2, DWORD value);
