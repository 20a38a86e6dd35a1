// The gateway job driver: rewrites a gateway driver job's EMF spool data into
// the transport stream and sends it raw to the printer's port, or under
// Agentless Native Printing to the view library's native jobs.
//
// One copy of the stream is, in this order: the marker "%%EMF" (not under
// AGNP), the device mode block, the JDF block (PDF Bridge jobs, not under
// AGNP), then - with the output framing switched on when the bitmap cache is -
// the watermark block and the job's spool records. Page records go through the
// EMF walker; device mode and extension records are patched; every other
// record is copied through.
#define QL_MODULE WSTR("Winprint")
#include "gateway/QLEMFJob.h"

#include "diag/DbgLog.h"
#include "diag/EventLog.h"
#include "emf/ParseEMF.h"
#include "fonts/HashPipe.h"
#include "gateway/Jdf.h"
#include "gateway/Watermark.h"
#include "native/JobWriter.h"
#include "native/ViewLibrary.h"
#include "port/PortMonitor.h"
#include "printproc/FontList.h"
#include "printproc/Util.h"
#include "printproc/Winprint.h"
#include "printproc/raw.h"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <new>
#include <optional>

namespace {

// ---- spool record layout ---------------------------------------------------------------

constexpr DWORD SPOOL_HEADER_SIZE = 8;
constexpr DWORD SPL_FILE_HEADER = 0x00010000;
constexpr DWORD SPL_METAFILE = 1;
constexpr DWORD SPL_DEVMODE = 3;
constexpr DWORD SPL_FORM_METAFILE = 9;
constexpr DWORD SPL_BW_METAFILE = 10;
constexpr DWORD SPL_METAFILE_DATA = 12;
constexpr DWORD SPL_METAFILE_EXT = 13;
constexpr DWORD SPL_BW_METAFILE_EXT = 14;
constexpr DWORD SPL_LAST_EXT = 18;

// A device mode record shorter than the public DEVMODEW is copied through.
constexpr DWORD DEVMODE_RECORD_MIN = 220;
static_assert(offsetof(DEVMODEW, dmFields) == 72);
static_assert(offsetof(DEVMODEW, dmCopies) == 86);
static_assert(offsetof(DEVMODEW, dmDuplex) < DEVMODE_RECORD_MIN);
static_assert(sizeof(DEVMODEW) == DEVMODE_RECORD_MIN);

// Bytes the working buffer of the device mode block has beyond the device mode.
constexpr DWORD DEVMODE_WORK_EXTRA = 1024;

// Device mode and extension records are held whole in memory. No real record
// of either kind comes near this size; a larger one is treated like a failed
// allocation and ends the record loop.
constexpr DWORD HELD_RECORD_MAX = 16u << 20;

// The 5 marker bytes, without terminator.
constexpr BYTE kMarker[] = {'%', '%', 'E', 'M', 'F'};

DWORD ReadU32(const BYTE* p) {
    DWORD dw = 0;
    std::memcpy(&dw, p, sizeof(dw));
    return dw;
}

void StoreU32(BYTE* p, DWORD dw) {
    std::memcpy(p, &dw, sizeof(dw));
}

// ---- owned resources --------------------------------------------------------------------

// A zero-filled global-memory block, freed on every way out.
class CGlobalBuffer {
public:
    explicit CGlobalBuffer(SIZE_T cb) : m_p(static_cast<LPBYTE>(MemAlloc(cb))) {}
    ~CGlobalBuffer() {
        if (m_p) MemFreeT(&m_p);
    }
    CGlobalBuffer(const CGlobalBuffer&) = delete;
    CGlobalBuffer& operator=(const CGlobalBuffer&) = delete;
    LPBYTE Get() const { return m_p; }

private:
    LPBYTE m_p;
};

// The job's compression configuration. The job record borrows its font
// patterns, so the borrow ends with the configuration.
class CJobConfig {
public:
    explicit CJobConfig(PPRINTPROCESSORDATA pData) : m_pData(pData) {}
    ~CJobConfig() {
        ReleaseCompressionConfig(&cnf);
        m_pData->pIncludeFonts = nullptr;
    }
    CJobConfig(const CJobConfig&) = delete;
    CJobConfig& operator=(const CJobConfig&) = delete;
    ComprCnf cnf{};

private:
    PPRINTPROCESSORDATA m_pData;
};

// The Win32 code an HRESULT carries, or the HRESULT itself when it is not a
// wrapped Win32 code (CryptoAPI reports its own NTE_* codes that way too).
DWORD ErrorOfHResult(HRESULT hr) {
    const DWORD dw = static_cast<DWORD>(hr);
    return (dw & 0xFFFF0000u) == 0x80070000u ? (dw & 0xFFFFu) : dw;
}

// The job handle of the copy being printed, closed on every way out; under
// AGNP it is also the job reader of the native job until then.
class CCopyReader {
public:
    explicit CCopyReader(PPRINTPROCESSORDATA pData) : m_pData(pData) {}
    ~CCopyReader() { Close(); }
    CCopyReader(const CCopyReader&) = delete;
    CCopyReader& operator=(const CCopyReader&) = delete;
    void Hold(HANDLE hJob) { m_hJob = hJob; }
    void Close() {
        if (!m_hJob) return;
        ClosePrinter(m_hJob);
        if (m_pData->hJobReader == m_hJob) m_pData->hJobReader = nullptr;
        m_hJob = nullptr;
    }

private:
    PPRINTPROCESSORDATA m_pData;
    HANDLE m_hJob = nullptr;
};

BOOL IsCancelled(PPRINTPROCESSORDATA pData) {
    return (std::atomic_ref<DWORD>(pData->fsStatus).load(std::memory_order_acquire) & PRINTPROCESSOR_CANCELLED) != 0;
}

// ---- port monitor calls -------------------------------------------------------------------

void CountPage(PPRINTPROCESSORDATA pData, const GATEWAYPORTNAMES& names) {
    pData->dwPageCount += 1;
    if (g_pfnIncrementPageCount) {
        g_pfnIncrementPageCount(names.pszPortName, names.pszComputerName);
        QLLOG(LOG_INF, WSTR("Increment Page Count: %s, %s"), names.pszComputerName, names.pszPortName);
    }
}

// ---- record handlers -----------------------------------------------------------------------
// Each returns FALSE when the record loop has to end.

// Writes the record's body through unchanged, streamed from the job.
BOOL CopyBody(PPRINTPROCESSORDATA pData, HANDLE hJob, DWORD cbBody) {
    if (!ReadJobData(hJob, pData->hPrinter, nullptr, cbBody, pData, nullptr, nullptr, WRITE_CONTINUE)) return FALSE;
    return !pData->fJobAborted;
}

BOOL FileHeaderRecord(PPRINTPROCESSORDATA pData, HANDLE hJob, const BYTE* pHeader) {
    // The size of this record counts its own header.
    const DWORD cbRecord = ReadU32(pHeader + 4);
    if (pData->fFraming) {
        BYTE abBlock[SPOOL_HEADER_SIZE];
        StoreU32(abBlock, FRAME_DATA_BLOCK);
        StoreU32(abBlock + 4, cbRecord);
        WriteJobOutput(pData, abBlock, sizeof(abBlock), WRITE_CONTINUE);
    }
    if (!WriteJobOutput(pData, pHeader, SPOOL_HEADER_SIZE, WRITE_CONTINUE)) return FALSE;
    if (cbRecord < SPOOL_HEADER_SIZE) return FALSE;
    return CopyBody(pData, hJob, cbRecord - SPOOL_HEADER_SIZE);
}

BOOL DevmodeRecord(PPRINTPROCESSORDATA pData, HANDLE hJob, const BYTE* pHeader, PCOMPRCNF pComprCnf,
                   PRINTABLEAREACACHE* pCache, const GATEWAYPORTNAMES& names, BOOL* pfFirstDevmode) {
    const DWORD cbBody = ReadU32(pHeader + 4);
    if (!WriteJobOutput(pData, pHeader, SPOOL_HEADER_SIZE, WRITE_RECORD_HEADER)) return FALSE;
    if (cbBody < DEVMODE_RECORD_MIN) return CopyBody(pData, hJob, cbBody);

    if (cbBody > HELD_RECORD_MAX) {
        QLLOG(LOG_ERR, WSTR("device mode record of %lu bytes not taken"), cbBody);
        return FALSE;
    }
    CGlobalBuffer body(cbBody);
    if (!body.Get()) {
        QLLOG(LOG_ERR, WSTR("no memory for a device mode record of %lu bytes"), cbBody);
        return FALSE;
    }
    if (!ReadJobData(hJob, nullptr, body.Get(), cbBody, pData, nullptr, nullptr, WRITE_DATA)) return FALSE;

    const DWORD dmFields = ReadU32(body.Get() + offsetof(DEVMODEW, dmFields));
    short dmCopies = 0;
    std::memcpy(&dmCopies, body.Get() + offsetof(DEVMODEW, dmCopies), sizeof(dmCopies));
    QLLOG(LOG_INF, WSTR("Copy Count found: %d"), static_cast<int>(dmCopies));

    // Only the first device mode of a copy tells the port monitor the count.
    if (*pfFirstDevmode) {
        *pfFirstDevmode = FALSE;
        if ((dmFields & DM_COPIES) && g_pfnSetPrintCopyCount) {
            g_pfnSetPrintCopyCount(names.pszPortName, names.pszComputerName, static_cast<DWORD>(dmCopies));
            QLLOG(LOG_INF, WSTR("Copy Count sent: %s, %s %d"), names.pszComputerName, names.pszPortName,
                  static_cast<int>(dmCopies));
        }
    }

    PatchDevmodeRecord(pData, pComprCnf, pCache, body.Get(), cbBody);
    return WriteJobOutput(pData, body.Get(), cbBody, WRITE_CONTINUE);
}

BOOL ExtensionRecord(PPRINTPROCESSORDATA pData, HANDLE hJob, const BYTE* pHeader) {
    const DWORD cbBody = ReadU32(pHeader + 4);
    if (cbBody > HELD_RECORD_MAX) {
        QLLOG(LOG_ERR, WSTR("extension record of %lu bytes not taken"), cbBody);
        return FALSE;
    }
    CGlobalBuffer body(cbBody);
    if (!body.Get()) {
        QLLOG(LOG_ERR, WSTR("no memory for an extension record of %lu bytes"), cbBody);
        return FALSE;
    }
    pData->dwRecordPos = pData->dwInputPos - SPOOL_HEADER_SIZE;
    if (!ReadJobData(hJob, nullptr, body.Get(), cbBody, pData, nullptr, nullptr, WRITE_DATA)) return FALSE;

    // The body begins with the distance back to the record it refers to; fonts
    // inserted into the output since then lengthen it.
    if (cbBody >= sizeof(DWORD)) {
        const DWORD dwDistance = ReadU32(body.Get());
        StoreU32(body.Get(), AdjustSpoolOffset(pData->pFontList, pData->dwRecordPos, dwDistance));
    }
    if (!WriteJobOutput(pData, pHeader, SPOOL_HEADER_SIZE, WRITE_RECORD_HEADER)) return FALSE;
    return WriteJobOutput(pData, body.Get(), cbBody, WRITE_CONTINUE);
}

} // namespace

