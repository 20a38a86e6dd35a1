// Simulated port monitor: the library that LoadLibraryW(L"quilmon.dll")
// loads on Linux. It implements the exports the print processor calls
// directly - InitializeAGNP hands out the view library of ViewLibrary.cpp -
// and records each call for the host and the tests.
#include "host/quilmon/QuilmonRecord.h"
#include "host/quilmon/ViewLibrary.h"
#include "port/QuilmonApi.h"

#include <algorithm>
#include <mutex>
#include <type_traits>
#include <vector>

namespace {

class CallStore {
public:
    void Add(DWORD function, LPCWSTR arg1, LPCWSTR arg2, DWORD value) {
        QuilmonCall call{};
        call.dwFunction = function;
        call.dwThreadId = GetCurrentThreadId();
        call.dwValue = value;
        call.fArg1Null = arg1 == nullptr;
        call.fArg2Null = arg2 == nullptr;
        CopyArg(call.szArg1, arg1);
        CopyArg(call.szArg2, arg2);
        std::lock_guard<std::mutex> lock(m_mutex);
        call.dwSequence = ++m_dwSequence;
        m_calls.push_back(call);
    }

    DWORD Take(QuilmonCall* pCalls, DWORD cMax) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (pCalls == nullptr || cMax == 0) return static_cast<DWORD>(m_calls.size());
        const size_t count = std::min<size_t>(cMax, m_calls.size());
        std::copy_n(m_calls.begin(), count, pCalls);
        m_calls.erase(m_calls.begin(), m_calls.begin() + static_cast<std::ptrdiff_t>(count));
        return static_cast<DWORD>(count);
    }

private:
    static void CopyArg(WCHAR (&dst)[QUILMON_ARG_CCH], LPCWSTR src) {
        size_t i = 0;
        if (src != nullptr) {
            for (; i + 1 < QUILMON_ARG_CCH && src[i] != 0; ++i) dst[i] = src[i];
        }
        dst[i] = 0;
    }

    std::mutex m_mutex;
    std::vector<QuilmonCall> m_calls;
    DWORD m_dwSequence = 0;
};

CallStore& Store() {
    static CallStore store;
    return store;
}

} // namespace

void RecordQuilmonCall(DWORD function, LPCWSTR arg1, LPCWSTR arg2, DWORD value) {
    Store().Add(function, arg1, arg2, value);
}

PAL_EXPORT BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}

PAL_EXPORT BOOL WINAPI IncrementPageCount(LPCWSTR pPortName, LPCWSTR pComputerName) {
    Store().Add(QUILMON_FN_INCREMENT_PAGE_COUNT, pPortName, pComputerName, 0);
    return TRUE;
}

PAL_EXPORT BOOL WINAPI SetPrintCopyCount(LPCWSTR pPortName, LPCWSTR pComputerName, DWORD dwCopies) {
    Store().Add(QUILMON_FN_SET_PRINT_COPY_COUNT, pPortName, pComputerName, dwCopies);
    return TRUE;
}

PAL_EXPORT void WINAPI UpdateQLWinPrnStatisticsW(LPCWSTR pPrinterName, LPCWSTR pServerName, DWORD cbDocument) {
    Store().Add(QUILMON_FN_UPDATE_STATISTICS, pPrinterName, pServerName, cbDocument);
}

PAL_EXPORT void* WINAPI InitializeAGNP() {
    return ViewLibraryTable();
}

PAL_EXPORT void WINAPI QuilmonSetViewFault(DWORD dwFault, LPCWSTR pPrinter) {
    SetViewLibraryFault(dwFault, pPrinter);
}

PAL_EXPORT DWORD WINAPI QuilmonTakeCalls(QuilmonCall* pCalls, DWORD cMax) {
    return Store().Take(pCalls, cMax);
}

// The exports must keep the signatures the print processor calls them with.
static_assert(std::is_same_v<decltype(&IncrementPageCount), PFN_IncrementPageCount>);
static_assert(std::is_same_v<decltype(&SetPrintCopyCount), PFN_SetPrintCopyCount>);
static_assert(std::is_same_v<decltype(&UpdateQLWinPrnStatisticsW), PFN_UpdateQLWinPrnStatisticsW>);
static_assert(std::is_same_v<decltype(&InitializeAGNP), PFN_InitializeAGNP>);
static_assert(std::is_same_v<decltype(&QuilmonTakeCalls), PFN_QuilmonTakeCalls>);
static_assert(std::is_same_v<decltype(&QuilmonSetViewFault), PFN_QuilmonSetViewFault>);
