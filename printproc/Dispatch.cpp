// Which printing path takes a job: the job type from OpenPrintProcessor, a
// look at the first eight bytes of the job data, and the printer's driver
// name and port type.
#define QL_MODULE WSTR("Winprint")
#include "diag/DbgLog.h"
#include "native/ViewLibrary.h"
#include "port/PortMonitor.h"
#include "port/WinPort.h"
#include "printproc/FontList.h"
#include "printproc/Util.h"
#include "printproc/Winprint.h"

#include <cstring>

// Read-ahead markers, five ASCII bytes without terminator.
static const char MARKER_EMZ[5] = {'%', '%', 'E', 'M', 'Z'};
static const char MARKER_EMF[5] = {'%', '%', 'E', 'M', 'F'};
static const char MARKER_XPS[5] = {'%', '%', 'X', 'P', 'S'};
constexpr DWORD READ_AHEAD_BYTES = 8;

BOOL ReadPrinterInfo(HANDLE hPrinter, DWORD dwLevel, PRINTER_INFO_READER* pReader) {
    pReader->pInfo = nullptr;
    pReader->cbInfo = 0;
    pReader->dwError = 0;

    DWORD cbNeeded = 0;
    if (!GetPrinterW(hPrinter, dwLevel, nullptr, 0, &cbNeeded) && GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        pReader->dwError = GetLastError();
        return FALSE;
    }
    if (cbNeeded == 0) {
        pReader->dwError = ERROR_INVALID_DATA;
        SetLastError(pReader->dwError);
        return FALSE;
    }

    LPBYTE pInfo = static_cast<LPBYTE>(MemAlloc(cbNeeded));
    if (!pInfo) {
        pReader->dwError = ERROR_NOT_ENOUGH_MEMORY;
        SetLastError(pReader->dwError);
        return FALSE;
    }
    DWORD cbReturned = 0;
    if (!GetPrinterW(hPrinter, dwLevel, pInfo, cbNeeded, &cbReturned)) {
        pReader->dwError = GetLastError();
        MemFreeT(&pInfo);
        SetLastError(pReader->dwError);
        return FALSE;
    }
    pReader->pInfo = pInfo;
    pReader->cbInfo = cbNeeded;
    return TRUE;
}

BOOL ReadAheadJobData(LPWSTR pJobName, BOOL* pfReadyMade, BOOL* pfCompressed) {
    *pfReadyMade = FALSE;
    *pfCompressed = FALSE;

    HANDLE hJob = nullptr;
    if (!OpenPrinterW(pJobName, &hJob, nullptr)) return FALSE;

    BYTE abHead[READ_AHEAD_BYTES] = {};
    DWORD cbRead = 0;
    BOOL fRead = ReadPrinter(hJob, abHead, READ_AHEAD_BYTES, &cbRead);
    DWORD dwError = GetLastError();
    ClosePrinter(hJob);
    if (!fRead) {
        SetLastError(dwError);
        return FALSE;
    }
    if (cbRead < READ_AHEAD_BYTES) {
        QLLOG(LOG_ERR, WSTR("to less data read, wanted:%d given %d"), READ_AHEAD_BYTES, cbRead);
        return FALSE;
    }

    *pfCompressed = std::memcmp(abHead, MARKER_EMZ, sizeof(MARKER_EMZ)) == 0;
    QLLOG(LOG_INF, WSTR("%s found = %d"), WSTR("%%EMZ"), *pfCompressed);
    *pfReadyMade = std::memcmp(abHead, MARKER_EMF, sizeof(MARKER_EMF)) == 0;
    if (!*pfReadyMade) *pfReadyMade = std::memcmp(abHead, MARKER_XPS, sizeof(MARKER_XPS)) == 0;
    return TRUE;
}

