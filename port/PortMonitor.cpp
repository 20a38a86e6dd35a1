// The lines logged here belong to the process attach of the print processor.
#define QL_MODULE WSTR("Winprint")
#include "port/PortMonitor.h"

#include "diag/DbgLog.h"
#include "printproc/Util.h"

HMODULE g_hQuilmon = nullptr;
PFN_IncrementPageCount g_pfnIncrementPageCount = nullptr;
PFN_SetPrintCopyCount g_pfnSetPrintCopyCount = nullptr;

// Handles and pointers are logged as their low 32 bits, as the %d lines show them.
static int LogValue(const void* p) {
    return static_cast<int>(reinterpret_cast<INT_PTR>(p));
}

void LoadPortMonitorLibrary() {
    g_hQuilmon = LoadLibraryW(QUILMON_DLL);
    QLLOG(LOG_INF, WSTR("LoadLibrary %s = %d"), QUILMON_DLL, LogValue(g_hQuilmon));
    if (!g_hQuilmon) return;

    g_pfnIncrementPageCount = ProcAs<PFN_IncrementPageCount>(GetProcAddress(g_hQuilmon, "IncrementPageCount"));
    QLLOG(LOG_INF, WSTR("Entrypoint IncrementPageCount = %d"),
          LogValue(reinterpret_cast<const void*>(g_pfnIncrementPageCount)));
    g_pfnSetPrintCopyCount = ProcAs<PFN_SetPrintCopyCount>(GetProcAddress(g_hQuilmon, "SetPrintCopyCount"));
    QLLOG(LOG_INF, WSTR("Entrypoint SetPrintCopyCount = %d"),
          LogValue(reinterpret_cast<const void*>(g_pfnSetPrintCopyCount)));
}

void FreePortMonitorLibrary() {
    if (g_hQuilmon) FreeLibrary(g_hQuilmon);
    g_hQuilmon = nullptr;
    g_pfnIncrementPageCount = nullptr;
    g_pfnSetPrintCopyCount = nullptr;
}

PFN_UpdateQLWinPrnStatisticsW GetStatisticsEntryPoint() {
    HMODULE hModule = GetModuleHandleW(QUILMON_DLL);
    if (!hModule) return nullptr;
    return ProcAs<PFN_UpdateQLWinPrnStatisticsW>(GetProcAddress(hModule, "UpdateQLWinPrnStatisticsW"));
}