BOOL PrintSpoolRecords(PPRINTPROCESSORDATA pData, HANDLE hJob, PCOMPRCNF pComprCnf, PRINTABLEAREACACHE* pCache,
                       const GATEWAYPORTNAMES& names, DWORD* pdwPageError) {
    BOOL fResult = TRUE;
    BOOL fFirstDevmode = TRUE;
    BYTE abHeader[SPOOL_HEADER_SIZE];

    // The loop ends when no further header can be read: end of data, a failed
    // read, or a cancelled job.
    while (ReadJobData(hJob, nullptr, abHeader, SPOOL_HEADER_SIZE, pData, nullptr, nullptr, WRITE_DATA)) {
        const DWORD dwType = ReadU32(abHeader);
        const DWORD cbSize = ReadU32(abHeader + 4);

        if (dwType == SPL_FILE_HEADER) {
            if (!FileHeaderRecord(pData, hJob, abHeader)) break;
            continue;
        }
        if (dwType == SPL_DEVMODE) {
            if (!DevmodeRecord(pData, hJob, abHeader, pComprCnf, pCache, names, &fFirstDevmode)) break;
            continue;
        }
        if (cbSize == 0) {
            QLLOG(LOG_INF, WSTR("record of type %lu with size 0: end of the spool data"), dwType);
            break;
        }

        BOOL fGoOn = TRUE;
        switch (dwType) {
        case SPL_METAFILE:
        case SPL_FORM_METAFILE:
        case SPL_BW_METAFILE:
        case SPL_METAFILE_DATA:
            pData->dwRecordPos = pData->dwInputPos - SPOOL_HEADER_SIZE;
            if (!ParseEMF(hJob, pData, abHeader, pComprCnf)) {
                // The first failed page's error is what the job reports.
                if (fResult && pdwPageError) *pdwPageError = GetLastError();
                fResult = FALSE;
            }
            if (dwType != SPL_METAFILE_DATA) CountPage(pData, names);
            break;
        default:
            if (dwType >= SPL_METAFILE_EXT && dwType <= SPL_LAST_EXT) {
                fGoOn = ExtensionRecord(pData, hJob, abHeader);
                if (fGoOn && (dwType == SPL_METAFILE_EXT || dwType == SPL_BW_METAFILE_EXT)) CountPage(pData, names);
            } else {
                fGoOn = WriteJobOutput(pData, abHeader, SPOOL_HEADER_SIZE, WRITE_RECORD_HEADER) &&
                        CopyBody(pData, hJob, cbSize);
            }
            break;
        }
        if (!fGoOn) break;
        // A failed send ends the copy: every later write would be refused.
        if (pData->fJobAborted) break;
    }
    return fResult;
}

