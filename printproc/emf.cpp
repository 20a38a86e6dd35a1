// EMF job playback: plays the job's EMF spool data on the printer, once per
// copy, through the graphics system's playback entry point.
#define QL_MODULE WSTR("Winprint")
#include "diag/DbgLog.h"
#include "pal/seh.h"
#include "printproc/Winprint.h"

BOOL PrintEMFJob(PPRINTPROCESSORDATA pData, LPWSTR pDocumentName) {
    BOOL fResult = TRUE;
    // Playback runs foreign code over untrusted records: any exception it
    // raises, an access fault included, fails the job instead of the process.
    const bool fCompleted = RunUnderExceptionGuard([&] {
        for (DWORD dwCopy = 0; dwCopy < pData->dwCopies; ++dwCopy) {
            fResult = GdiPlayEMF(pData->pPrinterName, pData->pDevMode, pDocumentName, nullptr, nullptr);
            if (!fResult) return;
        }
    });
    if (!fCompleted) {
        OutputDebugStringW(WSTR("GdiPlayEMF gave an exception\n"));
        return FALSE;
    }
    return fResult;
}
