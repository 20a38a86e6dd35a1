// The process-wide debug log.
//
// Call sites use the QLLOG macro, which tests g_dwDebugLevel before it builds
// any argument, and name their source module by defining QL_MODULE before
// including this header's users, e.g.
//     #define QL_MODULE WSTR("Winprint")
//     QLLOG(LOG_INF, WSTR("PrinterName:%s"), pPrinterName);
#pragma once
#include "palwin.h"

#include <cstdio>
#include <memory>

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

// Bits of the configuration word m_dwLevel (registry value DebugLevel).
constexpr DWORD DBG_CATEGORY_MASK = 0x000000FF;  // categories logged; 0 = off
constexpr DWORD DBG_SEVERITY_MASK = 0x00001F00;  // severities suppressed
constexpr DWORD DBG_HEXDUMP = 0x00010000;        // level word: hex-dump message
constexpr DWORD DBG_DEBUGGER = 0x00020000;       // OutputDebugStringW
constexpr DWORD DBG_ENABLE = 0x00040000;         // passes the early test, no output of its own
constexpr DWORD DBG_SYSLOG = 0x00080000;         // UDP syslog
constexpr DWORD DBG_MSGBOX = 0x00100000;         // message box for ERR and FAT
constexpr DWORD DBG_NOFILE = 0x00200000;         // no usable DebugFile (set by Init)
constexpr DWORD DBG_BUFFERED = 0x00400000;       // file writes gathered in memory
constexpr DWORD DBG_CONSOLE = 0x00800000;        // standard output

// Characters of the memory buffer of buffered mode.
constexpr size_t DBG_BUFFER_CCH = 10000;
// Milliseconds between file writes in buffered mode.
constexpr LONGLONG DBG_FLUSH_INTERVAL_MS = 5000;
// Characters of every formatting buffer (header, message, line).
constexpr size_t DBG_LINE_CCH = 1024;

// The debug log: configured once from the registry, sends each finished line
// to the file (direct or buffered), debugger, console, syslog and message box
// targets that the configuration word selects.
class CDbgLog {
public:
    // An 8-bit copy (runtime code page) of a UTF-16 string, for one call.
    class CT2A {
    public:
        explicit CT2A(LPCWSTR psz);
        // Converts exactly cch characters (embedded "\n" included).
        CT2A(LPCWSTR psz, size_t cch);
        virtual ~CT2A();
        CT2A(const CT2A&) = delete;
        CT2A& operator=(const CT2A&) = delete;
        const char* c_str() const { return m_psz ? m_psz.get() : ""; }
        size_t length() const { return m_cch; }

    private:
        std::unique_ptr<char[]> m_psz;
        size_t m_cch = 0;
    };

    CDbgLog();
    virtual ~CDbgLog();
    CDbgLog(const CDbgLog&) = delete;
    CDbgLog& operator=(const CDbgLog&) = delete;

    // Reads DebugLevel, DebugFile and DebugSyslog from the key path under
    // HKEY_LOCAL_MACHINE and sets up the buffer and the syslog socket.
    // Stores the level read in g_dwDebugLevel.
    virtual void Init(LPCWSTR pszAppName, LPCWSTR pszKeyPath);
    // Sends one finished line to the targets. A hex dump travels with the
    // line it belongs to; only the file target writes its bytes.
    virtual void Output(LPCWSTR pszLine, DWORD dwLevel, const BYTE* pDumpData = nullptr, DWORD cbDumpData = 0);
    // Writes count/16 + 1 dump rows to an open file.
    virtual void HexDump(FILE* pFile, const BYTE* pData, DWORD cbData);

    // Read-only views of the configuration, for diagnostics and tests.
    DWORD Level() const { return m_dwLevel; }
    LPCWSTR DebugFile() const { return m_szDebugFile; }
    LPCWSTR SyslogHost() const { return m_szSyslogHost; }
    bool HasBuffer() const { return m_pBuffer != nullptr; }
    size_t BufferedChars() const { return m_cchBuffer; }
    bool HasSocket() const { return m_socket != INVALID_SOCKET; }
    // Whether a message of this level word passes the configuration (the
    // test Log makes before it formats anything).
    bool Writes(DWORD level) const;

private:
    friend void Log(CDbgLog& log, LPCWSTR module, int line, DWORD level, LPCWSTR format, ...);
    void WriteFileLine(LPCWSTR pszLine, size_t cchLine, const BYTE* pDumpData, DWORD cbDumpData);

    WCHAR m_szDebugFile[MAX_PATH];
    DWORD m_dwLevel;
    LPCWSTR m_pszAppName;
    std::unique_ptr<WCHAR[]> m_pBuffer;
    size_t m_cchBuffer;
    LONGLONG m_tNextFlush;
    const BYTE* m_pDumpData;
    DWORD m_cbDumpData;
    WCHAR m_szSyslogHost[MAX_PATH];
    SOCKET m_socket;
    SOCKADDR_IN m_addrSyslog;
    CSync m_sync;
};

// Process-wide copy of the configured DebugLevel; 0 while logging is off.
extern DWORD g_dwDebugLevel;
extern CDbgLog g_DbgLog;

// Formats one message and sends it to the configured targets. For the hex-dump
// level (bit 0x10000) `format` points at the bytes and the one argument after
// it is their count (DWORD). Never changes the thread's last-error code.
void Log(CDbgLog& log, LPCWSTR module, int line, DWORD level, LPCWSTR format, ...);

// Whether QLLOG at this level writes anywhere: for work done only to be logged.
inline bool DbgLogWrites(DWORD level) {
    return g_dwDebugLevel && g_DbgLog.Writes(level);
}

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
