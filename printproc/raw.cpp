// Raw job printing: copies the job's data unchanged to the printer, once per
// copy, with the form-feed rule of the "[FF appended]" and "[FF auto]"
// datatypes and the redirection to an AGNP printer. Also the job reader that
// every printing path reads the job through.
#define QL_MODULE WSTR("raw")
#include "printproc/raw.h"

#include "diag/DbgLog.h"
#include "emf/ComprCnf.h"
#include "emz/NPDecompress.h"
#include "native/JobWriter.h"
#include "native/ViewLibrary.h"
#include "printproc/Winprint.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <memory>

namespace {

// ---- job status ---------------------------------------------------------------------

// fsStatus is changed by ControlPrintProcessor on another thread.
DWORD JobStatus(PPRINTPROCESSORDATA pData) {
    return std::atomic_ref<DWORD>(pData->fsStatus).load(std::memory_order_acquire);
}

// Blocks while the job is paused (ControlPrintProcessor signals the event on
// resume and on cancel). Returns TRUE when the job has been cancelled.
BOOL WaitWhilePausedIsCancelled(PPRINTPROCESSORDATA pData) {
    if (JobStatus(pData) & PRINTPROCESSOR_PAUSED) WaitForSingleObject(pData->hPauseEvent, INFINITE);
    return (JobStatus(pData) & PRINTPROCESSOR_CANCELLED) != 0;
}

// ---- decoder --------------------------------------------------------------------------

void DestroyDecoder(PPRINTPROCESSORDATA pData) {
    std::unique_ptr<CNPDecompress> pDecoder(pData->pDecompressor);
    pData->pDecompressor = nullptr;
}

// A decoder over the read handle, or null when it cannot start; a decoder that
// cannot start sends the job back to plain reading.
void StartDecoder(HANDLE hReader, PPRINTPROCESSORDATA pData) {
    std::unique_ptr<CNPDecompress> pDecoder;
    int nError = Z_MEM_ERROR;
    try {
        pDecoder = std::make_unique<CNPDecompress>(hReader);
        nError = pDecoder->LastError();
    } catch (...) {
        pDecoder.reset();
    }
    if (!pDecoder || nError != 0) {
        QLLOG(LOG_ERR, WSTR("pNPDecompress->LastError()= %d"), nError);
        pData->fCompressedJob = 0;
        return;
    }
    QLLOG(LOG_INF, WSTR("pNPDecompress allocated, compressed Printjob found"));
    pData->pDecompressor = pDecoder.release();
}

// One read of at most cbPiece bytes, decoded when the job is compressed.
BOOL ReadPiece(HANDLE hReader, PPRINTPROCESSORDATA pData, LPBYTE pPiece, DWORD cbPiece, LPDWORD pcbRead) {
    *pcbRead = 0;
    if (pData->fCompressedJob && !pData->pDecompressor && hReader) StartDecoder(hReader, pData);
    if (pData->pDecompressor) return pData->pDecompressor->ReadPrinter(pPiece, cbPiece, pcbRead);
    return ReadPrinter(hReader, pPiece, cbPiece, pcbRead);
}

// ---- escape table ------------------------------------------------------------------------

// What a complete escape sequence does to the scan.
enum EscapeAction : BYTE {
    ESC_END = 0,          // sequence ends here
    ESC_SKIP_TO = 1,      // skip up to and including the terminator byte (argument)
    ESC_SKIP_COUNT = 2,   // skip a fixed number of bytes (argument)
    ESC_SKIP_COUNTED = 3, // a 16-bit little-endian count follows; skip that many bytes
    ESC_END_O = 4,        // sequence ends; last event ESC "o"
    ESC_END_E = 5,        // sequence ends; last event ESC "E"
};

struct EscapeEntry {
    char szText[3];  // the characters after ESC, one or two
    EscapeAction action;
    BYTE bArgument;
};

// Sorted by text: the scanner narrows the range of candidates one character
// at a time by binary search.
constexpr std::array<EscapeEntry, 52> kEscapes = {{
    {"-", ESC_SKIP_COUNT, 1},   {"0", ESC_END, 0},          {"1", ESC_END, 0},
    {"2", ESC_END, 0},          {"3", ESC_SKIP_COUNT, 1},   {"4", ESC_END, 0},
    {"5", ESC_SKIP_COUNT, 1},   {"6", ESC_END, 0},          {"7", ESC_END, 0},
    {":", ESC_END, 0},          {"=", ESC_END, 0},          {"A", ESC_SKIP_COUNT, 1},
    {"B", ESC_SKIP_TO, 0},      {"C", ESC_SKIP_COUNT, 1},   {"D", ESC_SKIP_TO, 0},
    {"E", ESC_END_E, 0},        {"F", ESC_END, 0},          {"G", ESC_END, 0},
    {"H", ESC_END, 0},          {"I", ESC_SKIP_COUNT, 1},   {"J", ESC_SKIP_COUNT, 1},
    {"K", ESC_SKIP_COUNTED, 0}, {"L", ESC_SKIP_COUNTED, 0}, {"N", ESC_SKIP_COUNT, 1},
    {"O", ESC_END, 0},          {"P", ESC_SKIP_COUNT, 1},   {"Q", ESC_SKIP_COUNT, 1},
    {"R", ESC_END, 0},          {"S", ESC_SKIP_COUNT, 1},   {"T", ESC_END, 0},
    {"U", ESC_SKIP_COUNT, 1},   {"W", ESC_SKIP_COUNT, 1},   {"X", ESC_SKIP_COUNT, 2},
    {"Y", ESC_SKIP_COUNTED, 0}, {"Z", ESC_SKIP_COUNTED, 0}, {"[@", ESC_SKIP_COUNTED, 0},
    {"[C", ESC_SKIP_COUNTED, 0}, {"[F", ESC_SKIP_COUNTED, 0}, {"[I", ESC_SKIP_COUNTED, 0},
    {"[S", ESC_SKIP_COUNTED, 0}, {"[T", ESC_SKIP_COUNTED, 0}, {"[\\", ESC_SKIP_COUNTED, 0},
    {"[g", ESC_SKIP_COUNTED, 0}, {"\\", ESC_SKIP_COUNTED, 0}, {"]", ESC_END, 0},
    {"^", ESC_END, 0},          {"_", ESC_SKIP_COUNT, 1},   {"d", ESC_SKIP_COUNT, 2},
    {"e", ESC_SKIP_COUNT, 2},   {"j", ESC_END, 0},          {"n", ESC_END, 0},
    {"o", ESC_END_O, 0},
}};

constexpr bool EscapeTableSorted() {
    for (size_t i = 1; i < kEscapes.size(); ++i) {
        const auto& a = kEscapes[i - 1].szText;
        const auto& b = kEscapes[i].szText;
        const auto a0 = static_cast<unsigned char>(a[0]), b0 = static_cast<unsigned char>(b[0]);
        const auto a1 = static_cast<unsigned char>(a[1]), b1 = static_cast<unsigned char>(b[1]);
        if (a0 > b0 || (a0 == b0 && a1 >= b1)) return false;
    }
    return true;
}
static_assert(EscapeTableSorted(), "the escape table must stay sorted for the binary search");

// Character n of an entry, 0 past its end.
constexpr BYTE EntryChar(const EscapeEntry& e, DWORD n) {
    return n < 2 ? static_cast<BYTE>(e.szText[n]) : 0;
}

// ---- configuration holder -------------------------------------------------------------

// The job's compression configuration, released on every way out.
struct ScopedComprCnf {
    ComprCnf cnf{};
    ScopedComprCnf() = default;
    ScopedComprCnf(const ScopedComprCnf&) = delete;
    ScopedComprCnf& operator=(const ScopedComprCnf&) = delete;
    ~ScopedComprCnf() { ReleaseCompressionConfig(&cnf); }
};

const BYTE kFormFeed = 0x0C;

} // namespace