BOOL PrintQLEMFJob(PPRINTPROCESSORDATA pData, LPWSTR pDocumentName) {
    QLLOG(LOG_TRC, WSTR("PrintQLEMFJob <%s>"), pDocumentName);
    if (!PASSED(pData == 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    // ---- job preparation ----
    CJobConfig config(pData);
    PRINTABLEAREACACHE cache = {};
    DOC_INFO_1W docInfo = {};
    docInfo.pDocName = pData->pDocumentName;
    docInfo.pOutputFile = pData->pOutputFile;
    docInfo.pDatatype = const_cast<LPWSTR>(WSTR("RAW"));

    ReadCompressionConfig(pData->hPrinter, &config.cnf);
    QLLOG(LOG_INF, WSTR("Adopt compression settings"));
    ApplyDestinationSettings(pData, &config.cnf);

    const BOOL fAGNPConfigured = config.cnf.szAgentlessNativePrinting[0] != 0;
    const BOOL fNative = fAGNPConfigured && EnsureViewLibrary();
    if (!MyStartDocPrinter(pData, 1, &docInfo, fNative)) return FALSE;

    WCHAR szComputerName[STAT_NAME_CCH];
    WCHAR szPortName[STAT_NAME_CCH];
    SplitServerPrinterName(pData->pPrinterName, szComputerName, szPortName);
    QLLOG(LOG_INF, WSTR("Spooling to ComputerName=%s, PortName=%s"), szComputerName, szPortName);
    const GATEWAYPORTNAMES names = {szComputerName, szPortName};

    // The current copy's job handle. Every way out after the document start -
    // early returns and exceptions alike - closes it and ends the document;
    // the configuration goes with `config`.
    CCopyReader reader(pData);
    auto abandon = [&]() -> BOOL {
        reader.Close();
        MyEndDocPrinter(pData, fNative);
        return FALSE;
    };

    BOOL fResult = TRUE;
    DWORD dwPageError = ERROR_SUCCESS;
    try {
        for (DWORD dwCopy = 0; dwCopy < pData->dwCopies; ++dwCopy) {
            pData->fFraming = 0;

            HANDLE hJob = nullptr;
            if (!OpenPrinterW(pDocumentName, &hJob, nullptr)) {
                const DWORD dwError = GetLastError();
                QLLOG(LOG_INF, WSTR("OpenPrinter: %lu"), dwError);
                abandon();
                SetLastError(dwError);
                return FALSE;
            }
            reader.Hold(hJob);

            if (fAGNPConfigured) {
                if (!EnsureViewLibrary()) {
                    ReportEventToLog(QL_EVENT_SOURCE, WSTR("QLWinPrn: Agentless Native Printing, no DLL found."));
                    return abandon();
                }
                pData->hJobReader = hJob;
                BuildExtendedUserName(pData, hJob);
            } else {
                WriteJobOutput(pData, kMarker, sizeof(kMarker), WRITE_DATA);
            }

            // The device mode block; under AGNP the adjusted device mode lands
            // in the working buffer for the native job instead.
            LPDEVMODEW pWorkDevmode = nullptr;
            {
                std::optional<CGlobalBuffer> work;
                if (pData->pDevMode) {
                    const SIZE_T cbWork = static_cast<SIZE_T>(pData->pDevMode->dmSize) +
                                          pData->pDevMode->dmDriverExtra + DEVMODE_WORK_EXTRA;
                    work.emplace(cbWork);
                    if (work->Get()) {
                        WriteDevmodeBlock(pData, &config.cnf, &cache, work->Get(), fAGNPConfigured);
                        pWorkDevmode = reinterpret_cast<LPDEVMODEW>(work->Get());
                    } else {
                        QLLOG(LOG_ERR, WSTR("no memory for the device mode block"));
                    }
                }

                if (fAGNPConfigured) {
                    if (!AGNPPrinterAllowed(pData->pPrinterName, config.cnf.szAgentlessNativePrinting)) {
                        ReportEventToLog(QL_EVENT_SOURCE, WSTR("QLWinPrn: AGNP printer is on a different machine"));
                        QLLOG(LOG_ERR, WSTR("QLWinPrn: AGNP printer is on a different machine"));
                        return abandon();
                    }
                    if (!QLViewDLL_QLEMFOpenJob(pData, config.cnf.szAgentlessNativePrinting,
                                                config.cnf.szVirtualCopy, pWorkDevmode)) {
                        QLLOG(LOG_ERR, WSTR("QLViewDLL_QLEMFOpenJob failed"));
                        return abandon();
                    }
                }
                // The working buffer ends here.
            }

            if (!fAGNPConfigured && pData->fPDFBridge) (void)AttachJdf(pData);

            pData->fFraming = config.cnf.fBitmapCaching ? 1 : 0;

            DWORD dwWatermarkOffset = 0;
            DWORD dwWatermarkEnd = 0;
            if (HANDLE hWatermark = OpenWatermarkSource(&dwWatermarkOffset, &dwWatermarkEnd)) {
                if (dwWatermarkOffset >= dwWatermarkEnd) {
                    ReportEventToLog(QL_EVENT_SOURCE, WSTR("QLWinPrn: No page in watermark."));
                    CloseHandle(hWatermark);
                    return abandon();
                }
                WriteWatermarkBlock(pData, hWatermark, dwWatermarkOffset, dwWatermarkEnd);
            }

            if (!PrintSpoolRecords(pData, hJob, &config.cnf, &cache, names,
                                   fResult ? &dwPageError : nullptr)) {
                fResult = FALSE;
            }

            reader.Close();
            if (IsCancelled(pData)) break;
        }
    } catch (const CHResultError& e) {
        // The image cache's hash pipe failed: the page in hand is lost, so
        // the job ends here like any other failed step after the start.
        QLLOG(LOG_ERR, WSTR("hash pipe failed, HRESULT 0x%08lx: job ended"), static_cast<DWORD>(e.Error()));
        abandon();
        SetLastError(ErrorOfHResult(e.Error()));
        return FALSE;
    } catch (const std::bad_alloc&) {
        QLLOG(LOG_ERR, WSTR("out of memory: job ended"));
        abandon();
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }

    // ---- finish ----
    MyEndDocPrinter(pData, fNative);
    // Ending the document may touch the thread's error; a failed page's
    // error is what the caller sees.
    if (!fResult) SetLastError(dwPageError != ERROR_SUCCESS ? dwPageError : ERROR_INVALID_DATA);
    return fResult;
}
