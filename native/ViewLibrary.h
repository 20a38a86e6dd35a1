// Binding of the native-printing view library, reached through the table that
// the port monitor library's InitializeAGNP export returns.
#pragma once
#include "palwin.h"
#include "printproc/PrintProcessorData.h"

#include <cstddef>

typedef HANDLE(WINAPI* PFN_AGNPOpenJob)(HANDLE hJobReader, DWORD dwJobId, DWORD dwOptions, PVOID pParams);
typedef BOOL(WINAPI* PFN_AGNPWriteJob)(HANDLE hJob, LPCVOID pBuf, DWORD cbBuf);
typedef void(WINAPI* PFN_AGNPCloseJob)(HANDLE hJob);
typedef DWORD(WINAPI* PFN_AGNPGetLastError)(void);

// The table InitializeAGNP returns; a function is taken only when its slot lies
// within cbSize.
typedef struct _AGNPINTERFACE {
    DWORD cbSize;
    PFN_AGNPOpenJob pfnOpenJob;
    PFN_AGNPWriteJob pfnWriteJob;
    PFN_AGNPCloseJob pfnCloseJob;
    PFN_AGNPGetLastError pfnGetLastError;
} AGNPINTERFACE, *PAGNPINTERFACE;
static_assert(offsetof(AGNPINTERFACE, pfnOpenJob) == 8);
static_assert(offsetof(AGNPINTERFACE, pfnWriteJob) == 16);
static_assert(offsetof(AGNPINTERFACE, pfnCloseJob) == 24);
static_assert(offsetof(AGNPINTERFACE, pfnGetLastError) == 32);
static_assert(sizeof(AGNPINTERFACE) == 40);

// The bound view functions (all null until the view library has started).
struct ViewFunctions {
    PFN_AGNPOpenJob pfnOpenJob = nullptr;
    PFN_AGNPWriteJob pfnWriteJob = nullptr;
    PFN_AGNPCloseJob pfnCloseJob = nullptr;
    PFN_AGNPGetLastError pfnGetLastError = nullptr;
};
const ViewFunctions& GetViewFunctions();

// Starts the view library the first time it is called in the process and
// reports whether it is available; a failed start is not retried.
BOOL EnsureViewLibrary();

// Tests only: makes the view library available with the given functions
// (null pointer: back to "not started").
void SetViewFunctionsForTest(const ViewFunctions* pFunctions);

// The parameter record handed to the open function (zeroed before use).
typedef struct _AGNPOPENJOBPARAMS {
    DWORD dwVersion;          // AGNP_OPENJOB_VERSION
    LPCWSTR pDestination;     // AGNP printer or virtual-copy printer
    LPCWSTR pDocumentName;
    LPCWSTR pUserText;        // the job's extended user name
    PVOID pReserved1;
    LPDEVMODEW pDevMode;      // working device mode, may be null
    PVOID pReserved2;
    PVOID pReserved3;
} AGNPOPENJOBPARAMS, *PAGNPOPENJOBPARAMS;
static_assert(offsetof(AGNPOPENJOBPARAMS, pDestination) == 8);
static_assert(offsetof(AGNPOPENJOBPARAMS, pDocumentName) == 16);
static_assert(offsetof(AGNPOPENJOBPARAMS, pUserText) == 24);
static_assert(offsetof(AGNPOPENJOBPARAMS, pDevMode) == 40);
static_assert(sizeof(AGNPOPENJOBPARAMS) == 64);

constexpr DWORD AGNP_OPENJOB_VERSION = 44;
// Open options: the base value plus the page placement bits of the device
// mode's private trailer.
constexpr DWORD QLVIEW_OPEN_BASE = 5;
constexpr DWORD QLVIEW_DONTRESIZE = 0x100;
constexpr DWORD QLVIEW_DONTMOVE = 0x200;

// Characters of each virtual-copy printer name.
constexpr size_t VIRTUAL_COPY_NAME_CCH = MAX_PATH;

// Whether targetPrinter may be used for a job sent to printerName: a printer
// of this machine always, a remote one only on the same server (names
// compared ignoring case). FALSE when either name is null.
BOOL AGNPPrinterAllowed(LPCWSTR pPrinterName, LPCWSTR pTargetPrinter);

// Opens the native job on the AGNP printer (hViewJob) and one on each allowed
// virtual-copy printer (ahVirtualCopyJobs), reading through hJobReader.
// FALSE when the view library is unavailable or the main open failed.
BOOL QLViewDLL_QLEMFOpenJob(PPRINTPROCESSORDATA pData, LPCWSTR pAGNPPrinter,
                            const WCHAR (*pVirtualCopies)[VIRTUAL_COPY_NAME_CCH], LPDEVMODEW pDevMode);
