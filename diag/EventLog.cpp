// Event log reporting.
//
// Every report registers the source (so no installer step is needed), writes
// one error event and deregisters. Registration writes below
// HKEY_LOCAL_MACHINE, which the job's user normally may not do, so the whole
// report runs under the spooler's own identity and the user's impersonation
// is restored afterwards.
#define QL_MODULE WSTR("raw")
#include "diag/EventLog.h"

#include "diag/DbgLog.h"
#include "port/Impersonate.h"

#include <cstring>

namespace {

// The source's key: this prefix and the source name, in a buffer of
// EVENT_KEY_CCH characters.
#define EVENT_KEY_PREFIX WSTR("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\")
constexpr size_t EVENT_KEY_CCH = 80;
constexpr size_t EVENT_KEY_PREFIX_CCH = sizeof(EVENT_KEY_PREFIX) / sizeof(WCHAR) - 1;
static_assert(EVENT_KEY_PREFIX_CCH + EVENT_SOURCE_MAX_CCH + 1 == EVENT_KEY_CCH);

// The port monitor holds the message table that turns event id 1 and its
// insertion string into the displayed text.
#define EVENT_MESSAGE_FILE WSTR("%SystemRoot%\\System32\\quilmon.dll")
constexpr DWORD EVENT_TYPES_SUPPORTED = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
constexpr DWORD EVENT_ID = 1;
constexpr WORD EVENT_CATEGORY = 0;

size_t SourceLength(LPCWSTR pSource) {
    size_t n = 0;
    while (pSource[n] && n <= EVENT_SOURCE_MAX_CCH) ++n;
    return n;
}

void RegisterSource(LPCWSTR pSource) {
    WCHAR szKey[EVENT_KEY_CCH];
    std::memcpy(szKey, EVENT_KEY_PREFIX, EVENT_KEY_PREFIX_CCH * sizeof(WCHAR));
    const size_t cchSource = SourceLength(pSource);
    std::memcpy(szKey + EVENT_KEY_PREFIX_CCH, pSource, cchSource * sizeof(WCHAR));
    szKey[EVENT_KEY_PREFIX_CCH + cchSource] = 0;

    HKEY hKey = nullptr;
    LONG rc = RegCreateKeyW(HKEY_LOCAL_MACHINE, szKey, &hKey);
    if (rc != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(rc));
        QLLOG(LOG_ERR, WSTR("RegCreateKey fails with %d"), GetLastError());
        return;
    }
    rc = RegSetValueExW(hKey, WSTR("EventMessageFile"), 0, REG_EXPAND_SZ,
                        reinterpret_cast<const BYTE*>(EVENT_MESSAGE_FILE), sizeof(EVENT_MESSAGE_FILE));
    if (rc != ERROR_SUCCESS)
        QLLOG(LOG_ERR, WSTR("RegSetValueEx fails with Rtn=%d, LastErr=%d"), rc, GetLastError());
    const DWORD dwTypes = EVENT_TYPES_SUPPORTED;
    rc = RegSetValueExW(hKey, WSTR("TypesSupported"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwTypes),
                        sizeof(dwTypes));
    if (rc != ERROR_SUCCESS)
        QLLOG(LOG_ERR, WSTR("RegSetValueEx fails with Rtn=%d, LastErr=%d"), rc, GetLastError());
    rc = RegCloseKey(hKey);
    if (rc != ERROR_SUCCESS)
        QLLOG(LOG_ERR, WSTR("RegCloseKey fails with Rtn=%d, LastErr=%d"), rc, GetLastError());
}

void WriteEvent(LPCWSTR pSource, LPCWSTR pText) {
    HANDLE hEventLog = RegisterEventSourceW(nullptr, pSource);
    if (!hEventLog) {
        QLLOG(LOG_ERR, WSTR("RegisterEventSource fails with Rtn=%d, LastErr=%d"), 0, GetLastError());
        return;
    }
    LPCWSTR strings[1] = {pText};
    BOOL fOk = ReportEventW(hEventLog, EVENTLOG_ERROR_TYPE, EVENT_CATEGORY, EVENT_ID, nullptr, 1, 0, strings,
                            nullptr);
    if (!fOk) QLLOG(LOG_ERR, WSTR("ReportEvent fails with Rtn=%d, LastErr=%d"), fOk, GetLastError());
    fOk = DeregisterEventSource(hEventLog);
    if (!fOk) QLLOG(LOG_ERR, WSTR("DeregisterEventSource fails with Rtn=%d, LastErr=%d"), fOk, GetLastError());
}

} // namespace

void ReportEventToLog(LPCWSTR pSource, LPCWSTR pText) {
    const DWORD dwLastError = GetLastError();
    if (!pSource || !*pSource || SourceLength(pSource) > EVENT_SOURCE_MAX_CCH) {
        QLLOG(LOG_ERR, WSTR("Event source refused (empty or longer than %u characters): %s"),
              static_cast<unsigned>(EVENT_SOURCE_MAX_CCH), pText ? pText : WSTR(""));
        SetLastError(dwLastError);
        return;
    }
    if (!pText) pText = WSTR("");

    ImpersonationContext oCon = {};
    BOOL fRevertToSelfTakePlace = FALSE;
    CHECK(fRevertToSelfTakePlace = MyRevertToSelf(&oCon));

    RegisterSource(pSource);
    WriteEvent(pSource, pText);

    if (fRevertToSelfTakePlace) CHECK(MyImpersonateLoggedOnUser(&oCon));
    SetLastError(dwLastError);
}