// ---- form-feed scanner -------------------------------------------------------------------

CFormFeedScanner::CFormFeedScanner(DWORD dwJobType) : m_dwJobType(dwJobType) {}

void CFormFeedScanner::Reset(DWORD dwJobType) {
    m_dwState = STATE_TEXT;
    m_dwEntry = m_dwEntryEnd = m_dwMatched = 0;
    m_dwCount = 0;
    m_bTerminator = 0;
    m_dwLastEvent = EVENT_PRINTABLE;
    m_dwJobType = dwJobType;
}

void CFormFeedScanner::Feed(const BYTE* pData, DWORD cbData) {
    for (DWORD i = 0; i < cbData; ++i) Feed(pData[i]);
}

void CFormFeedScanner::Feed(BYTE b) {
    switch (m_dwState) {
    case STATE_TEXT:
        if (b >= 0x20) {
            m_dwLastEvent = EVENT_PRINTABLE;
        } else if (b == 0x0C) {
            m_dwLastEvent = EVENT_FORM_FEED;
        } else if (b == 0x1B) {
            m_dwState = STATE_ESCAPE;
            m_dwEntry = 0;
            m_dwEntryEnd = static_cast<DWORD>(kEscapes.size());
            m_dwMatched = 0;
        }
        break;
    case STATE_ESCAPE:
        FeedEscape(b);
        break;
    case STATE_SKIP_COUNT:
        if (m_dwCount > 0) --m_dwCount;
        if (m_dwCount == 0) m_dwState = STATE_TEXT;
        break;
    case STATE_SKIP_TO:
        if (b == m_bTerminator) m_dwState = STATE_TEXT;
        break;
    case STATE_COUNT_LOW:
        m_dwCount = b;
        m_dwState = STATE_COUNT_HIGH;
        break;
    case STATE_COUNT_HIGH:
        m_dwCount += static_cast<DWORD>(b) * 256;
        m_dwState = m_dwCount > 0 ? STATE_SKIP_COUNT : STATE_TEXT;
        break;
    default:
        m_dwState = STATE_TEXT;
        break;
    }
}

