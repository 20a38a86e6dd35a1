// Process-wide binding of the native-printing view library.
//
// The binding is made once, by the first job that needs it, and is never
// retried after a failure. Binding the real library - loading the spooler
// router and "quilmon.dll", calling its InitializeAGNP export and taking the
// functions of the table it returns - is not done yet: until it is, the start
// fails quietly and native printing is unavailable unless a test has installed
// its own functions through SetViewFunctionsForTest.
#define QL_MODULE WSTR("qlview")
#include "native/ViewLibrary.h"

#include "diag/DbgLog.h"
#include "native/Devmode.h"

#include <cstdint>
#include <cstring>
#include <mutex>

namespace {

struct ViewBinding {
    std::mutex lock;        // serialises concurrent first calls of EnsureViewLibrary
    bool fStartTried = false;
    bool fAvailable = false;
    ViewFunctions functions;
};

ViewBinding& Binding() {
    static ViewBinding binding;
    return binding;
}

// Binds the view library. The real start through the port monitor library's
// InitializeAGNP comes with later work; for now there is nothing to bind.
BOOL StartViewLibrary(ViewBinding& binding) {
    binding.functions = ViewFunctions{};
    return FALSE;
}

} // namespace

const ViewFunctions& GetViewFunctions() {
    return Binding().functions;
}

BOOL EnsureViewLibrary() {
    ViewBinding& binding = Binding();
    std::lock_guard<std::mutex> guard(binding.lock);
    if (!binding.fStartTried) {
        binding.fStartTried = true;
        binding.fAvailable = StartViewLibrary(binding) != FALSE;
    }
    return binding.fAvailable ? TRUE : FALSE;
}

void SetViewFunctionsForTest(const ViewFunctions* pFunctions) {
    ViewBinding& binding = Binding();
    std::lock_guard<std::mutex> guard(binding.lock);
    if (pFunctions) {
        binding.functions = *pFunctions;
        binding.fStartTried = true;
        binding.fAvailable = true;
    } else {
        binding.functions = ViewFunctions{};
        binding.fStartTried = false;
        binding.fAvailable = false;
    }
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
    // Until the view library is bound through the port monitor library, only
    // functions a test installed can take native jobs.
    const ViewFunctions& view = GetViewFunctions();
    if (!EnsureViewLibrary() || !view.pfnOpenJob) {
        QLLOG(LOG_ERR, WSTR("QLViewDLL_QLEMFOpenJob: view library not available"));
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    // The port monitor configuration channel held open while native jobs run
    // comes with the binding of the spooler router.

    AGNPOPENJOBPARAMS params = {};
    params.dwVersion = AGNP_OPENJOB_VERSION;
    params.pDestination = pAGNPPrinter;
    params.pDocumentName = pData->pDocumentName;
    params.pUserText = pData->pExtendedUserName;
    params.pDevMode = pDevMode;

    const PRIVATEDEVMODE* pPrivate = pDevMode ? FindPrivateDevmode(pDevMode) : nullptr;
    if (g_dwDebugLevel) {
        if (pDevMode) PrintDEVMODE(pDevMode, pDevMode->dmSize, WSTR("R-Stage"));
        QLLOG(LOG_INF, WSTR("PRIVATEDEVMODE *pdmPrivate = %x"),
              static_cast<DWORD>(reinterpret_cast<uintptr_t>(pPrivate)));
        QLLOG(LOG_INF, WSTR("Duplex is %d"), pDevMode ? static_cast<int>(pDevMode->dmDuplex) : -1);
    }

    DWORD dwOptions = QLVIEW_OPEN_BASE;
    if (pPrivate) {
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
    }

    auto viewError = [&view]() -> DWORD { return view.pfnGetLastError ? view.pfnGetLastError() : 0; };
    pData->hViewJob = view.pfnOpenJob(pData->hJobReader, pData->dwJobId, dwOptions, &params);
    if (!pData->hViewJob) {
        const DWORD dwError = GetLastError();
        QLLOG(LOG_INF, WSTR("QLEMFOpenJob '%s', returns with error: %d,%d"), pAGNPPrinter, viewError(), dwError);
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
            QLLOG(LOG_INF, WSTR("QLEMFOpenJob VirtCopy[%d]='%s', returns with error: %d,%d"), i, pName, viewError(),
                  dwError);
        }
    }
    return TRUE;
}
