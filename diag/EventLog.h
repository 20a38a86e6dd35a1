// Failures an administrator must see even with the debug log off go to the
// Windows Application event log as error events.
#pragma once
#include "palwin.h"

// Event source every caller passes.
#define QL_EVENT_SOURCE WSTR("Quillon")

// Longest source name: the source's registry key is built in a buffer of 80
// characters. Longer names are refused (logged, nothing reported).
constexpr size_t EVENT_SOURCE_MAX_CCH = 24;

// Reports one error event with the text pText under the source pSource.
// Registers the source under
// HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\<source>
// ("EventMessageFile", "TypesSupported") first, under the spooler's own
// identity; the caller's impersonation is restored before returning. Never
// fails its caller and leaves the thread's last-error code alone.
void ReportEventToLog(LPCWSTR pSource, LPCWSTR pText);
