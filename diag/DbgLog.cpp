// The process-wide debug log: configuration from the registry, line
// formatting and the five output targets.
#include "diag/DbgLog.h"

#include "diag/DbgClock.h"
#include "palfmt.h"

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <new>

DWORD g_dwDebugLevel = 0;
CDbgLog g_DbgLog;

// ---- clock -------------------------------------------------------------------------

namespace {

LONGLONG DefaultClock() { return static_cast<LONGLONG>(GetTickCount64()); }

constinit std::atomic<PFN_DBGCLOCK> s_pfnClock{nullptr};

}  // namespace

LONGLONG DbgClockNow()
{
    PFN_DBGCLOCK pfn = s_pfnClock.load(std::memory_order_acquire);
    return pfn ? pfn() : DefaultClock();
}

void DbgSetClock(PFN_DBGCLOCK pfnClock) { s_pfnClock.store(pfnClock, std::memory_order_release); }

// ---- CSync ----------------------------------------------------------------------------

CSync::CSync() { InitializeCriticalSection(&m_cs); }
CSync::~CSync() { DeleteCriticalSection(&m_cs); }
void CSync::Enter() { EnterCriticalSection(&m_cs); }
void CSync::Leave() { LeaveCriticalSection(&m_cs); }

namespace {

// Holds a CSync for one scope.
class CSyncLock {
public:
    explicit CSyncLock(CSync& sync) : m_sync(sync) { m_sync.Enter(); }
    ~CSyncLock() { m_sync.Leave(); }
    CSyncLock(const CSyncLock&) = delete;
    CSyncLock& operator=(const CSyncLock&) = delete;

private:
    CSync& m_sync;
};

// Puts the thread's last-error code back when the scope ends, whichever way.
class CKeepLastError {
public:
    CKeepLastError() : m_dwError(GetLastError()) {}
    ~CKeepLastError() { SetLastError(m_dwError); }
    CKeepLastError(const CKeepLastError&) = delete;
    CKeepLastError& operator=(const CKeepLastError&) = delete;

private:
    DWORD m_dwError;
};

constexpr size_t kShortCch = 128;       // time and category fields
constexpr size_t kBufferLimit = 9998;   // a line goes to the buffer only below this total
constexpr WORD kSyslogPort = 514;
constexpr UINT kMessageBoxStyle = MB_SERVICE_NOTIFICATION | MB_ICONINFORMATION;

const WCHAR* const kCategoryNames[8] = {WSTR("NORM"), WSTR("SPOOL"), WSTR("EMF"),  WSTR("FONT"),
                                        WSTR("PORT"), WSTR("NET"),   WSTR("CONF"), WSTR("USER")};

LPCWSTR SeverityName(DWORD dwLevel)
{
    switch (dwLevel & DBG_SEVERITY_MASK) {
    case 0x100: return WSTR("TRC");
    case 0x200: return WSTR("INF");
    case 0x400: return WSTR("WRN");
    case 0x800: return WSTR("ERR");
    case 0x1000: return WSTR("FAT");
    default: return WSTR("???");
    }
}

// Appends the names of the category bits of dwLevel, separated by ",", to
// a buffer of cch characters.
void FormatCategories(WCHAR* psz, size_t cch, DWORD dwLevel)
{
    size_t used = 0;
    psz[0] = 0;
    for (int bit = 0; bit < 8; ++bit) {
        if (!(dwLevel & (1u << bit)))
            continue;
        used += PalFormatW(psz + used, cch - used, used ? WSTR(",%s") : WSTR("%s"), kCategoryNames[bit]);
        if (used + 1 >= cch)
            break;
    }
}

// A registry string value of at most MAX_PATH - 1 characters, terminated.
// False when the read fails, the type is not REG_SZ or the text is too long.
bool ReadRegString(HKEY hKey, LPCWSTR pszName, WCHAR (&szOut)[MAX_PATH])
{
    WCHAR sz[MAX_PATH] = {};
    DWORD dwType = 0;
    DWORD cb = sizeof(sz);
    if (RegQueryValueExW(hKey, pszName, nullptr, &dwType, reinterpret_cast<LPBYTE>(sz), &cb) != ERROR_SUCCESS)
        return false;
    if (dwType != REG_SZ || cb > sizeof(sz))
        return false;
    size_t cch = cb / sizeof(WCHAR);
    // The stored value may or may not carry its terminator.
    if (cch == MAX_PATH && sz[MAX_PATH - 1] != 0)
        return false;
    if (cch < MAX_PATH)
        sz[cch] = 0;
    std::memcpy(szOut, sz, sizeof(sz));
    return true;
}

bool IsPrintableC(unsigned char c) { return c >= 0x20 && c < 0x7F; }

}  // namespace

