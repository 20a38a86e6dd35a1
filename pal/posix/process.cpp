// Process facts: time, tick counts, the performance counter, thread and
// process ids, the version, the computer name and environment variables.
#include "core.h"

#include "palhost.h"
#include "palwin.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <sys/syscall.h>
#include <unistd.h>

namespace pal {
namespace {

struct NameState {
    std::mutex lock;
    std::u16string name = u"QLHOST";
};

NameState& Names() {
    static NameState* s = new NameState; // read by late log lines during process exit
    return *s;
}

void FillSystemTime(const struct tm& t, long nanos, LPSYSTEMTIME st) {
    st->wYear = static_cast<WORD>(t.tm_year + 1900);
    st->wMonth = static_cast<WORD>(t.tm_mon + 1);
    st->wDayOfWeek = static_cast<WORD>(t.tm_wday);
    st->wDay = static_cast<WORD>(t.tm_mday);
    st->wHour = static_cast<WORD>(t.tm_hour);
    st->wMinute = static_cast<WORD>(t.tm_min);
    st->wSecond = static_cast<WORD>(std::min(t.tm_sec, 59));
    st->wMilliseconds = static_cast<WORD>(nanos / 1000000);
}

ULONGLONG MonotonicNanos() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<ULONGLONG>(ts.tv_sec) * 1000000000ULL + static_cast<ULONGLONG>(ts.tv_nsec);
}

// Variables whose Windows value the process environment of this host cannot
// give; they answer the simulated machine's directories.
bool FixedVariable(std::u16string_view name, std::u16string& value) {
    auto is = [&](std::u16string_view n) {
        if (n.size() != name.size()) return false;
        for (size_t i = 0; i < n.size(); ++i)
            if (FoldLower(n[i]) != FoldLower(name[i])) return false;
        return true;
    };
    if (is(u"SystemRoot") || is(u"windir")) value = u"C:\\Windows";
    else if (is(u"TEMP") || is(u"TMP")) value = u"C:\\Windows\\Temp";
    else if (is(u"SystemDrive")) value = u"C:";
    else if (is(u"COMPUTERNAME")) value = ComputerName();
    else return false;
    return true;
}

// A variable's value; names are matched without regard to case, as Windows does.
bool LookupVariable(std::u16string_view name, std::u16string& value) {
    if (name.empty()) return false;
    if (FixedVariable(name, value)) return true;
    const std::string narrow = Utf16ToUtf8(name);
    if (const char* v = std::getenv(narrow.c_str())) {
        value = Utf8ToUtf16(v);
        return true;
    }
    for (char** e = environ; e && *e; ++e) {
        std::string_view entry(*e);
        size_t eq = entry.find('=');
        if (eq == std::string_view::npos || eq != narrow.size()) continue;
        bool same = true;
        for (size_t i = 0; i < eq && same; ++i)
            same = FoldLower(static_cast<unsigned char>(entry[i])) == FoldLower(static_cast<unsigned char>(narrow[i]));
        if (same) {
            value = Utf8ToUtf16(entry.substr(eq + 1));
            return true;
        }
    }
    return false;
}

} // namespace

std::u16string ComputerName() {
    NameState& s = Names();
    std::lock_guard<std::mutex> g(s.lock);
    return s.name;
}

namespace host {

void SetComputerName(const std::u16string& name) {
    NameState& s = Names();
    std::lock_guard<std::mutex> g(s.lock);
    s.name = name;
}

std::vector<std::string> OpenHandles() { return OpenHandleList(); }

} // namespace host
} // namespace pal

PAL_API void GetLocalTime(LPSYSTEMTIME lpSystemTime) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm t;
    localtime_r(&ts.tv_sec, &t);
    pal::FillSystemTime(t, ts.tv_nsec, lpSystemTime);
}

PAL_API void GetSystemTime(LPSYSTEMTIME lpSystemTime) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm t;
    gmtime_r(&ts.tv_sec, &t);
    pal::FillSystemTime(t, ts.tv_nsec, lpSystemTime);
}

PAL_API ULONGLONG GetTickCount64(void) { return pal::MonotonicNanos() / 1000000ULL; }
PAL_API DWORD GetTickCount(void) { return static_cast<DWORD>(GetTickCount64()); }

// 10 MHz, the frequency Windows 10 reports on current hardware.
PAL_API BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
    if (!lpPerformanceCount) return FALSE;
    lpPerformanceCount->QuadPart = static_cast<LONGLONG>(pal::MonotonicNanos() / 100ULL);
    return TRUE;
}

PAL_API BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
    if (!lpFrequency) return FALSE;
    lpFrequency->QuadPart = 10000000;
    return TRUE;
}

PAL_API DWORD GetCurrentThreadId(void) {
    thread_local const DWORD id = static_cast<DWORD>(syscall(SYS_gettid));
    return id;
}

PAL_API DWORD GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

PAL_API BOOL GetVersionExW(LPOSVERSIONINFOW lpVersionInformation) {
    static_assert(sizeof(OSVERSIONINFOW) == 276);
    if (!lpVersionInformation || lpVersionInformation->dwOSVersionInfoSize < sizeof(OSVERSIONINFOW)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    lpVersionInformation->dwMajorVersion = 10;
    lpVersionInformation->dwMinorVersion = 0;
    lpVersionInformation->dwBuildNumber = 19045;
    lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
    std::fill(std::begin(lpVersionInformation->szCSDVersion), std::end(lpVersionInformation->szCSDVersion), 0);
    return TRUE;
}

PAL_API BOOL GetComputerNameW(LPWSTR lpBuffer, LPDWORD nSize) {
    if (!nSize) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::u16string name = pal::ComputerName();
    if (!lpBuffer || *nSize < name.size() + 1) {
        *nSize = static_cast<DWORD>(name.size() + 1);
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
    std::copy(name.begin(), name.end(), lpBuffer);
    lpBuffer[name.size()] = 0;
    *nSize = static_cast<DWORD>(name.size());
    return TRUE;
}

PAL_API DWORD GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize) {
    std::u16string value;
    if (!pal::LookupVariable(pal::WView(lpName), value)) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    return pal::CopyOutString(value, lpBuffer, nSize);
}

// %NAME% is replaced by the variable's value; unknown references and a lone
// "%" stay as written. Returns the size with the terminator, also when the
// buffer is too small (then the buffer receives what fits).
PAL_API DWORD ExpandEnvironmentStringsW(LPCWSTR lpSrc, LPWSTR lpDst, DWORD nSize) {
    if (!lpSrc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::u16string_view src = pal::WView(lpSrc);
    std::u16string out;
    for (size_t i = 0; i < src.size();) {
        if (src[i] == u'%') {
            size_t close = src.find(u'%', i + 1);
            std::u16string value;
            if (close != std::u16string_view::npos && pal::LookupVariable(src.substr(i + 1, close - i - 1), value)) {
                out += value;
                i = close + 1;
                continue;
            }
            if (close != std::u16string_view::npos) {
                // Not a variable: the reference stays as written.
                out.append(src.substr(i, close - i + 1));
                i = close + 1;
                continue;
            }
        }
        out += src[i++];
    }
    const DWORD needed = static_cast<DWORD>(out.size() + 1);
    if (lpDst && nSize > 0) {
        size_t n = std::min<size_t>(out.size(), nSize - 1);
        std::copy_n(out.begin(), n, lpDst);
        lpDst[n] = 0;
    }
    return needed;
}
