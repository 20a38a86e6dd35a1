// Process-wide binding of the native-printing view library.
//
// The binding is made once, by the first job that needs it, and is never
// retried after a failure: the spooler router "spoolss.dll" for its
// OpenPrinterW and ClosePrinter, and the port monitor library "quilmon.dll",
// whose InitializeAGNP export returns the table of the view functions.
#define QL_MODULE WSTR("qlview")
#include "native/ViewLibrary.h"

#include "diag/DbgLog.h"
#include "diag/EventLog.h"
#include "native/Devmode.h"
#include "port/QuilmonApi.h"
#include "printproc/Util.h"

#include <cstdint>
#include <cstring>
#include <iterator>
#include <mutex>

namespace {

constexpr LPCWSTR SPOOLSS_DLL = WSTR("spoolss.dll");
constexpr LPCWSTR PORT_MONITOR_CHANNEL = WSTR(",XcvMonitor Quillon Port");

struct ViewBinding {
    std::mutex lock;  // serialises the first calls of EnsureViewLibrary
    bool fStartTried = false;
    HMODULE hSpoolss = nullptr;
    HMODULE hQuilmon = nullptr;
    PFN_RouterOpenPrinterW pfnOpenPrinter = nullptr;
    PFN_RouterClosePrinter pfnClosePrinter = nullptr;
    ViewFunctions functions;
};

ViewBinding& Binding() {
    static ViewBinding binding;
    return binding;
}

void FreeBinding(ViewBinding& b) {
    if (b.hQuilmon) FreeLibrary(b.hQuilmon);
    if (b.hSpoolss) FreeLibrary(b.hSpoolss);
    b.hQuilmon = nullptr;
    b.hSpoolss = nullptr;
    b.pfnOpenPrinter = nullptr;
    b.pfnClosePrinter = nullptr;
    b.functions = ViewFunctions{};
}

// Pointers are logged as the numbers they are.
long LogPointer(const void* p) {
    return static_cast<long>(reinterpret_cast<intptr_t>(p));
}

// A failed step after a library was loaded: the libraries go, the report
// goes to the event log.
BOOL FailStart(ViewBinding& b, LPCWSTR pReport) {
    ReportEventToLog(QL_EVENT_SOURCE, pReport);
    FreeBinding(b);
    return FALSE;
}

HMODULE LoadViewModule(LPCWSTR pName) {
    HMODULE h = LoadLibraryW(pName);
    if (!h) {
        QLLOG(LOG_ERR, WSTR("LoadLibrary failed <%s> with <%d>"), pName, static_cast<int>(GetLastError()));
    } else {
        QLLOG(LOG_INF, WSTR("LoadLibrary ok <%s> "), pName);
    }
    return h;
}

BOOL StartViewLibrary(ViewBinding& b) {
    if (b.hSpoolss && b.hQuilmon) return TRUE;

    b.hSpoolss = LoadViewModule(SPOOLSS_DLL);
    if (!b.hSpoolss) {
        ReportEventToLog(QL_EVENT_SOURCE, WSTR("QLWinPrn: LoadLibrary failed: spoolss.dll."));
        return FALSE;
    }
    b.hQuilmon = LoadViewModule(QUILMON_DLL);
    if (!b.hQuilmon) return FailStart(b, WSTR("QLWinPrn: LoadLibrary failed: quilmon.dll."));

    b.pfnOpenPrinter = ProcAs<PFN_RouterOpenPrinterW>(GetProcAddress(b.hSpoolss, "OpenPrinterW"));
    b.pfnClosePrinter = ProcAs<PFN_RouterClosePrinter>(GetProcAddress(b.hSpoolss, "ClosePrinter"));
    if (!b.pfnOpenPrinter || !b.pfnClosePrinter) {
        QLLOG(LOG_ERR, WSTR("QLWinPrn: Wrong Version of spoolss.dll"));
        return FailStart(b, WSTR("QLWinPrn: Wrong Version of spoolss.dll"));
    }

    auto pfnInitialize = ProcAs<PFN_InitializeAGNP>(GetProcAddress(b.hQuilmon, "InitializeAGNP"));
    if (!pfnInitialize) {
        QLLOG(LOG_ERR, WSTR("Wrong Version of %s.(1)"), QUILMON_DLL);
        return FailStart(b, WSTR("QLWinPrn: Wrong Version of quilmon.dll(2)."));
    }
    const BYTE* pTable = static_cast<const BYTE*>(pfnInitialize());
    if (!pTable) {
        QLLOG(LOG_ERR, WSTR("QLWinPrn: Wrong Version of qlview.dll"));
        return FailStart(b, WSTR("QLWinPrn: Wrong Version of quilmon.dll(1)."));
    }

    // Only the slots that lie within the table's own size are read.
    DWORD cbSize = 0;
    std::memcpy(&cbSize, pTable, sizeof(cbSize));
    auto take = [&](size_t offset, auto& pfn) {
        if (cbSize < offset + sizeof(void*)) return;
        std::memcpy(&pfn, pTable + offset, sizeof(pfn));
        QLLOG(LOG_INF, WSTR("function ptr <%ld> "), LogPointer(reinterpret_cast<const void*>(pfn)));
    };
    ViewFunctions& f = b.functions;
    take(offsetof(AGNPINTERFACE, pfnOpenJob), f.pfnOpenJob);
    take(offsetof(AGNPINTERFACE, pfnWriteJob), f.pfnWriteJob);
    take(offsetof(AGNPINTERFACE, pfnCloseJob), f.pfnCloseJob);
    take(offsetof(AGNPINTERFACE, pfnGetLastError), f.pfnGetLastError);
    if (f.pfnOpenJob && f.pfnWriteJob && f.pfnCloseJob && f.pfnGetLastError) return TRUE;

    QLLOG(LOG_ERR, WSTR("Wrong Version of %s.(2)"), QUILMON_DLL);
    return FailStart(b, WSTR("QLWinPrn: Wrong Version of quilmon.dll(3)."));
}

// Available: "quilmon.dll" stays loaded after a successful start.
bool Available(const ViewBinding& b) {
    return b.hQuilmon != nullptr;
}

} // namespace

