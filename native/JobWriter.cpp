// The job writer and the document wrappers around it.
//
// WriteJobOutput keeps the document's logical output position and, when the
// output is framed, cuts the bytes into data blocks and hole blocks following
// the job's hole list. WriteJobBuffered sends the result to the native jobs of
// the view library or batches it for the spooler in 2048-byte units.
#define QL_MODULE WSTR("Winprint")
#include "native/JobWriter.h"

#include "diag/DbgLog.h"
#include "native/ViewLibrary.h"
#include "port/PortMonitor.h"
#include "printproc/JobContainers.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

constexpr DWORD BLOCK_HEADER_SIZE = 8;
constexpr DWORD RECORD_HEADER_SIZE = 8;
// Mode bits of WriteJobOutput.
constexpr DWORD MODE_NO_HOLES = 0x2;
constexpr DWORD MODE_OPENS_BLOCK = 0x1;

// Sends one 8-byte block header: tag and length, both little-endian.
BOOL WriteBlockHeader(PPRINTPROCESSORDATA pData, DWORD dwTag, DWORD cbLength) {
    BYTE header[BLOCK_HEADER_SIZE];
    for (int i = 0; i < 4; ++i) {
        header[i] = static_cast<BYTE>(dwTag >> (8 * i));
        header[4 + i] = static_cast<BYTE>(cbLength >> (8 * i));
    }
    return WriteJobBuffered(pData, header, sizeof(header));
}

// A data block: header, then the bytes. Does not move qwOutputPos.
void WriteDataBlock(PPRINTPROCESSORDATA pData, const BYTE* p, DWORD cb) {
    WriteBlockHeader(pData, FRAME_DATA_BLOCK, cb);
    WriteJobBuffered(pData, p, cb);
}

// The u32 at offset 4 of a spool record header: the record's size field.
DWORD RecordSizeField(const BYTE* p) {
    DWORD dw = 0;
    std::memcpy(&dw, p + 4, sizeof(dw));
    return dw;
}

// Modes 0 and 1 with framing on: the bytes are cut along the hole list. A hole
// that reaches past the end of this write stays at the front of the list; the
// next write skips the rest of it without sending a second hole header. Skipped
// bytes are never read.
BOOL WriteWithHoles(PPRINTPROCESSORDATA pData, const BYTE* p, DWORD cbBuf) {
    if (cbBuf == 0) return !pData->fJobAborted;
    CHoleList* pHoles = pData->pHoleList;
    DWORD remaining = cbBuf;

    for (;;) {
        if (pHoles == nullptr || pHoles->IsEmpty()) {
            WriteDataBlock(pData, p, remaining);
            break;
        }
        const HOLE hole = pHoles->Front();
        const int64_t d = static_cast<int64_t>(hole.qwPosition - pData->qwOutputPos);

        if (d < 0) {
            // The hole began in an earlier write, whose hole header is out.
            const int64_t r = d + static_cast<int64_t>(hole.cbLength);
            if (r > 0) {
                if (r > static_cast<int64_t>(remaining)) break;  // all of this write lies in the hole
                const DWORD skip = static_cast<DWORD>(r);
                pData->qwOutputPos += skip;
                p += skip;
                remaining -= skip;
            }
            pHoles->RemoveFront();
        } else {
            if (d > 0) {
                if (d >= static_cast<int64_t>(remaining)) {
                    WriteDataBlock(pData, p, remaining);
                    break;
                }
                const DWORD cbData = static_cast<DWORD>(d);
                WriteDataBlock(pData, p, cbData);
                pData->qwOutputPos += cbData;
                p += cbData;
                remaining -= cbData;
            }
            WriteBlockHeader(pData, FRAME_HOLE_BLOCK, hole.cbLength);
            if (hole.cbLength > remaining) break;
            pData->qwOutputPos += hole.cbLength;
            p += hole.cbLength;
            remaining -= hole.cbLength;
            pHoles->RemoveFront();
        }
        if (remaining == 0) return !pData->fJobAborted;
    }
    // What is left was sent as data or lies inside the front hole.
    pData->qwOutputPos += remaining;
    return !pData->fJobAborted;
}

// Native printing: the bytes go to the main native job and to every virtual
// copy. Only the main job's result counts.
BOOL WriteToViewJobs(PPRINTPROCESSORDATA pData, LPCVOID pBuf, DWORD cbBuf) {
    const ViewFunctions& view = GetViewFunctions();
    BOOL fRtn = view.pfnWriteJob ? view.pfnWriteJob(pData->hViewJob, pBuf, cbBuf) : FALSE;
    CHECK(fRtn);
    for (HANDLE hCopy : pData->ahVirtualCopyJobs) {
        if (!hCopy) continue;
        BOOL fVirtCopyRtn = view.pfnWriteJob ? view.pfnWriteJob(hCopy, pBuf, cbBuf) : FALSE;
        CHECK(fVirtCopyRtn);
    }
    if (!fRtn) pData->fJobAborted = TRUE;
    return fRtn;
}