// ---- CDbgLog::CT2A --------------------------------------------------------------------

CDbgLog::CT2A::CT2A(LPCWSTR psz) : CT2A(psz, psz ? static_cast<size_t>(lstrlenW(psz)) : 0) {}

CDbgLog::CT2A::CT2A(LPCWSTR psz, size_t cch)
{
    // Five bytes per character is room for any code page's longest sequence.
    const size_t cb = cch * 5 + 1;
    try {
        m_psz = std::make_unique<char[]>(cb);
    } catch (const std::bad_alloc&) {
        return;
    }
    if (cch == 0 || !psz)
        return;
    int n = WideCharToMultiByte(CP_ACP, 0, psz, static_cast<int>(cch), m_psz.get(), static_cast<int>(cb - 1),
                                nullptr, nullptr);
    m_cch = n > 0 ? static_cast<size_t>(n) : 0;
    m_psz[m_cch] = 0;
}

CDbgLog::CT2A::~CT2A() = default;

// ---- CDbgLog ------------------------------------------------------------------------------

CDbgLog::CDbgLog()
    : m_szDebugFile{},
      m_dwLevel(0),
      m_pszAppName(nullptr),
      m_cchBuffer(0),
      m_tNextFlush(DbgClockNow() + DBG_FLUSH_INTERVAL_MS),
      m_pDumpData(nullptr),
      m_cbDumpData(0),
      m_szSyslogHost{},
      m_socket(INVALID_SOCKET),
      m_addrSyslog{}
{
    PalFormatW(m_szSyslogHost, MAX_PATH, WSTR("%s"), WSTR("127.0.0.1"));
}

CDbgLog::~CDbgLog()
{
    // Lines still in the buffer are dropped, as documented: the buffer is only
    // written when a later line arrives.
    if (m_socket != INVALID_SOCKET) {
        closesocket(m_socket);
        m_socket = INVALID_SOCKET;
    }
}

void CDbgLog::Init(LPCWSTR pszAppName, LPCWSTR pszKeyPath)
{
    m_pszAppName = pszAppName;

    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, pszKeyPath, 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
        g_dwDebugLevel = 0;
        return;
    }

    DWORD dwType = 0;
    DWORD dwValue = 0;
    DWORD cb = sizeof(dwValue);
    LONG rc = RegQueryValueExW(hKey, WSTR("DebugLevel"), nullptr, &dwType, reinterpret_cast<LPBYTE>(&dwValue), &cb);
    m_dwLevel = rc == ERROR_SUCCESS ? dwValue : 0;
    g_dwDebugLevel = m_dwLevel;
    if (rc != ERROR_SUCCESS || dwType != REG_DWORD || m_dwLevel == 0) {
        RegCloseKey(hKey);
        return;
    }

    if (!ReadRegString(hKey, WSTR("DebugFile"), m_szDebugFile) || m_szDebugFile[0] == 0) {
        m_dwLevel |= DBG_NOFILE;
        m_szDebugFile[0] = 0;
    }
    WCHAR szHost[MAX_PATH];
    if (ReadRegString(hKey, WSTR("DebugSyslog"), szHost))
        std::memcpy(m_szSyslogHost, szHost, sizeof(szHost));
    RegCloseKey(hKey);

    if (!(m_dwLevel & DBG_NOFILE) && (m_dwLevel & DBG_BUFFERED)) {
        try {
            m_pBuffer = std::make_unique<WCHAR[]>(DBG_BUFFER_CCH);
        } catch (const std::bad_alloc&) {
            m_pBuffer.reset();
        }
        m_cchBuffer = 0;
    }

    // The socket is made whatever the syslog bit says; the bit only decides
    // whether lines are sent on it.
    if (m_socket != INVALID_SOCKET)
        closesocket(m_socket);
    m_socket = socket(AF_INET, SOCK_DGRAM, 0);
    if (m_socket == INVALID_SOCKET)
        return;
    CT2A host(m_szSyslogHost);
    m_addrSyslog = {};
    m_addrSyslog.sin_family = AF_INET;
    m_addrSyslog.sin_port = htons(kSyslogPort);
    m_addrSyslog.sin_addr.s_addr = inet_addr(host.c_str());
    if (connect(m_socket, reinterpret_cast<const SOCKADDR*>(&m_addrSyslog), sizeof(m_addrSyslog)) != 0) {
        closesocket(m_socket);
        m_socket = INVALID_SOCKET;
    }
}

