// Process facts: time, tick counts, the performance counter, the thread id,
// the version and the computer name.
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

PAL_API ULONGLONG GetTickCount64(void) { return pal::MonotonicNanos() / 1000000ULL; }

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
