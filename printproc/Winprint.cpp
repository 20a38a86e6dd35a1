// The print processor's outer shell: process attach and detach, the exported
// entry points, the per-job handle and its lifetime.
#define QL_MODULE WSTR("Winprint")
#include "printproc/Winprint.h"

#include "diag/DbgLog.h"
#include "emz/NPDecompress.h"
#include "native/Devmode.h"
#include "native/ViewLibrary.h"
#include "port/GetClusterSpoolDirs.h"
#include "port/Impersonate.h"
#include "port/PortMonitor.h"
#include "printproc/FontList.h"
#include "printproc/JobContainers.h"
#include "printproc/Util.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <new>

// ---- process-wide state ----------------------------------------------------------------

#define QLWINPRN_KEY WSTR("SOFTWARE\\Quillon\\QLWinPrn")

WORD* g_pForms = nullptr;
DWORD g_cForms = 0;

// Host name read at attach (up to 256 bytes).
static char g_szHostName[256];

const LPCWSTR Datatypes[DATATYPE_COUNT + 1] = {
    WSTR("RAW"),          WSTR("RAW [FF appended]"), WSTR("RAW [FF auto]"),
    WSTR("NT EMF 1.003"), WSTR("TEXT"),              WSTR("NT EMF 1.006"),
    WSTR("NT EMF 1.007"), WSTR("NT EMF 1.008"),      WSTR("QL EMZ 1.0"),
    nullptr,
};

// Datatype indices with a meaning of their own.
constexpr DWORD DT_RAW = 0;
constexpr DWORD DT_RAW_FF_APPENDED = 1;
constexpr DWORD DT_RAW_FF_AUTO = 2;
constexpr DWORD DT_EMF_1003 = 3;
constexpr DWORD DT_TEXT = 4;
constexpr DWORD DT_EMF_1008 = 7;
constexpr DWORD DT_QL_EMZ = 8;

DWORD GetDatatypeIndex(LPCWSTR pDatatype) {
    if (!pDatatype) return DATATYPE_COUNT;
    for (DWORD i = 0; i < DATATYPE_COUNT; ++i) {
        if (lstrcmpiW(pDatatype, Datatypes[i]) == 0) return i;
    }
    return DATATYPE_COUNT;
}

LPCWSTR DatatypeNameOfJobType(DWORD dwJobType) {
    // The job type codes were chosen so that each is the index of its name.
    return dwJobType < DATATYPE_COUNT ? Datatypes[dwJobType] : nullptr;
}

// ---- forms table ------------------------------------------------------------------------

void LoadFormsTable() {
    g_pForms = nullptr;
    g_cForms = 0;

    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, QLWINPRN_KEY, 0, KEY_READ, &hKey) != ERROR_SUCCESS) return;

    BYTE abForms[1024] = {};
    DWORD cbForms = sizeof(abForms);
    DWORD dwType = REG_NONE;
    LONG lRtn = RegQueryValueExW(hKey, WSTR("Forms"), nullptr, &dwType, abForms, &cbForms);
    if (lRtn == ERROR_SUCCESS && dwType == REG_BINARY && cbForms >= sizeof(WORD) && cbForms <= sizeof(abForms)) {
        // The last word is a terminator and is not counted.
        DWORD cForms = cbForms / sizeof(WORD) - 1;
        SIZE_T cbTable = (static_cast<SIZE_T>(cForms) + 1) * sizeof(WORD);
        WORD* pForms = static_cast<WORD*>(MemAlloc(cbTable));
        if (pForms) {
            // An odd byte count leaves its last byte out: the table holds whole words.
            std::memcpy(pForms, abForms, cbTable);
            g_pForms = pForms;
            g_cForms = cForms;
        }
    }
    RegCloseKey(hKey);
}

void FreeFormsTable() {
    if (g_pForms) MemFreeT(&g_pForms);
    g_cForms = 0;
}

// ---- DllMain ----------------------------------------------------------------------------

