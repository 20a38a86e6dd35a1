// Event log and INI files for the Linux build.
//
// Events go to the simulated machine's Application log, a file under the
// drive root that keeps every event across processes (palhost.h reads it
// back). As on Windows, a source need not be registered to report: its
// events are kept all the same, only without a message file to expand them.
#pragma once
#include "pal/security.h"
#include "pal/types.h"

#define PAL_API extern "C" __attribute__((visibility("default")))

#define EVENTLOG_SUCCESS 0x0000
#define EVENTLOG_ERROR_TYPE 0x0001
#define EVENTLOG_WARNING_TYPE 0x0002
#define EVENTLOG_INFORMATION_TYPE 0x0004
#define EVENTLOG_AUDIT_SUCCESS 0x0008
#define EVENTLOG_AUDIT_FAILURE 0x0010

#ifndef RPC_S_SERVER_UNAVAILABLE
#define RPC_S_SERVER_UNAVAILABLE 1722L
#endif

// lpUNCServerName: null, empty or the local computer name (with or without
// leading backslashes); any other server is unavailable.
PAL_API HANDLE RegisterEventSourceW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName);
PAL_API BOOL ReportEventW(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid,
                          WORD wNumStrings, DWORD dwDataSize, LPCWSTR* lpStrings, LPVOID lpRawData);
PAL_API BOOL DeregisterEventSource(HANDLE hEventLog);

// Reads one value of an INI file as Win32 does: section and key names match
// case-insensitively, the value is trimmed of blanks and of one pair of
// enclosing quotes, a missing file, section or key gives lpDefault (trailing
// blanks removed; null = ""). The text is truncated to nSize - 1 characters
// and the count copied is returned. A null lpAppName lists the section names,
// a null lpKeyName the section's keys, each NUL-terminated, the list ended by
// a second NUL (truncated lists return nSize - 2). A file name without a
// path is looked up in C:\Windows. Files are read as UTF-16 with a byte order
// mark, UTF-8 with one, or else Windows-1252.
PAL_API DWORD GetPrivateProfileStringW(LPCWSTR lpAppName, LPCWSTR lpKeyName, LPCWSTR lpDefault,
                                       LPWSTR lpReturnedString, DWORD nSize, LPCWSTR lpFileName);