INT IsQLSpoolBridgeJob(HANDLE hPrinter, PPRINTPROCESSORDATA pData) {
    if (pData->iSpoolBridge == 0 || pData->iSpoolBridge == 1) {
        QLLOG(LOG_INF, WSTR("IsQLSpoolBridgeJob: No compotation takes place (%d)"), pData->iSpoolBridge);
        return pData->iSpoolBridge;
    }

    INT iResult = 0;
    if (hPrinter && hPrinter != INVALID_HANDLE_VALUE) {
        PRINTER_INFO_READER reader = {};
        if (ReadPrinterInfo(hPrinter, 2, &reader) && reader.cbInfo >= sizeof(PRINTER_INFO_2W)) {
            const PRINTER_INFO_2W* pInfo = reinterpret_cast<const PRINTER_INFO_2W*>(reader.pInfo);
            if (pInfo->pDriverName) {
                if (wcsstr(pInfo->pDriverName, QLSB_DRIVER_NAME) || wcsstr(pInfo->pDriverName, QLPDF_DRIVER_NAME)) {
                    iResult = 1;
                }
                if (wcsstr(pInfo->pDriverName, QLPDF_DRIVER_NAME)) pData->fPDFBridge = 1;
            }
            if (!pData->pPortName && pInfo->pPortName) pData->pPortName = AllocSplStr(pInfo->pPortName);
        } else {
            QLLOG(LOG_INF, WSTR("GetPrinter failed - no QLJob and falling back to 1 copy\n"));
        }
        if (reader.pInfo) MemFreeT(&reader.pInfo);
    }
    pData->iSpoolBridge = iResult;

    CWinPort oPort;
    pData->fVMwarePort = oPort.TestAllPortInPortList(pData->pPortName, PORTTYPE_VMWARE) == 0;
    QLLOG(LOG_INF, WSTR("IsACEDruckJob (%d)"), pData->fVMwarePort);
    pData->fHeldPrintingPort = oPort.TestAllPortInPortList(pData->pPortName, PORTTYPE_HELD_PRINTING) == 0;
    QLLOG(LOG_INF, WSTR("Is Held Printing Job (%d)"), pData->fHeldPrintingPort);
    pData->fRemotePort = oPort.TestAllPortInPortList(pData->pPortName, PORTTYPE_TESSEL_WORKPLACE) == 0;
    QLLOG(LOG_INF, WSTR("Is Tessel Workplace Job (%d)"), pData->fRemotePort);

    QLLOG(LOG_INF, WSTR("IsQLSpoolBridgeJob returns (%d)"), iResult);
    return iResult;
}

static BOOL PrintDocumentImpl(HANDLE hPrintProcessor, LPWSTR pDocumentName) {
    QLLOG(LOG_TRC, WSTR("begin processing <%s>..."), pDocumentName);

    PPRINTPROCESSORDATA pData = nullptr;
    if (!PASSED(!(pData = ValidateHandle(hPrintProcessor)))) return FALSE;

    if (pData->fClientSideRendering) {
        QLLOG(LOG_INF, WSTR("Client Side Rendering not supported for doc <%s>"), pDocumentName);
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }

    BOOL fReadyMade = FALSE;
    BOOL fCompressed = FALSE;
    if (!ReadAheadJobData(pDocumentName, &fReadyMade, &fCompressed)) {
        // Nothing to print counts as printed for the spooler.
        QLLOG(LOG_ERR, WSTR("End of Data reached (%d)"), GetLastError());
        return TRUE;
    }
    if (fCompressed) {
        QLLOG(LOG_TRC, WSTR("Compressed Printjob found"));
        pData->fCompressedJob = 1;
    }

    if (pData->hNativeJob) {
        ClosePortMonitorChannel(pData->hNativeJob);
        pData->hNativeJob = nullptr;
    }

    switch (pData->dwJobType) {
    case JOBTYPE_RAW:
    case JOBTYPE_RAW_FF_APPENDED:
    case JOBTYPE_RAW_FF_AUTO:
        QLLOG(LOG_TRC, WSTR("RAW Job detected, call PrintRawJob"));
        return PrintRawJob(pData, pDocumentName, pData->dwJobType);

    case JOBTYPE_EMF:
        if (fReadyMade) {
            QLLOG(LOG_TRC, WSTR("ReadAHead detect an QLRAWPrintJob!, call PrintRawJob"));
            pData->dwJobType = JOBTYPE_RAW;
            return PrintRawJob(pData, pDocumentName, JOBTYPE_RAW);
        }
        if (!IsQLSpoolBridgeJob(pData->hPrinter, pData)) {
            QLLOG(LOG_TRC, WSTR("EMF Job detected, call PrintEMFJob"));
            return PrintEMFJob(pData, pDocumentName);
        } else {
            QLLOG(LOG_TRC, WSTR("QLSB detected, call PrintQLEMFJob"));
            pData->pFontList = nullptr;
            BOOL fRtn = PrintQLEMFJob(pData, pDocumentName);
            DWORD dwError = GetLastError();
            FreeFontList(&pData->pFontList);
            SetLastError(dwError);
            return fRtn;
        }

    case JOBTYPE_TEXT:
        QLLOG(LOG_TRC, WSTR("TEXT Job detected, call PrintTextJob"));
        return PrintTextJob(pData, pDocumentName);

    default:
        return TRUE;
    }
}

PAL_EXPORT BOOL WINAPI PrintDocumentOnPrintProcessor(HANDLE hPrintProcessor, LPWSTR pDocumentName) {
    try {
        return PrintDocumentImpl(hPrintProcessor, pDocumentName);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}