PAL_EXPORT BOOL WINAPI DllMain(HINSTANCE hInstDLL, DWORD fdwReason, LPVOID lpReserved) {
    (void)hInstDLL;
    (void)lpReserved;
    switch (fdwReason) {
    case DLL_PROCESS_ATTACH: {
        WSADATA wsaData;
        std::memset(&wsaData, 0, sizeof(wsaData));
        WSAStartup(MAKEWORD(2, 2), &wsaData);
        if (gethostname(g_szHostName, sizeof(g_szHostName)) != 0) g_szHostName[0] = 0;
        g_szHostName[sizeof(g_szHostName) - 1] = 0;
        g_DbgLog.Init(WSTR("QLWinPrn"), WSTR("Software\\Quillon\\QLWinPrn"));
        LoadPortMonitorLibrary();
        LoadFormsTable();
        break;
    }
    case DLL_PROCESS_DETACH:
        FreeFormsTable();
        FreePortMonitorLibrary();
        break;
    default:
        break;
    }
    return TRUE;
}

// ---- outside any job ----------------------------------------------------------------------

PAL_EXPORT BOOL WINAPI InstallPrintProcessor(HWND hWnd) {
    MessageBoxW(hWnd, WSTR("WinPrint"), WSTR("Print Processor Setup"), MB_OK);
    return TRUE;
}

PAL_EXPORT BOOL WINAPI EnumPrintProcessorDatatypesW(LPWSTR pName, LPWSTR pPrintProcessorName, DWORD Level,
                                                    LPBYTE pDatatypes, DWORD cbBuf, LPDWORD pcbNeeded,
                                                    LPDWORD pcReturned) {
    (void)pName;
    (void)pPrintProcessorName;
    (void)Level;
    if (!pcbNeeded || !pcReturned) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *pcReturned = 0;

    DWORD cbNeeded = 0;
    for (DWORD i = 0; i < DATATYPE_COUNT; ++i) {
        cbNeeded += sizeof(DATATYPES_INFO_1W) + (static_cast<DWORD>(lstrlenW(Datatypes[i])) + 1) * sizeof(WCHAR);
    }
    *pcbNeeded = cbNeeded;
    if (cbNeeded > cbBuf) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (!pDatatypes) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    // Pointer slots at the start, the strings packed backwards from the end:
    // the first entry's string is nearest the end of the buffer. The caller's
    // buffer need not be aligned, so slots are written bytewise.
    LPBYTE pEnd = pDatatypes + cbBuf;
    for (DWORD i = 0; i < DATATYPE_COUNT; ++i) {
        SIZE_T cbName = (static_cast<SIZE_T>(lstrlenW(Datatypes[i])) + 1) * sizeof(WCHAR);
        pEnd -= cbName;
        std::memcpy(pEnd, Datatypes[i], cbName);
        LPWSTR pNameSlot = reinterpret_cast<LPWSTR>(pEnd);
        std::memcpy(pDatatypes + i * sizeof(DATATYPES_INFO_1W), &pNameSlot, sizeof(pNameSlot));
        ++*pcReturned;
    }
    return TRUE;
}

