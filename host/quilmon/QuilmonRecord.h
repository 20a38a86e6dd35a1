// The recording interface of the simulated port monitor "quilmon.dll".
//
// The monitor records every call the print processor makes into it. The host
// and the tests read the records through the export QuilmonTakeCalls, found
// with GetModuleHandleW(QUILMON_DLL) and GetProcAddress, so that they see the
// same copy of the monitor the print processor loaded.
#pragma once
#include "palwin.h"
#include "port/QuilmonApi.h"

// Which export was called.
#define QUILMON_FN_INCREMENT_PAGE_COUNT 1
#define QUILMON_FN_SET_PRINT_COPY_COUNT 2
#define QUILMON_FN_UPDATE_STATISTICS 3
// The view library behind InitializeAGNP (native printing), one record per
// step of a native job; szArg1 is always the job's destination printer.
#define QUILMON_FN_VIEW_OPEN 4     // szArg2 document name, dwValue open options
#define QUILMON_FN_VIEW_REFUSED 5  // szArg2 why, dwValue the view library's error code
#define QUILMON_FN_VIEW_SUBMIT 6   // szArg2 document name or why not, dwValue spooler job id (0: none)
#define QUILMON_FN_VIEW_PRINTED 7  // szArg2 "printed" or "failed, error N", dwValue spooler job id
#define QUILMON_FN_VIEW_CLOSE 8    // szArg2 "", dwValue bytes the job received

#define QUILMON_ARG_CCH 260

// One recorded call. String arguments longer than QUILMON_ARG_CCH - 1
// characters are cut; a null argument is flagged and stored as "".
struct QuilmonCall {
    DWORD dwSequence;  // 1-based order of the call since the monitor was loaded
    DWORD dwFunction;  // QUILMON_FN_*
    DWORD dwThreadId;  // thread that made the call
    DWORD dwValue;     // copy count or document byte count, 0 for page counts
    BOOL fArg1Null;
    BOOL fArg2Null;
    WCHAR szArg1[QUILMON_ARG_CCH];  // port name, or printer name for statistics
    WCHAR szArg2[QUILMON_ARG_CCH];  // computer name, or server name for statistics
};
static_assert(sizeof(QuilmonCall) == 24 + 2 * 2 * QUILMON_ARG_CCH);
static_assert(offsetof(QuilmonCall, dwFunction) == 4);
static_assert(offsetof(QuilmonCall, dwValue) == 12);
static_assert(offsetof(QuilmonCall, szArg1) == 24);
static_assert(offsetof(QuilmonCall, szArg2) == 24 + 2 * QUILMON_ARG_CCH);

// With pCalls null or cMax 0: returns the number of recorded calls waiting,
// leaving them in place. Otherwise moves the oldest min(cMax, waiting) calls
// into pCalls, in call order, and returns how many it moved.
typedef DWORD(WINAPI* PFN_QuilmonTakeCalls)(QuilmonCall* pCalls, DWORD cMax);
#define QUILMON_TAKE_CALLS "QuilmonTakeCalls"

// Makes the view library fail on purpose, for tests. The fault stays until it
// is set to QUILMON_VIEW_FAULT_NONE. A missing InitializeAGNP export is the
// platform layer's fault "GetProcAddress InitializeAGNP".
#define QUILMON_VIEW_FAULT_NONE 0
#define QUILMON_VIEW_FAULT_NO_TABLE 1     // InitializeAGNP returns null
#define QUILMON_VIEW_FAULT_SHORT_TABLE 2  // the table's cbSize is 32: no last-error function
#define QUILMON_VIEW_FAULT_OPEN 3         // opens for pPrinter (every open when null) fail
#define QUILMON_VIEW_FAULT_WRITE 4        // writes to native jobs for pPrinter (every job when null) fail
typedef void(WINAPI* PFN_QuilmonSetViewFault)(DWORD dwFault, LPCWSTR pPrinter);
#define QUILMON_SET_VIEW_FAULT "QuilmonSetViewFault"
