// Text job printing: renders 8-bit text line by line on the job's device context.
#define QL_MODULE WSTR("Winprint")
#include "diag/DbgLog.h"
#include "printproc/Winprint.h"

// The text path is not part of this build yet: the job is refused.
BOOL PrintTextJob(PPRINTPROCESSORDATA pData, LPWSTR pDocumentName) {
    (void)pData;
    QLLOG(LOG_ERR, WSTR("PrintTextJob <%s>: not available in this build"), pDocumentName);
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}