PAL_EXPORT DWORD WINAPI GetPrintProcessorCapabilities(LPWSTR pValueName, DWORD dwAttributes, LPBYTE pData,
                                                      DWORD nSize, LPDWORD pcbNeeded) {
    QLLOG(LOG_INF, WSTR("GetPrintProcessorCapabilities <%s> is called, Attributes %d(0x%x)"), pValueName,
          dwAttributes, dwAttributes);
    if (!pcbNeeded) return ERROR_INVALID_PARAMETER;

    DWORD dwLevel;
    if (nSize >= sizeof(PRINTPROCESSOR_CAPS_2)) {
        *pcbNeeded = sizeof(PRINTPROCESSOR_CAPS_2);
        dwLevel = 2;
    } else if (nSize >= sizeof(PRINTPROCESSOR_CAPS_1)) {
        *pcbNeeded = sizeof(PRINTPROCESSOR_CAPS_1);
        dwLevel = 1;
    } else {
        *pcbNeeded = sizeof(PRINTPROCESSOR_CAPS_2);
        return ERROR_MORE_DATA;
    }
    if (!pData || !pValueName) return ERROR_INVALID_PARAMETER;

    DWORD dwIndex = GetDatatypeIndex(pValueName);
    // Every datatype of the table, "QL EMZ 1.0" included, prints one-up with
    // any number of copies. A datatype this processor does not know has no
    // capabilities to report.
    if (dwIndex >= DATATYPE_COUNT) return ERROR_INVALID_DATATYPE;

    PRINTPROCESSOR_CAPS_2 caps = {};
    caps.dwLevel = 1;
    caps.dwNupOptions = 1;
    caps.dwPageOrderFlags = 0;
    caps.dwNumberOfCopies = 0xFFFFFFFF;
    if (dwLevel == 2) {
        caps.dwLevel = 2;
        caps.dwDuplexHandlingCaps = 0;
        caps.dwNupDirectionCaps = 0;
        caps.dwNupBorderCaps = 0;
        caps.dwBookletHandlingCaps = 0;
        caps.dwScalingCaps = 0;
    }
    std::memcpy(pData, &caps, dwLevel == 2 ? sizeof(PRINTPROCESSOR_CAPS_2) : sizeof(PRINTPROCESSOR_CAPS_1));
    return ERROR_SUCCESS;
}

// ---- job parameters ---------------------------------------------------------------------

static bool IsBlank(WCHAR c) {
    return c == WSTR(' ') || c == WSTR('\t');
}

BOOL GetKeyValue(LPCWSTR pParameters, LPCWSTR pKey, LPDWORD pdwValue) {
    if (!pParameters || !pKey || !pdwValue) return FALSE;
    const size_t cchKey = static_cast<size_t>(lstrlenW(pKey));

    LPCWSTR p = pParameters;
    while (*p) {
        while (IsBlank(*p)) ++p;

        // The name runs to the first blank, tab or "="; it matches when it
        // begins with the key.
        LPCWSTR pName = p;
        while (*p && !IsBlank(*p) && *p != WSTR('=') && *p != WSTR(';')) ++p;
        size_t cchName = static_cast<size_t>(p - pName);
        if (cchName >= cchKey && _wcsnicmp(pName, pKey, cchKey) == 0) {
            // The first matching item decides: "=" must follow the name
            // directly and the value must be closed by ";".
            if (*p != WSTR('=')) return FALSE;
            ++p;
            while (IsBlank(*p)) ++p;
            LPCWSTR pValue = p;
            while (*p && !IsBlank(*p) && *p != WSTR(';')) ++p;
            if (*p != WSTR(';')) return FALSE;
            if (pValue == p || *pValue < WSTR('0') || *pValue > WSTR('9')) return FALSE;

            ULONGLONG qwValue = 0;
            for (LPCWSTR d = pValue; d < p && *d >= WSTR('0') && *d <= WSTR('9'); ++d) {
                qwValue = qwValue * 10 + static_cast<ULONGLONG>(*d - WSTR('0'));
                if (qwValue > 0xFFFFFFFFull) qwValue = 0xFFFFFFFFull;
            }
            *pdwValue = static_cast<DWORD>(qwValue);
            return TRUE;
        }

        // Not this key: skip to the next item.
        while (*p && *p != WSTR(';')) ++p;
        if (*p == WSTR(';')) ++p;
    }
    return FALSE;
}

// ---- default device mode ------------------------------------------------------------------

typedef BOOL(WINAPI* PFN_OpenPrinterW)(LPWSTR, LPHANDLE, LPPRINTER_DEFAULTSW);
typedef BOOL(WINAPI* PFN_ClosePrinter)(HANDLE);
typedef LONG(WINAPI* PFN_DocumentPropertiesW)(HWND, HANDLE, LPWSTR, PDEVMODEW, PDEVMODEW, DWORD);