void CFormFeedScanner::FeedEscape(BYTE b) {
    // Narrow the candidates to the entries whose next character is b; the
    // entries that share the characters matched so far are contiguous.
    const DWORD n = m_dwMatched;
    const auto* pFirst = kEscapes.data() + m_dwEntry;
    const auto* pLast = kEscapes.data() + m_dwEntryEnd;
    const auto* pLo = std::lower_bound(pFirst, pLast, b,
                                       [n](const EscapeEntry& e, BYTE c) { return EntryChar(e, n) < c; });
    const auto* pHi = std::upper_bound(pLo, pLast, b,
                                       [n](BYTE c, const EscapeEntry& e) { return c < EntryChar(e, n); });
    if (b == 0 || pLo == pHi) {
        // No entry continues: the escape ends and the byte counts for nothing.
        m_dwState = STATE_TEXT;
        return;
    }
    m_dwEntry = static_cast<DWORD>(pLo - kEscapes.data());
    m_dwEntryEnd = static_cast<DWORD>(pHi - kEscapes.data());
    m_dwMatched = n + 1;

    // The shortest candidate sorts first; it is complete when it has no more
    // characters.
    const EscapeEntry& entry = *pLo;
    if (EntryChar(entry, m_dwMatched) != 0) return;

    switch (entry.action) {
    case ESC_END:
        m_dwState = STATE_TEXT;
        break;
    case ESC_SKIP_TO:
        m_bTerminator = entry.bArgument;
        m_dwState = STATE_SKIP_TO;
        break;
    case ESC_SKIP_COUNT:
        m_dwCount = entry.bArgument;
        m_dwState = m_dwCount > 0 ? STATE_SKIP_COUNT : STATE_TEXT;
        break;
    case ESC_SKIP_COUNTED:
        m_dwState = STATE_COUNT_LOW;
        break;
    case ESC_END_O:
        m_dwState = STATE_TEXT;
        m_dwLastEvent = EVENT_ESC_O;
        break;
    case ESC_END_E:
        m_dwState = STATE_TEXT;
        m_dwLastEvent = EVENT_ESC_E;
        break;
    }
}

