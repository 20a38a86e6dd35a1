// Raw job printing: copies the job's data unchanged to the printer.
#define QL_MODULE WSTR("raw")
#include "diag/DbgLog.h"
#include "printproc/Winprint.h"

// The raw path is not part of this build yet: the job is refused.
BOOL PrintRawJob(PPRINTPROCESSORDATA pData, LPWSTR pDocumentName, DWORD dwJobType) {
    (void)pData;
    QLLOG(LOG_ERR, WSTR("PrintRawJob <%s> type %d: not available in this build"), pDocumentName, dwJobType);
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}
