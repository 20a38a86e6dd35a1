// Binding of the native-printing view library, reached through the table that
// the port monitor library's InitializeAGNP export returns.
#pragma once
#include "palwin.h"
#include "port/QuilmonApi.h"
#include "printproc/PrintProcessorData.h"

#include <cstddef>

// The spooler router's entry points that native printing binds.
typedef BOOL(WINAPI* PFN_RouterOpenPrinterW)(LPWSTR pPrinterName, LPHANDLE phPrinter, LPPRINTER_DEFAULTSW pDefault);
typedef BOOL(WINAPI* PFN_RouterClosePrinter)(HANDLE hPrinter);

// The bound view functions (all null until the view library has started).
struct ViewFunctions {
    PFN_AGNPOpenJob pfnOpenJob = nullptr;
    PFN_AGNPWriteJob pfnWriteJob = nullptr;
    PFN_AGNPCloseJob pfnCloseJob = nullptr;
    PFN_AGNPGetLastError pfnGetLastError = nullptr;
};
const ViewFunctions& GetViewFunctions();

// Starts the view library the first time it is called in the process and
// reports whether it is available; a failed start is not retried. Concurrent
// first calls from several print threads wait on one lock: the first runs
// the start, the others see its outcome.
BOOL EnsureViewLibrary();

// Tests only: forgets the binding (freeing the libraries a start loaded), so
// that the next EnsureViewLibrary starts the view library again.
void ResetViewLibraryForTest();

// The port monitor's configuration channel, opened through the spooler
// router: ",XcvMonitor Quillon Port", preceded by "\\<server>\" when
// pServerPrefix is not empty. Null (last error set) on failure; last error 1
// when the router is not bound.
HANDLE OpenPortMonitorChannel(LPCWSTR pServerPrefix);
// Closes a channel from OpenPortMonitorChannel through the router.
BOOL ClosePortMonitorChannel(HANDLE hChannel);
// The name OpenPortMonitorChannel opens for pServerPrefix, in 256 characters.
void BuildPortMonitorChannelName(LPCWSTR pServerPrefix, WCHAR (&szName)[256]);

// The open options for a job's device mode (null: the base value).
DWORD ViewOpenOptions(const DEVMODEW* pDevMode);

// Characters of each virtual-copy printer name.
constexpr size_t VIRTUAL_COPY_NAME_CCH = MAX_PATH;

// Whether targetPrinter may be used for a job sent to printerName: a printer
// of this machine always, a remote one only on the same server (names
// compared ignoring case). FALSE when either name is null.
BOOL AGNPPrinterAllowed(LPCWSTR pPrinterName, LPCWSTR pTargetPrinter);

// Opens the configuration channel (hNativeJob), the native job on the AGNP
// printer (hViewJob) and one on each allowed virtual-copy printer
// (ahVirtualCopyJobs), reading through hJobReader. FALSE when the view
// library is unavailable, the channel cannot be opened or the main open
// failed; a virtual copy that fails or is not allowed is only logged.
BOOL QLViewDLL_QLEMFOpenJob(PPRINTPROCESSORDATA pData, LPCWSTR pAGNPPrinter,
                            const WCHAR (*pVirtualCopies)[VIRTUAL_COPY_NAME_CCH], LPDEVMODEW pDevMode);
