// The EMF record walker's entry point.
//
// Pages are passed through unchanged for now: the spool record header opens a
// block (writer mode 3) and the page data follows as its continuation (mode 2),
// streamed from the job in pieces of at most 4096 bytes, so no page is ever
// held in memory whole. The transformation of bitmap and font records plugs in
// here.
#define QL_MODULE WSTR("ParseEMF")
#include "emf/ParseEMF.h"

#include "diag/DbgLog.h"
#include "native/JobWriter.h"
#include "printproc/raw.h"

#include <cstring>

namespace {

constexpr DWORD SPOOL_RECORD_HEADER_SIZE = 8;

} // namespace

BOOL ParseEMF(HANDLE hReader, PPRINTPROCESSORDATA pData, const BYTE* pRecordHeader, PCOMPRCNF pComprCnf) {
    (void)pComprCnf;
    if (!PASSED(pData == 0) || !PASSED(pRecordHeader == 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    DWORD cbPage = 0;
    std::memcpy(&cbPage, pRecordHeader + 4, sizeof(cbPage));
    QLLOG(LOG_TRC, WSTR("ParseEMF: page of %lu bytes passed through"), cbPage);

    if (!WriteJobOutput(pData, pRecordHeader, SPOOL_RECORD_HEADER_SIZE, WRITE_RECORD_HEADER)) return FALSE;
    // With a destination and no buffer the reader streams the body through its
    // own 4096-byte block straight to the job writer.
    if (!ReadJobData(hReader, pData->hPrinter, nullptr, cbPage, pData, nullptr, nullptr, WRITE_CONTINUE)) {
        QLLOG(LOG_ERR, WSTR("ParseEMF: page data ended early (%lu bytes expected)"), cbPage);
        return FALSE;
    }
    return pData->fJobAborted ? FALSE : TRUE;
}
