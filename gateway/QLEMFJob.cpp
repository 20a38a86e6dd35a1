// The gateway job driver: rewrites a gateway driver job's EMF spool data into
// the transport stream and sends it raw to the printer's port.
#define QL_MODULE WSTR("Winprint")
#include "diag/DbgLog.h"
#include "printproc/Winprint.h"

// The gateway pipeline is not part of this build yet: the job is refused.
BOOL PrintQLEMFJob(PPRINTPROCESSORDATA pData, LPWSTR pDocumentName) {
    (void)pData;
    QLLOG(LOG_ERR, WSTR("PrintQLEMFJob <%s>: not available in this build"), pDocumentName);
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}