const ViewFunctions& GetViewFunctions() {
    return Binding().functions;
}

BOOL EnsureViewLibrary() {
    ViewBinding& b = Binding();
    std::lock_guard<std::mutex> guard(b.lock);
    if (!b.fStartTried) {
        b.fStartTried = true;
        StartViewLibrary(b);
    }
    return Available(b) ? TRUE : FALSE;
}

void ResetViewLibraryForTest() {
    ViewBinding& b = Binding();
    std::lock_guard<std::mutex> guard(b.lock);
    FreeBinding(b);
    b.fStartTried = false;
}

void BuildPortMonitorChannelName(LPCWSTR pServerPrefix, WCHAR (&szName)[256]) {
    constexpr size_t cchMax = 256;
    size_t n = 0;
    auto append = [&](LPCWSTR p) {
        for (; *p && n + 1 < cchMax; ++p) szName[n++] = *p;
        szName[n] = 0;
    };
    szName[0] = 0;
    if (pServerPrefix && pServerPrefix[0]) {
        if (pServerPrefix[0] != u'\\') append(WSTR("\\\\"));
        append(pServerPrefix);
        const size_t cchPrefix = wcslen(pServerPrefix);
        if (pServerPrefix[cchPrefix - 1] != u'\\') append(WSTR("\\"));
    }
    append(PORT_MONITOR_CHANNEL);
}

