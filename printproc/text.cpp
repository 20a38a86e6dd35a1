// Text job printing: renders 8-bit text line by line in the printer's default
// font on the job's device context.
#define QL_MODULE WSTR("Winprint")
#include "printproc/text.h"

#include "diag/DbgLog.h"
#include "printproc/Util.h"
#include "printproc/Winprint.h"

#include <atomic>

namespace {

constexpr DWORD TEXT_READ_BLOCK = 4096;
constexpr BYTE CH_TAB = 0x09, CH_LF = 0x0A, CH_FF = 0x0C, CH_CR = 0x0D;

DWORD JobStatus(PPRINTPROCESSORDATA pData) {
    return std::atomic_ref<DWORD>(pData->fsStatus).load(std::memory_order_acquire);
}

// Tab stops on the continued line stay on the columns of the unwrapped line.
DWORD WrapTabPhase(DWORD dwTabPhase, DWORD cchLine, DWORD dwTabSize) {
    const uint64_t t = dwTabSize;
    return DWORD((uint64_t(dwTabPhase) + t - cchLine % t) % t);
}

// The document of one job: every exit aborts an unfinished document and
// releases the line buffer and the job handle.
class TextDocument {
public:
    explicit TextDocument(HDC hDC) : m_hDC(hDC) {}
    ~TextDocument() {
        if (m_hJob) ClosePrinter(m_hJob);
        if (m_fStarted) AbortDoc(m_hDC);
        if (m_pLine) MemFreeT(&m_pLine);
    }
    TextDocument(const TextDocument&) = delete;
    TextDocument& operator=(const TextDocument&) = delete;

    HDC m_hDC;
    LPBYTE m_pLine = nullptr;
    HANDLE m_hJob = nullptr;
    BOOL m_fStarted = FALSE;  // StartDocW succeeded and neither EndDoc nor AbortDoc followed

    void Ended() { m_fStarted = FALSE; }
    void CloseJob() {
        if (m_hJob) ClosePrinter(m_hJob);
        m_hJob = nullptr;
    }
};

} // namespace

LPBYTE ReadTextLine(LPBYTE pInput, LPBYTE pEnd, LPBYTE pLine, DWORD cchLine, DWORD dwTabSize, LPDWORD pcchLine,
                    LPDWORD pdwTabPhase, LPDWORD pdwFlags, LPBOOL pfFormFeed) {
    const DWORD T = dwTabSize ? dwTabSize : 1;
    DWORD& c = *pcchLine;
    DWORD& o = *pdwTabPhase;
    DWORD& flags = *pdwFlags;
    *pfFormFeed = FALSE;

    if (o > 0 && (flags & TEXT_TAB_CONTINUES)) {
        // The rest of a tab cut off at the end of the previous line.
        flags = 0;
        while (c < o && c < cchLine) pLine[c++] = ' ';
        if (c >= cchLine) return pInput;
    }
    for (LPBYTE p = pInput;; ++p) {
        if (p >= pEnd) return nullptr;
        const BYTE ch = *p;
        switch (ch) {
        case CH_TAB: {
            if (c >= cchLine) {
                flags = 0;
                o = WrapTabPhase(o, cchLine, T);
                return p;
            }
            const uint64_t n = T - (uint64_t(c) + T - o) % T;
            if (c + n >= cchLine) {
                while (c < cchLine) pLine[c++] = ' ';
                flags = TEXT_TAB_CONTINUES;
                o = WrapTabPhase(o, cchLine, T);
                return p + 1;
            }
            for (uint64_t i = 0; i < n; ++i) pLine[c++] = ' ';
            flags = 0;
            break;
        }
        case CH_LF:
            if (flags & TEXT_LAST_WAS_CR) {
                flags = 0;
                break;
            }
            o = 0;
            return p + 1;
        case CH_FF:
            o = 0;
            flags = 0;
            *pfFormFeed = TRUE;
            return p + 1;
        case CH_CR:
            flags = TEXT_LAST_WAS_CR;
            o = 0;
            return p + 1;
        default:
            flags = 0;
            if (c >= cchLine) {
                o = WrapTabPhase(o, cchLine, T);
                return p;
            }
            pLine[c++] = ch;
            break;
        }
    }
}