void CDbgLog::Output(LPCWSTR pszLine, DWORD dwLevel, const BYTE* pDumpData, DWORD cbDumpData)
{
    const DWORD c = m_dwLevel;
    const size_t cchLine = wcsnlen(pszLine, DBG_LINE_CCH - 1);

    if (c & DBG_CONSOLE) {
        // Date, time, thread and level are left out on the console.
        const WCHAR* p = pszLine;
        for (int field = 0; field < 4 && *p; ++field) {
            while (*p && *p != ' ')
                ++p;
            if (*p == ' ')
                ++p;
        }
        CT2A rest(p, cchLine - static_cast<size_t>(p - pszLine));
        std::fputc('\n', stdout);
        std::fwrite(rest.c_str(), 1, rest.length(), stdout);
        std::fflush(stdout);
    }

    if (c & DBG_DEBUGGER) {
        WCHAR sz[DBG_LINE_CCH + 1];
        std::memcpy(sz, pszLine, cchLine * sizeof(WCHAR));
        sz[cchLine] = '\n';
        sz[cchLine + 1] = 0;
        OutputDebugStringW(sz);
    }

    if (!(c & DBG_NOFILE) && m_szDebugFile[0])
        WriteFileLine(pszLine, cchLine, pDumpData, cbDumpData);

    if (c & DBG_SYSLOG) {
        WCHAR sz[DBG_LINE_CCH + MAX_PATH + 8];
        size_t cch = PalFormatW(sz, sizeof(sz) / sizeof(sz[0]), WSTR("<14>%s: %s"),
                                m_pszAppName ? m_pszAppName : WSTR(""), pszLine);
        CT2A datagram(sz, cch);
        CSyncLock lock(m_sync);
        send(m_socket, datagram.c_str(), static_cast<int>(datagram.length()), 0);
    }

    if ((c & DBG_MSGBOX) && (dwLevel & 0x1800))
        MessageBoxW(nullptr, pszLine, m_pszAppName, kMessageBoxStyle);
}

void CDbgLog::WriteFileLine(LPCWSTR pszLine, size_t cchLine, const BYTE* pDumpData, DWORD cbDumpData)
{
    const bool fDump = pDumpData && cbDumpData;
    CSyncLock lock(m_sync);

    if (m_pBuffer && (m_dwLevel & DBG_BUFFERED) && cchLine + m_cchBuffer < kBufferLimit &&
        DbgClockNow() < m_tNextFlush && !fDump) {
        std::memcpy(m_pBuffer.get() + m_cchBuffer, pszLine, cchLine * sizeof(WCHAR));
        m_cchBuffer += cchLine;
        m_pBuffer[m_cchBuffer++] = '\n';
        return;
    }

    FILE* pFile = _wfopen(m_szDebugFile, WSTR("a"));
    if (!pFile)
        return;

    m_tNextFlush = DbgClockNow() + DBG_FLUSH_INTERVAL_MS;
    if (m_pBuffer && m_cchBuffer) {
        CT2A held(m_pBuffer.get(), m_cchBuffer);
        std::fwrite(held.c_str(), 1, held.length(), pFile);
        m_cchBuffer = 0;
    }

    CT2A line(pszLine, cchLine);
    std::fwrite(line.c_str(), 1, line.length(), pFile);
    if (fDump) {
        // The fields mirror the dump being written; the bytes themselves come
        // with this call, so no other thread's line can take or clear them.
        m_pDumpData = pDumpData;
        m_cbDumpData = cbDumpData;
        HexDump(pFile, pDumpData, cbDumpData);
        m_pDumpData = nullptr;
        m_cbDumpData = 0;
    }
    std::fputc('\n', pFile);
    std::fclose(pFile);
}