HANDLE OpenPortMonitorChannel(LPCWSTR pServerPrefix) {
    PFN_RouterOpenPrinterW pfnOpen = Binding().pfnOpenPrinter;
    if (!pfnOpen) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return nullptr;
    }
    WCHAR szName[256];
    BuildPortMonitorChannelName(pServerPrefix, szName);
    HANDLE hChannel = nullptr;
    if (!pfnOpen(szName, &hChannel, nullptr)) {
        QLLOG(LOG_ERR, WSTR("Quillon Port Monitor Open failed with %u"), GetLastError());
        return nullptr;
    }
    return hChannel;
}

BOOL ClosePortMonitorChannel(HANDLE hChannel) {
    PFN_RouterClosePrinter pfnClose = Binding().pfnClosePrinter;
    if (!pfnClose) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    return pfnClose(hChannel);
}

DWORD ViewOpenOptions(const DEVMODEW* pDevMode) {
    DWORD dwOptions = QLVIEW_OPEN_BASE;
    const PRIVATEDEVMODE* pPrivate = pDevMode ? FindPrivateDevmode(pDevMode) : nullptr;
    if (!pPrivate) return dwOptions;
    DWORD dwFlags = 0;
    std::memcpy(&dwFlags, reinterpret_cast<const BYTE*>(pPrivate) + offsetof(PRIVATEDEVMODE, dwFlags),
                sizeof(dwFlags));
    if (dwFlags & QL_DONT_RESIZE) {
        QLLOG(LOG_INF, WSTR("QLVIEW_DONTRESIZE"));
        dwOptions |= QLVIEW_DONTRESIZE;
    }
    if (dwFlags & QL_DONT_MOVE) {
        QLLOG(LOG_INF, WSTR("QLVIEW_DONTMOVE"));
        dwOptions |= QLVIEW_DONTMOVE;
    }
    return dwOptions;
}

BOOL AGNPPrinterAllowed(LPCWSTR pPrinterName, LPCWSTR pTargetPrinter) {
    QLLOG(LOG_INF, WSTR("AGNPPrinterAllowed..."));
    if (!pPrinterName || !pTargetPrinter) return FALSE;

    // A target without a server prefix is a printer of this machine.
    if (!(pTargetPrinter[0] == u'\\' && pTargetPrinter[1] == u'\\')) {
        QLLOG(LOG_INF, WSTR("Destination ok."));
        return TRUE;
    }
    QLLOG(LOG_INF, WSTR("Comparing %s and %s..."), pPrinterName, pTargetPrinter);

    // The server part of a name is everything before its last backslash; the
    // printer name has one only when it begins with two backslashes.
    auto serverPart = [](LPCWSTR pName, bool fNeedPrefix, WCHAR (&szOut)[MAX_PATH]) {
        szOut[0] = 0;
        if (fNeedPrefix && !(pName[0] == u'\\' && pName[1] == u'\\')) return;
        LPCWSTR pLast = wcsrchr(pName, u'\\');
        if (!pLast) return;
        size_t cch = static_cast<size_t>(pLast - pName);
        if (cch >= MAX_PATH) cch = MAX_PATH - 1;
        for (size_t i = 0; i < cch; ++i) szOut[i] = pName[i];
        szOut[cch] = 0;
    };
    WCHAR szPrinterServer[MAX_PATH];
    WCHAR szTargetServer[MAX_PATH];
    serverPart(pPrinterName, true, szPrinterServer);
    serverPart(pTargetPrinter, false, szTargetServer);

    BOOL fAllowed = TRUE;
    if (wcschr(pPrinterName, u'\\')) {
        QLLOG(LOG_INF, WSTR("Comparing %s and %s..."), szPrinterServer, szTargetServer);
        if (_wcsicmp(szPrinterServer, szTargetServer) == 0) {
            QLLOG(LOG_INF, WSTR("Server names are equal."));
        } else {
            QLLOG(LOG_INF, WSTR("Server names are not equal."));
            fAllowed = FALSE;
        }
    }
    QLLOG(LOG_INF, WSTR("AGNPPrinterAllowed...Exit"));
    return fAllowed;
}