LPCWSTR OrNull(LPCWSTR psz) {
    return psz ? psz : WSTR("NULL");
}

} // namespace

BOOL WriteJobOutput(PPRINTPROCESSORDATA pData, LPCVOID pBuf, DWORD cbBuf, DWORD dwMode) {
    PPRINTPROCESSORDATA lpData = pData;
    const BYTE* lpBuf = static_cast<const BYTE*>(pBuf);
    if (!PASSED(lpData == 0)) return FALSE;
    if (!PASSED(lpBuf == 0)) return FALSE;
    if (!PASSED(lpData->fJobAborted != 0)) return FALSE;

    if (!lpData->fFraming) {
        lpData->qwOutputPos += cbBuf;
        return WriteJobBuffered(lpData, lpBuf, cbBuf);
    }
    if ((dwMode & MODE_NO_HOLES) == 0) return WriteWithHoles(lpData, lpBuf, cbBuf);

    if (dwMode & MODE_OPENS_BLOCK) {
        // A spool record header opens a block that covers the whole record.
        // The size field is read only from a complete header; the sum wraps
        // like the receiver's u32 arithmetic.
        if (!CHECK(cbBuf >= RECORD_HEADER_SIZE)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        WriteBlockHeader(lpData, FRAME_DATA_BLOCK, RECORD_HEADER_SIZE + RecordSizeField(lpBuf));
    }
    lpData->qwOutputPos += cbBuf;
    return WriteJobBuffered(lpData, lpBuf, cbBuf);
}

BOOL WriteJobBuffered(PPRINTPROCESSORDATA pData, LPCVOID pBuf, DWORD cbBuf) {
    if (!pData || pData->fJobAborted) return FALSE;
    if (cbBuf && !pBuf) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    if (pData->hViewJob && EnsureViewLibrary()) return WriteToViewJobs(pData, pBuf, cbBuf);

    // The staging buffer's fill level is our own state; a value past its end
    // would mean a damaged record, and nothing is sent from it then.
    if (!CHECK(pData->cbOutBuffer <= OUT_BUFFER_SIZE)) {
        pData->fJobAborted = TRUE;
        return FALSE;
    }

    HANDLE hTarget = pData->hAGNPPrinter ? pData->hAGNPPrinter : pData->hPrinter;
    const BYTE* p = static_cast<const BYTE*>(pBuf);
    DWORD remaining = cbBuf;
    BOOL ok = TRUE;

    // Whole 2048-byte pieces bypass the staging buffer; whatever it holds goes
    // out first so the order is kept.
    const DWORD cPieces = cbBuf / OUT_BUFFER_SIZE;
    for (DWORD i = 0; i < cPieces; ++i) {
        if (pData->cbOutBuffer) {
            if (ok) ok = WritePrinterAll(hTarget, pData->abOutBuffer, pData->cbOutBuffer);
            pData->cbOutBuffer = 0;
        }
        if (ok) ok = WritePrinterAll(hTarget, p, OUT_BUFFER_SIZE);
        p += OUT_BUFFER_SIZE;
        remaining -= OUT_BUFFER_SIZE;
    }

    const DWORD cbFit = std::min(remaining, OUT_BUFFER_SIZE - pData->cbOutBuffer);
    if (cbFit) std::memcpy(pData->abOutBuffer + pData->cbOutBuffer, p, cbFit);
    pData->cbOutBuffer += cbFit;
    p += cbFit;
    remaining -= cbFit;

    if (pData->cbOutBuffer < OUT_BUFFER_SIZE) {
        if (!ok) pData->fJobAborted = TRUE;
        return ok;
    }

    // The buffer is full: send it and keep what did not fit.
    BOOL fSent = ok ? WritePrinterAll(hTarget, pData->abOutBuffer, OUT_BUFFER_SIZE) : FALSE;
    if (remaining) std::memcpy(pData->abOutBuffer, p, remaining);
    pData->cbOutBuffer = remaining;
    if (!fSent) pData->fJobAborted = TRUE;
    return fSent;
}

BOOL WritePrinterAll(HANDLE hPrinter, LPCVOID pBuf, DWORD cbBuf) {
    if (cbBuf == 0) return TRUE;
    const BYTE* p = static_cast<const BYTE*>(pBuf);
    DWORD n = cbBuf;
    for (;;) {
        DWORD dwWritten = 0;
        BOOL fRtn = WritePrinter(hPrinter, const_cast<BYTE*>(p), n, &dwWritten);
        if (!PASSED(fRtn == 0)) return FALSE;
        if (!PASSED(dwWritten > n)) return FALSE;
        if (dwWritten == n) return TRUE;
        // A success that took nothing would repeat forever: treat it as a
        // failed send.
        if (dwWritten == 0) {
            QLLOG(LOG_ERR, WSTR("WritePrinter took 0 of %u bytes"), n);
            SetLastError(ERROR_WRITE_FAULT);
            return FALSE;
        }
        p += dwWritten;
        n -= dwWritten;
    }
}

DWORD MyStartDocPrinter(PPRINTPROCESSORDATA pData, DWORD dwLevel, DOC_INFO_1W* pDocInfo, BOOL fAGNP) {
    if (!pData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (pData->pBitmapCache) pData->pBitmapCache->Clear();
    pData->dwImageCount = 0;
    pData->qwOutputPos = 0;

    if (fAGNP) {
        QLLOG(LOG_INF, WSTR("MyStartDocPrinter not called: 'Agentless Native Printing' mode"));
        return 1;
    }
    QLLOG(LOG_INF, WSTR("StartDocPrinter is called with Type=%s, Name=%s, OutputFile=%s"),
          OrNull(pDocInfo ? pDocInfo->pDatatype : nullptr), OrNull(pDocInfo ? pDocInfo->pDocName : nullptr),
          OrNull(pDocInfo ? pDocInfo->pOutputFile : nullptr));
    HANDLE hDoc = pData->hAGNPPrinter ? pData->hAGNPPrinter : pData->hPrinter;
    return StartDocPrinterW(hDoc, dwLevel, reinterpret_cast<LPBYTE>(pDocInfo));
}

BOOL SplitServerPrinterName(LPCWSTR pName, WCHAR (&szServer)[STAT_NAME_CCH], WCHAR (&szPrinter)[STAT_NAME_CCH]) {
    szServer[0] = 0;
    szPrinter[0] = 0;
    if (!pName || pName[0] != u'\\' || pName[1] != u'\\') return FALSE;

    // Copies a run of characters up to the stop character (or the end) and
    // returns where it ended; null when the run is empty or too long.
    auto takeRun = [](LPCWSTR p, WCHAR stop, WCHAR (&out)[STAT_NAME_CCH]) -> LPCWSTR {
        size_t n = 0;
        while (p[n] && p[n] != stop) {
            if (n + 1 >= STAT_NAME_CCH) return nullptr;
            out[n] = p[n];
            ++n;
        }
        out[n] = 0;
        return n ? p + n : nullptr;
    };

    LPCWSTR p = takeRun(pName + 2, u'\\', szServer);
    if (!p || *p != u'\\' || !takeRun(p + 1, u',', szPrinter)) {
        szServer[0] = 0;
        szPrinter[0] = 0;
        return FALSE;
    }
    return TRUE;
}

void MyEndDocPrinter(PPRINTPROCESSORDATA pData, BOOL fAGNP) {
    if (!pData) return;

    if (fAGNP && pData->hViewJob) {
        // End of data, then close, for the main job and each virtual copy; a
        // failed end-of-data mark is logged after each of the two calls.
        QLLOG(LOG_INF, WSTR("MyEndDocPrinter not called: in 'Agentless Native Printing' mode"));
        const ViewFunctions& view = GetViewFunctions();
        BOOL fRtn = view.pfnWriteJob ? view.pfnWriteJob(pData->hViewJob, nullptr, 0) : FALSE;
        CHECK(fRtn);
        if (view.pfnCloseJob) view.pfnCloseJob(pData->hViewJob);
        CHECK(fRtn);
        for (HANDLE& hCopy : pData->ahVirtualCopyJobs) {
            if (!hCopy) continue;
            BOOL fVirtCopyRtn = view.pfnWriteJob ? view.pfnWriteJob(hCopy, nullptr, 0) : FALSE;
            CHECK(fVirtCopyRtn);
            if (view.pfnCloseJob) view.pfnCloseJob(hCopy);
            CHECK(fVirtCopyRtn);
            hCopy = nullptr;
        }
        // The view library has taken the job over; the spooler's copy goes.
        if (!SetJobW(pData->hPrinter, pData->dwJobId, 0, nullptr, JOB_CONTROL_CANCEL)) {
            QLLOG(LOG_ERR, WSTR("SetJob failed GetLastError = %d"), static_cast<int>(GetLastError()));
        }
        pData->hViewJob = nullptr;
        return;
    }

    HANDLE hDoc = pData->hAGNPPrinter ? pData->hAGNPPrinter : pData->hPrinter;
    if (!hDoc) return;

    if (!pData->hAGNPPrinter && pData->fFraming) {
        if (PFN_UpdateQLWinPrnStatisticsW pfnStatistics = GetStatisticsEntryPoint()) {
            WCHAR szServer[STAT_NAME_CCH];
            WCHAR szPrinter[STAT_NAME_CCH];
            SplitServerPrinterName(pData->pPrinterName, szServer, szPrinter);
            pfnStatistics(szPrinter, szServer, static_cast<DWORD>(pData->qwOutputPos));
        }
    }

    QLLOG(LOG_INF, WSTR("EndDocPrinter is called"));
    if (pData->cbOutBuffer) {
        DWORD dwWritten = 0;
        WritePrinter(hDoc, pData->abOutBuffer, std::min(pData->cbOutBuffer, OUT_BUFFER_SIZE), &dwWritten);
        pData->cbOutBuffer = 0;
    }
    EndDocPrinter(hDoc);
}