void CDbgLog::HexDump(FILE* pFile, const BYTE* pData, DWORD cbData)
{
    static const char kHex[] = "0123456789abcdef";
    const DWORD rows = cbData / 16 + 1;
    DWORD offset = 0;
    for (DWORD row = 0; row < rows; ++row) {
        char sz[5 + 16 * 3 + 3 + 16 + 1];
        size_t n = 0;
        std::memcpy(sz, "\n    ", 5);
        n = 5;
        const DWORD count = cbData - offset < 16 ? cbData - offset : 16;
        for (DWORD i = 0; i < count; ++i) {
            const BYTE b = pData[offset + i];
            sz[n++] = kHex[b >> 4];
            sz[n++] = kHex[b & 0xF];
            sz[n++] = ' ';
        }
        std::memcpy(sz + n, "  :", 3);
        n += 3;
        for (DWORD i = 0; i < count; ++i) {
            const BYTE b = pData[offset + i];
            sz[n++] = IsPrintableC(b) ? static_cast<char>(b) : '.';
        }
        std::fwrite(sz, 1, n, pFile);
        offset += count;
    }
}

// ---- Log ----------------------------------------------------------------------------------

bool CDbgLog::Writes(DWORD level) const
{
    const DWORD c = m_dwLevel;
    if ((c & DBG_CATEGORY_MASK) == 0)
        return false;
    if ((c & (DBG_NOFILE | DBG_DEBUGGER | DBG_ENABLE | DBG_SYSLOG)) == DBG_NOFILE)
        return false;
    if ((level & c & DBG_CATEGORY_MASK) == 0)
        return false;
    return (level & ~c & DBG_SEVERITY_MASK) != 0;
}

void Log(CDbgLog& log, LPCWSTR module, int line, DWORD level, LPCWSTR format, ...)
{
    if (!log.Writes(level))
        return;

    CKeepLastError keep;
    try {
        SYSTEMTIME st{};
        GetLocalTime(&st);
        const DWORD dwThread = GetCurrentThreadId();

        WCHAR szTime[kShortCch];
        PalFormatW(szTime, kShortCch, WSTR("%02d/%02d %02d:%02d:%02d:%03d Id:%03u"), st.wMonth, st.wDay, st.wHour,
                   st.wMinute, st.wSecond, st.wMilliseconds, dwThread);

        WCHAR szCategory[kShortCch];
        FormatCategories(szCategory, kShortCch, level);

        WCHAR szHeader[DBG_LINE_CCH];
        PalFormatW(szHeader, DBG_LINE_CCH, WSTR("_%s_/%s %s:%d (%08x)"), SeverityName(level), szCategory,
                   module ? module : WSTR(""), line, 0u);

        WCHAR szMessage[DBG_LINE_CCH];
        szMessage[0] = 0;
        const BYTE* pDumpData = nullptr;
        DWORD cbDumpData = 0;
        va_list args;
        va_start(args, format);
        if (level & DBG_HEXDUMP) {
            pDumpData = reinterpret_cast<const BYTE*>(format);
            cbDumpData = va_arg(args, DWORD);
        } else if (format) {
            PalFormatVW(szMessage, DBG_LINE_CCH, format, args);
        }
        va_end(args);

        WCHAR szLine[DBG_LINE_CCH];
        PalFormatW(szLine, DBG_LINE_CCH, WSTR("%s %s %s"), szTime, szHeader, szMessage);

        log.Output(szLine, level, pDumpData, cbDumpData);
    } catch (...) {
        // Logging never fails its caller.
    }
}

bool DbgCheckFailed(LPCWSTR module, int line, LPCWSTR form, LPCWSTR text)
{
    const DWORD dwError = GetLastError();
    if (g_dwDebugLevel)
        Log(g_DbgLog, module, line, LOG_ERR, WSTR("[%s<LastError=%d>] %s"), form, static_cast<int>(dwError), text);
    SetLastError(dwError);
    return false;
}