BOOL QLViewDLL_QLEMFOpenJob(PPRINTPROCESSORDATA pData, LPCWSTR pAGNPPrinter,
                            const WCHAR (*pVirtualCopies)[VIRTUAL_COPY_NAME_CCH], LPDEVMODEW pDevMode) {
    QLLOG(LOG_INF, WSTR("QLViewDLL_QLEMFOpenJob(!!!)"));
    if (!pData || !pAGNPPrinter) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const ViewFunctions& view = GetViewFunctions();
    if (!EnsureViewLibrary()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }

    // The server prefix: the AGNP printer's name up to and including its last
    // backslash, empty for a printer of this machine.
    WCHAR szPrefix[256];
    size_t cch = 0;
    for (; pAGNPPrinter[cch] && cch + 1 < std::size(szPrefix); ++cch) szPrefix[cch] = pAGNPPrinter[cch];
    szPrefix[cch] = 0;
    WCHAR* pLast = wcsrchr(szPrefix, u'\\');
    if (pLast) {
        pLast[1] = 0;
    } else {
        szPrefix[0] = 0;
    }

    if (pData->hNativeJob) ClosePortMonitorChannel(pData->hNativeJob);
    pData->hNativeJob = OpenPortMonitorChannel(szPrefix);
    if (!pData->hNativeJob) return FALSE;

    AGNPOPENJOBPARAMS params = {};
    params.dwVersion = AGNP_OPENJOB_VERSION;
    params.pDestination = pAGNPPrinter;
    params.pDocumentName = pData->pDocumentName;
    params.pUserText = pData->pExtendedUserName;
    params.pDevMode = pDevMode;

    if (g_dwDebugLevel) {
        const PRIVATEDEVMODE* pPrivate = pDevMode ? FindPrivateDevmode(pDevMode) : nullptr;
        if (pDevMode) PrintDEVMODE(pDevMode, pDevMode->dmSize, WSTR("R-Stage"));
        QLLOG(LOG_INF, WSTR("PRIVATEDEVMODE *pdmPrivate = %x"),
              static_cast<DWORD>(reinterpret_cast<uintptr_t>(pPrivate)));
        QLLOG(LOG_INF, WSTR("Duplex is %d"), pDevMode ? static_cast<int>(pDevMode->dmDuplex) : -1);
    }
    const DWORD dwOptions = ViewOpenOptions(pDevMode);

    pData->hViewJob = view.pfnOpenJob(pData->hJobReader, pData->dwJobId, dwOptions, &params);
    if (!pData->hViewJob) {
        const DWORD dwError = GetLastError();
        QLLOG(LOG_INF, WSTR("QLEMFOpenJob '%s', returns with error: %d,%d"), pAGNPPrinter, view.pfnGetLastError(),
              dwError);
        SetLastError(dwError);
        return FALSE;
    }

    for (DWORD i = 0; pVirtualCopies && i < VIRTUAL_COPY_JOBS; ++i) {
        LPCWSTR pName = pVirtualCopies[i];
        if (!pName[0]) continue;
        if (!AGNPPrinterAllowed(pData->pPrinterName, pName)) {
            QLLOG(LOG_INF, WSTR("AGNPPrinterAllowed VirtCopy[%d]='%s' not allowed"), i, pName);
            continue;
        }
        params.pDestination = pName;
        pData->ahVirtualCopyJobs[i] = view.pfnOpenJob(pData->hJobReader, pData->dwJobId, dwOptions, &params);
        if (!pData->ahVirtualCopyJobs[i]) {
            const DWORD dwError = GetLastError();
            QLLOG(LOG_INF, WSTR("QLEMFOpenJob VirtCopy[%d]='%s', returns with error: %d,%d"), i, pName,
                  view.pfnGetLastError(), dwError);
        }
    }
    return TRUE;
}