BOOL PrintTextJob(PPRINTPROCESSORDATA pData, LPWSTR pDocumentName) {
    HDC hDC = pData->hDC;
    TEXTMETRICW tm{};
    if (!GetTextMetricsW(hDC, &tm)) {
        QLLOG(LOG_ERR, WSTR("GetTextMetrics failed (%d)"), GetLastError());
        return FALSE;
    }
    const LONG cyLine = tm.tmHeight + tm.tmExternalLeading;
    const int cxPage = GetDeviceCaps(hDC, HORZRES), cyPage = GetDeviceCaps(hDC, VERTRES);
    if (cyLine <= 0 || tm.tmAveCharWidth <= 0 || cxPage <= 0 || cyPage <= 0) {
        QLLOG(LOG_ERR, WSTR("No usable page geometry (line %d, char %d, page %dx%d)"), cyLine, tm.tmAveCharWidth,
              cxPage, cyPage);
        return FALSE;
    }
    const DWORD cchLine = DWORD(cxPage / tm.tmAveCharWidth);
    const DWORD cLinesPerPage = DWORD(cyPage / cyLine);
    if (cchLine == 0 || cLinesPerPage == 0) return FALSE;

    TextDocument doc(hDC);
    doc.m_pLine = static_cast<LPBYTE>(MemAlloc(SIZE_T(cchLine) + 5));
    if (!doc.m_pLine) return FALSE;

    DOCINFOW di{};
    di.cbSize = sizeof(di);
    di.lpszDocName = pData->pDocumentName;
    if (StartDocW(hDC, &di) <= 0) return FALSE;
    doc.m_fStarted = TRUE;

    if (pData->dwCopies == 0) {
        doc.Ended();
        EndDoc(hDC);
        return TRUE;
    }

    BYTE abBuffer[TEXT_READ_BLOCK];
    for (DWORD dwCopy = 0; dwCopy < pData->dwCopies; ++dwCopy) {
        if (!OpenPrinterW(pDocumentName, &doc.m_hJob, nullptr)) {
            doc.m_hJob = nullptr;
            return FALSE;
        }
        if (StartPage(hDC) <= 0) return FALSE;
        DWORD dwLine = 0, cchUsed = 0, dwTabPhase = 0, dwFlags = 0;
        BOOL fFormFeed = FALSE;

        // Draws (or skips) one finished line; FALSE when the document failed.
        auto handleLine = [&]() -> BOOL {
            if (cchUsed > 0) {
                // Runs of empty lines may pass several pages: each is a blank page.
                while (dwLine >= cLinesPerPage) {
                    if (EndPage(hDC) <= 0 || StartPage(hDC) <= 0) return FALSE;
                    dwLine -= cLinesPerPage;
                }
                if (!TextOutA(hDC, 0, int(dwLine * DWORD(cyLine)), reinterpret_cast<LPCSTR>(doc.m_pLine),
                              int(cchUsed))) {
                    OutputDebugStringW(WSTR("TextOut() failed\n"));
                    return FALSE;
                }
            }
            ++dwLine;
            cchUsed = 0;
            if (fFormFeed) dwLine = cLinesPerPage;
            return TRUE;
        };

        DWORD cbRead = 0;
        while (ReadPrinter(doc.m_hJob, abBuffer, sizeof(abBuffer), &cbRead) && cbRead > 0) {
            LPBYTE p = abBuffer, pEnd = abBuffer + cbRead;
            while ((p = ReadTextLine(p, pEnd, doc.m_pLine, cchLine, pData->dwTabSize, &cchUsed, &dwTabPhase, &dwFlags,
                                     &fFormFeed)) != nullptr) {
                if (JobStatus(pData) & PRINTPROCESSOR_PAUSED) WaitForSingleObject(pData->hPauseEvent, INFINITE);
                if (JobStatus(pData) & PRINTPROCESSOR_CANCELLED) return TRUE;  // the destructor aborts
                if (!handleLine()) return FALSE;
            }
        }
        // The last line of a file that does not end with a line break.
        if (cchUsed > 0) {
            fFormFeed = FALSE;
            if (!handleLine()) return FALSE;
        }
        if (EndPage(hDC) <= 0) return FALSE;
        doc.CloseJob();
    }
    doc.Ended();
    EndDoc(hDC);
    return TRUE;
}