BOOL GetDefaultDevmode(LPCWSTR lpszPrinterName, LPDEVMODEW* lpDevmode) {
    QLLOG(LOG_INF, WSTR("Get the default devmode"));
    if (!lpszPrinterName) {
        QLLOG(LOG_INF, WSTR("GetDefaultDevmode:lpszPrinterName is NULL"));
        return FALSE;
    }
    if (!lpDevmode) {
        QLLOG(LOG_INF, WSTR("GetDefaultDevmode:lpDevmode is NULL"));
        return FALSE;
    }

    HMODULE hWinspool = LoadSystemLibrary(WSTR("winspool.drv"));
    if (!hWinspool) {
        QLLOG(LOG_ERR, WSTR("Could not load the client side of the spooler"));
        return FALSE;
    }

    QLLOG(LOG_INF, WSTR("Get the pointers to the client side functions"));
    auto pfnOpenPrinter = ProcAs<PFN_OpenPrinterW>(GetProcAddress(hWinspool, "OpenPrinterW"));
    auto pfnClosePrinter = ProcAs<PFN_ClosePrinter>(GetProcAddress(hWinspool, "ClosePrinter"));
    auto pfnDocumentProperties = ProcAs<PFN_DocumentPropertiesW>(GetProcAddress(hWinspool, "DocumentPropertiesW"));
    if (!pfnOpenPrinter || !pfnClosePrinter || !pfnDocumentProperties) {
        FreeLibrary(hWinspool);
        return FALSE;
    }

    QLLOG(LOG_INF, WSTR("Get a client side printer handle to pass to the driver"));
    LPWSTR pName = const_cast<LPWSTR>(lpszPrinterName);
    HANDLE hPrinter = nullptr;
    if (!pfnOpenPrinter(pName, &hPrinter, nullptr)) {
        QLLOG(LOG_ERR, WSTR("Open printer failed, Printer %ws"), lpszPrinterName);
        FreeLibrary(hWinspool);
        return FALSE;
    }

    BOOL fRtn = FALSE;
    LONG cbDevmode = pfnDocumentProperties(nullptr, hPrinter, pName, nullptr, nullptr, 0);
    if (cbDevmode < 1) {
        QLLOG(LOG_ERR, WSTR("DocumentProperties returns:%d, %d"), cbDevmode, GetLastError());
    } else {
        *lpDevmode = static_cast<LPDEVMODEW>(MemAlloc(static_cast<SIZE_T>(cbDevmode)));
        if (!*lpDevmode) {
            QLLOG(LOG_ERR, WSTR("*lpDevmode is NULL, no memory"));
        } else if (pfnDocumentProperties(nullptr, hPrinter, pName, *lpDevmode, nullptr, DM_OUT_BUFFER) < 0) {
            QLLOG(LOG_ERR, WSTR("DocumentProperties failed, Printer %ws, GetLastError=%d"), lpszPrinterName,
                  GetLastError());
            MemFreeT(lpDevmode);
        } else {
            fRtn = TRUE;
        }
    }
    pfnClosePrinter(hPrinter);
    FreeLibrary(hWinspool);
    return fRtn;
}

// ---- job handle -------------------------------------------------------------------------

