// EMF job playback: plays the job's EMF spool data page by page on the printer.
#define QL_MODULE WSTR("Winprint")
#include "diag/DbgLog.h"
#include "printproc/Winprint.h"

// The playback path is not part of this build yet: the job is refused.
BOOL PrintEMFJob(PPRINTPROCESSORDATA pData, LPWSTR pDocumentName) {
    (void)pData;
    QLLOG(LOG_ERR, WSTR("PrintEMFJob <%s>: not available in this build"), pDocumentName);
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}
