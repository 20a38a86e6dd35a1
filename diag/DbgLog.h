// The process-wide debug log.
//
// Call sites use the QLLOG macro, which tests g_dwDebugLevel before it builds
// any argument, and name their source module by defining QL_MODULE before
// including this header's users, e.g.
//     #define QL_MODULE WSTR("Winprint")
//     QLLOG(LOG_INF, WSTR("PrinterName:%s"), pPrinterName);
#pragma once
#include "palwin.h"

// Level words.
constexpr DWORD LOG_TRC = 0x101;    // trace of a job's progress
constexpr DWORD LOG_INF = 0x201;    // details
constexpr DWORD LOG_ERR = 0x801;    // failures
constexpr DWORD LOG_HEX = 0x10201;  // hex dump at information severity

// Owns one critical section.
class CSync {
public:
    CSync();
    virtual ~CSync();
    CSync(const CSync&) = delete;
    CSync& operator=(const CSync&) = delete;
    void Enter();
    void Leave();

private:
    CRITICAL_SECTION m_cs;
};

class CDbgLog;

// Process-wide copy of the configured DebugLevel; 0 while logging is off.
extern DWORD g_dwDebugLevel;
extern CDbgLog g_DbgLog;

// Formats one message and sends it to the configured targets. For the hex-dump
// level (bit 0x10000) `format` points at the bytes and the one argument after
// it is their count (DWORD). Never changes the thread's last-error code.
void Log(CDbgLog& log, LPCWSTR module, int line, DWORD level, LPCWSTR format, ...);

#define QLLOG(level, ...)                                              \
    do {                                                               \
        if (g_dwDebugLevel) Log(g_DbgLog, QL_MODULE, __LINE__, (level), __VA_ARGS__); \
    } while (0)

#define QLLOG_HEX(data, count)                                         \
    do {                                                               \
        if (g_dwDebugLevel)                                            \
            Log(g_DbgLog, QL_MODULE, __LINE__, LOG_HEX, reinterpret_cast<LPCWSTR>(data), (DWORD)(count)); \
    } while (0)

// Check forms: each evaluates its condition exactly once, whether or not
// logging is on, logs a failed check at 0x801 with the last-error code (read
// before logging) and the condition's source text, and yields whether the
// check passed (CHECK, FLUNKKED: the condition was true; PASSED: the failure
// condition was false).
bool DbgCheckFailed(LPCWSTR module, int line, LPCWSTR form, LPCWSTR text);

#define QL_CHECK_FORM(form, cond, text)                                          \
    ((cond) ? true : DbgCheckFailed(QL_MODULE, __LINE__, WSTR(form), WSTR(text)))

#define CHECK(cond) QL_CHECK_FORM("CHECK", (cond), "(" #cond ")")
#define FLUNKKED(cond) QL_CHECK_FORM("FLUNKKED", (cond), "(" #cond ")")
#define PASSED(failcond) QL_CHECK_FORM("PASSED", !(failcond), "!(" #failcond ")")
