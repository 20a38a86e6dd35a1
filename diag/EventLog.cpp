// Event log reporting.
//
// The Windows event log writer (source registration under the spooler's own
// identity, the error event itself, deregistration) comes later; for now the
// text goes to the debug log as an error line so that nothing is lost.
#define QL_MODULE WSTR("raw")
#include "diag/EventLog.h"

#include "diag/DbgLog.h"

void ReportEventToLog(LPCWSTR pSource, LPCWSTR pText) {
    QLLOG(LOG_ERR, WSTR("Event <%s>: %s"), pSource ? pSource : WSTR(""), pText ? pText : WSTR(""));
}