PPRINTPROCESSORDATA ValidateHandle(HANDLE hPrintProcessor) {
    PPRINTPROCESSORDATA pData = static_cast<PPRINTPROCESSORDATA>(hPrintProcessor);
    // The handle comes from the spooler; a pointer that cannot be read is as
    // invalid as one without the signature.
    if (pData && !IsBadReadPtr(pData, sizeof(DWORD)) && pData->dwSignature == PRINTPROCESSOR_SIGNATURE) {
        return pData;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

// Duplicates an optional string; a null source gives a null copy.
static LPWSTR CopyOptional(LPCWSTR psz) {
    return psz ? AllocSplStr(psz) : nullptr;
}

static HANDLE OpenPrintProcessorImpl(LPWSTR pPrinterName, PPRINTPROCESSOROPENDATA pOpenData) {
    if (!pOpenData || !pOpenData->pDatatype || !*pOpenData->pDatatype) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }

    if (!IsClusterSpoolDirFound()) GetClusterSpoolDirs(&g_ClusterSpoolDirs);

    QLLOG(LOG_INF, WSTR("PrinterName:%s"), pPrinterName);
    QLLOG(LOG_INF, WSTR("Datatype:%s, Parameters:%s, DocumentName:%s, JobId:%d, OutputFile:%s, PrinterName:%s"),
          pOpenData->pDatatype, pOpenData->pParameters, pOpenData->pDocumentName, pOpenData->JobId,
          pOpenData->pOutputFile, pOpenData->pPrinterName);
    if (pOpenData->pDevMode) PrintDEVMODE(pOpenData->pDevMode, pOpenData->pDevMode->dmSize, WSTR("OpenPrintProcessor"));

    // Client-side rendering hands the processor a printer name with this
    // prefix; such a job is refused when it is printed.
    BOOL fClientSideRendering = pPrinterName && wcsncmp(pPrinterName, WSTR("\\\\CSR|"), 6) == 0;
    DWORD dwIndex;
    if (fClientSideRendering) {
        QLLOG(LOG_INF, WSTR("CSR detected"));
        dwIndex = DT_RAW;
    } else {
        dwIndex = GetDatatypeIndex(pOpenData->pDatatype);
    }

    PPRINTPROCESSORDATA pData = static_cast<PPRINTPROCESSORDATA>(MemAlloc(sizeof(PRINTPROCESSORDATA)));
    if (!pData) {
        QLLOG(LOG_ERR, WSTR("Alloc failed"));
        return nullptr;
    }
    pData->cbSize = sizeof(PRINTPROCESSORDATA);
    pData->dwSignature = PRINTPROCESSOR_SIGNATURE;

    // The record is a C-layout block in global memory, so it cannot hold smart
    // pointers: the containers are created here and handed over as plain
    // owning pointers, which ClosePrintProcessor takes back into unique_ptrs.
    try {
        pData->pBitmapCache = std::make_unique<CBitmapCacheMap>().release();
        pData->pHoleList = std::make_unique<CHoleList>().release();
    } catch (const std::bad_alloc&) {
        QLLOG(LOG_ERR, WSTR("Alloc failed"));
        ClosePrintProcessor(pData);
        return nullptr;
    }
    pData->iSpoolBridge = -1;
    pData->fVMwarePort = 0;
    pData->fHeldPrintingPort = 0;
    pData->fRemotePort = 0;
    pData->fPDFBridge = 0;
    pData->pPortName = nullptr;
    pData->hNativeJob = nullptr;
    pData->hViewJob = nullptr;
    for (HANDLE& h : pData->ahVirtualCopyJobs) h = nullptr;
    pData->pExtendedUserName = nullptr;
    pData->fCompressedJob = 0;
    pData->pDecompressor = nullptr;
    pData->fAGNPQLPrinter = 0;
    pData->fClientSideRendering = fClientSideRendering;

    // Printer handle of this call: kept in the record for raw and gateway
    // jobs, closed before returning for every other EMF job.
    HANDLE hTempPrinter = nullptr;
    DWORD dwJobType = 0;
    switch (dwIndex) {
    case DT_RAW:
    case DT_RAW_FF_APPENDED:
    case DT_RAW_FF_AUTO:
        dwJobType = dwIndex;
        if (!OpenPrinterW(pPrinterName, &pData->hPrinter, nullptr)) {
            pData->hPrinter = nullptr;
            ClosePrintProcessor(pData);
            return nullptr;
        }
        break;

    case DT_TEXT:
        dwJobType = JOBTYPE_TEXT;
        pData->hDC = CreateDCW(WSTR(""), pPrinterName, WSTR(""), pOpenData->pDevMode);
        if (!pData->hDC) {
            ClosePrintProcessor(pData);
            return nullptr;
        }
        break;

    case DT_EMF_1003:
    case 5:
    case 6:
    case DT_EMF_1008:
    case DT_QL_EMZ: {
        dwJobType = JOBTYPE_EMF;
        pData->dwJobType = JOBTYPE_EMF;
        QLLOG(LOG_INF, WSTR("Print from <%s> to <%s>"), pOpenData->pPrinterName, pPrinterName);
        if (!OpenPrinterW(pPrinterName, &hTempPrinter, nullptr)) {
            ClosePrintProcessor(pData);
            return nullptr;
        }
        if (IsQLSpoolBridgeJob(hTempPrinter, pData)) {
            pData->hPrinter = hTempPrinter;
            hTempPrinter = nullptr;
        }

        if (pOpenData->pDevMode) {
            const DEVMODEW* pdmIn = pOpenData->pDevMode;
            SIZE_T cbDevmode = static_cast<SIZE_T>(pdmIn->dmSize) + pdmIn->dmDriverExtra;
            pData->pDevMode = static_cast<LPDEVMODEW>(MemAlloc(cbDevmode));
            if (!pData->pDevMode) {
                if (hTempPrinter) ClosePrinter(hTempPrinter);
                ClosePrintProcessor(pData);
                return nullptr;
            }
            std::memcpy(pData->pDevMode, pdmIn, cbDevmode);
        } else {
            QLLOG(LOG_INF, WSTR("Get Default Devmode: Printer %ws, Document %ws, JobID %u"), pOpenData->pPrinterName,
                  pOpenData->pDocumentName, pOpenData->JobId);
            if (!GetDefaultDevmode(pOpenData->pPrinterName, &pData->pDevMode)) {
                QLLOG(LOG_ERR, WSTR("CopyDevmode failed, Printer %ws, Document %ws, JobID %u, "),
                      pOpenData->pPrinterName, pOpenData->pDocumentName, pOpenData->JobId);
            }
        }
        break;
    }

    default:
        SetLastError(ERROR_INVALID_DATATYPE);
        ClosePrintProcessor(pData);
        return nullptr;
    }

    pData->dwJobId = pOpenData->JobId;
    pData->dwJobType = dwJobType;
    pData->dwPageCount = 0;
    pData->hPauseEvent = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    if (!pData->hPauseEvent) {
        if (hTempPrinter) ClosePrinter(hTempPrinter);
        ClosePrintProcessor(pData);
        return nullptr;
    }
    pData->dwCopies = 1;
    pData->dwTabSize = 8;
    pData->pPrinterName = CopyOptional(pPrinterName);
    pData->pDatatype = CopyOptional(pOpenData->pDatatype);
    pData->pDocumentName = CopyOptional(pOpenData->pDocumentName);
    pData->pOutputFile = CopyOptional(pOpenData->pOutputFile);
    pData->pParameters = CopyOptional(pOpenData->pParameters);

    if (pData->pParameters) {
        GetKeyValue(pData->pParameters, WSTR("COPIES"), &pData->dwCopies);
        if (dwJobType == JOBTYPE_TEXT) {
            DWORD dwTabs = 0;
            if (GetKeyValue(pData->pParameters, WSTR("TABS"), &dwTabs) && dwTabs) pData->dwTabSize = dwTabs;
        }
    }

    if (pData->dwCopies > 1) {
        // A printer that prints directly, bypassing the spooler, gets the
        // copies from its driver: the processor sends one.
        HANDLE hPrinter = hTempPrinter ? hTempPrinter : pData->hPrinter;
        if (hPrinter && hPrinter != INVALID_HANDLE_VALUE) {
            PRINTER_INFO_READER reader = {};
            if (ReadPrinterInfo(hPrinter, 2, &reader) && reader.cbInfo >= sizeof(PRINTER_INFO_2W)) {
                const PRINTER_INFO_2W* pInfo = reinterpret_cast<const PRINTER_INFO_2W*>(reader.pInfo);
                if (pInfo->Attributes & PRINTER_ATTRIBUTE_DIRECT) pData->dwCopies = 1;
            } else {
                OutputDebugStringW(WSTR("GetPrinter failed - falling back to 1 copy\n"));
                pData->dwCopies = 1;
            }
            if (reader.pInfo) MemFreeT(&reader.pInfo);
        } else {
            pData->dwCopies = 1;
        }
    }

    if (hTempPrinter) ClosePrinter(hTempPrinter);
    return static_cast<HANDLE>(pData);
}

PAL_EXPORT HANDLE WINAPI OpenPrintProcessor(LPWSTR pPrinterName, PPRINTPROCESSOROPENDATA pPrintProcessorOpenData) {
    try {
        return OpenPrintProcessorImpl(pPrinterName, pPrintProcessorOpenData);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

PAL_EXPORT BOOL WINAPI ControlPrintProcessor(HANDLE hPrintProcessor, DWORD Command) {
    PPRINTPROCESSORDATA pData = ValidateHandle(hPrintProcessor);
    if (!pData) return FALSE;
    // The printing thread reads the bits while this thread changes them.
    std::atomic_ref<DWORD> status(pData->fsStatus);

    switch (Command) {
    case JOB_CONTROL_PAUSE:
        ResetEvent(pData->hPauseEvent);
        status.fetch_or(PRINTPROCESSOR_PAUSED);
        return TRUE;

    case JOB_CONTROL_CANCEL:
        status.fetch_or(PRINTPROCESSOR_CANCELLED);
        if (pData->dwJobType == JOBTYPE_EMF && pData->hDC) CancelDC(pData->hDC);
        // A paused job must wake up to notice the cancel.
        [[fallthrough]];

    case JOB_CONTROL_RESUME:
        // The paused bit is cleared before the event is signalled: a print
        // loop that still saw the bit set then finds the event signalled, and
        // one that looks after the signal was consumed by another wait no
        // longer sees the bit and does not wait again.
        if (status.fetch_and(~PRINTPROCESSOR_PAUSED) & PRINTPROCESSOR_PAUSED) SetEvent(pData->hPauseEvent);
        return TRUE;

    default:
        return FALSE;
    }
}

PAL_EXPORT BOOL WINAPI ClosePrintProcessor(HANDLE hPrintProcessor) {
    PPRINTPROCESSORDATA pData = ValidateHandle(hPrintProcessor);
    if (!pData) return FALSE;

    pData->dwSignature = 0;

    // Back into unique_ptrs, which destroy them (see OpenPrintProcessor).
    std::unique_ptr<CNPDecompress>(pData->pDecompressor).reset();
    pData->pDecompressor = nullptr;
    std::unique_ptr<CBitmapCacheMap>(pData->pBitmapCache).reset();
    pData->pBitmapCache = nullptr;
    std::unique_ptr<CHoleList>(pData->pHoleList).reset();
    pData->pHoleList = nullptr;

    if (pData->hPrinter) ClosePrinter(pData->hPrinter);
    if (pData->hAGNPPrinter) ClosePrinter(pData->hAGNPPrinter);
    if (pData->hDC) DeleteDC(pData->hDC);
    if (pData->pDevMode) MemFreeT(&pData->pDevMode);
    if (pData->hPauseEvent) CloseHandle(pData->hPauseEvent);

    LPWSTR* aStrings[] = {&pData->pPrinterName, &pData->pDatatype,         &pData->pDocumentName,
                          &pData->pOutputFile,  &pData->pParameters,       &pData->pExtendedUserName,
                          &pData->pPortName};
    for (LPWSTR* ppsz : aStrings) {
        if (*ppsz) MemFreeT(ppsz);
    }
    if (pData->pFontList) FreeFontList(&pData->pFontList);
    if (pData->hNativeJob) ClosePortMonitorChannel(pData->hNativeJob);

    MemFreeT(&pData);
    return TRUE;
}
