#define QL_MODULE WSTR("WinPort")
#include "port/WinPort.h"

#include "diag/DbgLog.h"
#include "palfmt.h"

// Answer buffer of the "GetPortType" query, in bytes.
constexpr DWORD PORTTYPE_ANSWER_BYTES = 1024;

CRevertToSelfScope::CRevertToSelfScope() : m_oCon{}, m_fRevertToSelfTakePlace(FALSE) {
    CHECK(m_fRevertToSelfTakePlace = MyRevertToSelf(&m_oCon));
}

CRevertToSelfScope::~CRevertToSelfScope() {
    if (m_fRevertToSelfTakePlace) CHECK(MyImpersonateLoggedOnUser(&m_oCon));
}

DWORD CWinPort::TestAllPortInPortList(LPCWSTR pszPortName, LPCWSTR pszPortType) {
    if (!pszPortName) {
        QLLOG(LOG_INF, WSTR("TestAllPortInPortList called with NULL Pointer"));
        return ERROR_INVALID_PARAMETER;
    }

    // The port monitor is asked as the spooler; the scope returns the thread
    // to the job user's identity on every path below.
    CRevertToSelfScope oRevert;
    WCHAR szChannel[MAX_PATH + 16] = {};
    PalFormatW(szChannel, sizeof(szChannel) / sizeof(szChannel[0]), WSTR(",XcvPort %s"), pszPortName);

    HANDLE hXcv = nullptr;
    if (!OpenPrinterW(szChannel, &hXcv, nullptr)) {
        QLLOG(LOG_INF, WSTR("open <%s> fails with %d"), szChannel, GetLastError());
        return 1;
    }

    WCHAR szAnswer[PORTTYPE_ANSWER_BYTES / sizeof(WCHAR)] = {};
    DWORD cbNeeded = 0;
    DWORD dwStatus = 0;
    BOOL fRtn = XcvDataW(hXcv, WSTR("GetPortType"), nullptr, 0, reinterpret_cast<PBYTE>(szAnswer),
                         PORTTYPE_ANSWER_BYTES, &cbNeeded, &dwStatus);
    // The monitor's answer is not trusted to be terminated.
    szAnswer[PORTTYPE_ANSWER_BYTES / sizeof(WCHAR) - 1] = 0;
    QLLOG(LOG_INF, WSTR("fRtn: %d, dwStatus: %d, szAnswer: <%s>"), fRtn, dwStatus, szAnswer);

    DWORD dwResult = 1;
    if (fRtn && dwStatus == 0 && pszPortType && lstrcmpiW(szAnswer, pszPortType) == 0) dwResult = 0;
    ClosePrinter(hXcv);
    return dwResult;
}
