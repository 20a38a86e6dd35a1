// JDF attachment. Locating the ticket through the global configuration file
// and sending it is not built yet: no ticket is ever found, so nothing is
// written and the job goes on.
#define QL_MODULE WSTR("Winprint")
#include "gateway/Jdf.h"

#include "diag/DbgLog.h"

BOOL AttachJdf(PPRINTPROCESSORDATA pData) {
    (void)pData;
    QLLOG(LOG_INF, WSTR("JDF action will take place"));
    return TRUE;
}
