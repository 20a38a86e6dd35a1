// Failures an administrator must see even with the debug log off go to the
// Windows Application event log as error events.
#pragma once
#include "palwin.h"

// Event source every caller passes.
#define QL_EVENT_SOURCE WSTR("Quillon")

// Reports one error event with the text pText under the source pSource.
// Never fails its caller and leaves the thread's last-error code alone.
void ReportEventToLog(LPCWSTR pSource, LPCWSTR pText);