BOOL CFormFeedScanner::NeedsFormFeed() const {
    if (m_dwLastEvent == EVENT_ESC_O || m_dwLastEvent == EVENT_ESC_E) return FALSE;
    if (m_dwJobType == JOBTYPE_RAW_FF_APPENDED) return TRUE;
    return m_dwJobType == JOBTYPE_RAW_FF_AUTO && m_dwLastEvent == EVENT_PRINTABLE;
}

// ---- job reader --------------------------------------------------------------------------

BOOL ReadJobData(HANDLE hReader, HANDLE hDstPrinter, LPVOID pBuf, DWORD cbBuf, PPRINTPROCESSORDATA pData,
                 FILE* pFile, LPDWORD pcbRead, DWORD dwMode) {
    if (pcbRead) *pcbRead = 0;
    if (cbBuf == 0) return TRUE;
    if (!PASSED(pData == 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    // Without a caller buffer the pieces pass through this block.
    BYTE abBlock[RAW_BLOCK_SIZE];
    LPBYTE pbBuf = static_cast<LPBYTE>(pBuf);
    DWORD cbTotal = 0;
    BOOL fCancelled = FALSE;
    DWORD dwWriteError = ERROR_SUCCESS;  // a piece that could not be passed on

    while (cbTotal < cbBuf) {
        LPBYTE pPiece = pbBuf ? pbBuf + cbTotal : abBlock;
        const DWORD cbPiece = pbBuf ? cbBuf - cbTotal : std::min(cbBuf - cbTotal, RAW_BLOCK_SIZE);

        DWORD cbRead = 0;
        if (!ReadPiece(hReader, pData, pPiece, cbPiece, &cbRead) || cbRead == 0) break;
        // A reader that claims more than it was offered has overrun nothing we
        // can trust; treat it as the end of the data.
        if (cbRead > cbPiece) break;

        if (WaitWhilePausedIsCancelled(pData)) {
            fCancelled = TRUE;
            break;
        }

        if (hDstPrinter) {
            // Writers always target the job's printer; another handle is logged
            // and the piece goes to the job writer all the same.
            (void)CHECK(hDstPrinter == pData->hPrinter);
            if (!WriteJobOutput(pData, pPiece, cbRead, dwMode)) dwWriteError = ERROR_WRITE_FAULT;
        }
        // A full disk or a write error leaves the file short: not a success.
        if (pFile && fwrite(pPiece, 1, cbRead, pFile) != cbRead) {
            const int nErrno = errno;
            QLLOG(LOG_ERR, WSTR("fwrite of %lu bytes failed, errno %d"), cbRead, nErrno);
            dwWriteError = nErrno == ENOSPC ? ERROR_DISK_FULL : ERROR_WRITE_FAULT;
        }

        // The piece has been read either way: the input position moves on.
        pData->dwInputPos += cbRead;
        cbTotal += cbRead;
        if (dwWriteError != ERROR_SUCCESS) break;
        if (cbTotal == cbBuf) {
            if (pcbRead) *pcbRead = cbTotal;
            return TRUE;
        }
    }

    // The data ended or a read failed: the decoder is done. After a cancel or
    // a failed write it stays, positioned where reading stopped.
    if (!fCancelled && dwWriteError == ERROR_SUCCESS) DestroyDecoder(pData);
    if (pcbRead) *pcbRead = cbTotal;
    if (fCancelled) SetLastError(ERROR_PRINT_CANCELLED);
    else if (dwWriteError != ERROR_SUCCESS) SetLastError(dwWriteError);
    return FALSE;
}

// ---- raw printing ------------------------------------------------------------------------

BOOL PrintRawJob(PPRINTPROCESSORDATA pData, LPWSTR pDocumentName, DWORD dwJobType) {
    QLLOG(LOG_TRC, WSTR("PrintRawJob <%s> type %d"), pDocumentName, dwJobType);
    if (!PASSED(pData == 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    // A re-typed EMF job starts its document as "RAW".
    DOC_INFO_1W docInfo = {};
    docInfo.pDocName = pData->pDocumentName;
    docInfo.pOutputFile = pData->pOutputFile;
    docInfo.pDatatype = const_cast<LPWSTR>(DatatypeNameOfJobType(dwJobType));

    ScopedComprCnf config;
    ReadCompressionConfig(pData->hPrinter, &config.cnf);

    // Agentless Native Printing: the document goes to the configured local
    // printer instead, when the view library is there to take such jobs.
    LPWSTR pszAGNPPrinter = config.cnf.szAgentlessNativePrinting;
    if (!pData->fClientSideRendering && pszAGNPPrinter[0] && EnsureViewLibrary()) {
        QLLOG(LOG_INF, WSTR("Raw jab detected for AGNP, printer=<%s>"), pszAGNPPrinter);
        HANDLE hAGNPPrinter = nullptr;
        if (!OpenPrinterW(pszAGNPPrinter, &hAGNPPrinter, nullptr)) {
            QLLOG(LOG_ERR, WSTR("cannot open AGNP printer: <%s>, %d"), pszAGNPPrinter, GetLastError());
            return FALSE;
        }
        if (pData->hAGNPPrinter) ClosePrinter(pData->hAGNPPrinter);
        pData->hAGNPPrinter = hAGNPPrinter;
    }

    if (!MyStartDocPrinter(pData, 1, &docInfo, FALSE)) return FALSE;

    const BOOL fScan = dwJobType == JOBTYPE_RAW_FF_APPENDED || dwJobType == JOBTYPE_RAW_FF_AUTO;
    CFormFeedScanner scanner(dwJobType);

    BYTE abBlock[RAW_BLOCK_SIZE];
    for (DWORD dwCopy = 0; dwCopy < pData->dwCopies; ++dwCopy) {
        HANDLE hJob = nullptr;
        if (!OpenPrinterW(pDocumentName, &hJob, nullptr)) {
            const DWORD dwError = GetLastError();
            QLLOG(LOG_ERR, WSTR("OpenPrinter <%s> for copy %d failed, %d"), pDocumentName, dwCopy + 1, dwError);
            MyEndDocPrinter(pData, FALSE);
            SetLastError(dwError);
            return FALSE;
        }

        BOOL fCancelled = FALSE;
        DWORD cbRead = 0;
        ReadJobData(hJob, nullptr, abBlock, RAW_BLOCK_SIZE, pData, nullptr, &cbRead, WRITE_DATA);
        while (cbRead > 0) {
            if (fScan) scanner.Feed(abBlock, cbRead);
            if (WaitWhilePausedIsCancelled(pData)) {
                fCancelled = TRUE;
                break;
            }
            if (!WriteJobOutput(pData, abBlock, cbRead, WRITE_DATA) || cbRead < RAW_BLOCK_SIZE) break;
            ReadJobData(hJob, nullptr, abBlock, RAW_BLOCK_SIZE, pData, nullptr, &cbRead, WRITE_DATA);
        }

        // A cancelled copy gets no closing form feed.
        BOOL fLeave = FALSE;
        if (fScan && !fCancelled && scanner.NeedsFormFeed()) fLeave = !WriteJobOutput(pData, &kFormFeed, 1, WRITE_DATA);

        ClosePrinter(hJob);
        // A copy that stopped early leaves a decoder over the handle just
        // closed; the next copy starts a new one from the beginning.
        DestroyDecoder(pData);
        if (fLeave) break;
    }

    MyEndDocPrinter(pData, FALSE);
    return TRUE;
}
