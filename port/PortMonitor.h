// The product's port monitor library "quilmon.dll" as the print processor
// sees it: loaded at process attach, with two optional exports that the
// gateway job driver calls. A missing library or export leaves the pointer
// null; callers test it and then simply report nothing.
#pragma once
#include "palwin.h"
#include "port/QuilmonApi.h"

extern HMODULE g_hQuilmon;
extern PFN_IncrementPageCount g_pfnIncrementPageCount;
extern PFN_SetPrintCopyCount g_pfnSetPrintCopyCount;

// Process attach: loads the library by name and looks up the two exports.
void LoadPortMonitorLibrary();
// Process detach: unloads the library and clears the three pointers.
void FreePortMonitorLibrary();

// The statistics export UpdateQLWinPrnStatisticsW, taken only when
// "quilmon.dll" is already loaded in the process (it is never loaded for this
// purpose); null otherwise.
PFN_UpdateQLWinPrnStatisticsW GetStatisticsEntryPoint();
