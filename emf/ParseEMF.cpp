// The EMF record walker: transforms one page record of a gateway job.
//
// Every EMF record of the page passes unchanged except bitmap records
// (EMR_STRETCHDIBITS), which go through the image cache, the resolution
// reduction and then deletion or compression, and font-creation records,
// which are handed to the font embedding. Record sizes never change: bytes a
// step removes become zeros, or holes in framed output, so every offset in
// the page stays valid.
//
// Pages below dwCompressionEMFInMem bytes are held in memory whole; larger
// pages are streamed through a temporary file that holds the transformed
// page, with only the EMR_HEADER and the current bitmap or font record in
// memory.
#define QL_MODULE WSTR("ParseEMF")
#include "emf/ParseEMF.h"

#include "diag/DbgLog.h"
#include "emf/BitmapCache.h"
#include "emf/BitmapCompress.h"
#include "emf/DPIReduction.h"
#include "emf/EmfPage.h"
#include "emf/EmfRecords.h"
#include "fonts/AddFonts.h"
#include "fonts/HashPipe.h"
#include "native/JobWriter.h"
#include "printproc/JobContainers.h"
#include "printproc/Util.h"
#include "printproc/raw.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

// Which walker runs a bitmap step; the number appears in its log lines.
constexpr int WALKER_FILE = 1;
constexpr int WALKER_BUFFER = 2;

// Records are copied through a buffer of this size when they are not held.
constexpr DWORD COPY_BLOCK_SIZE = 4096;

// The temporary file's C run-time buffer: the page is written and read back
// in blocks of this size rather than a few KiB per system call.
constexpr size_t TEMP_FILE_BUFFER_SIZE = 1u << 20;

DWORD ReadU32(const BYTE* p) {
    return LoadRecord<DWORD>(p);
}

// Global memory freed on every way out, exceptions included.
class CGlobalBuffer {
public:
    explicit CGlobalBuffer(SIZE_T cb) : m_p(static_cast<BYTE*>(MemAlloc(cb))) {}
    ~CGlobalBuffer() {
        if (m_p) MemFreeT(&m_p);
    }
    CGlobalBuffer(const CGlobalBuffer&) = delete;
    CGlobalBuffer& operator=(const CGlobalBuffer&) = delete;
    BYTE* Get() const { return m_p; }

private:
    BYTE* m_p;
};

// A page that is not sent must not leave cache entries behind that later
// references could name, nor image numbers the receiver never sees. Unless
// dismissed, the guard forgets what the page entered into the cache.
class CPageRollback {
public:
    explicit CPageRollback(const EMFPAGESTATE& page)
        : m_pData(page.pData), m_qwPageBase(page.qwPageBase), m_dwImageCount(page.pData->dwImageCount) {}
    ~CPageRollback() {
        if (m_fDismissed) return;
        DropBitmapCacheEntries(m_pData, m_qwPageBase);
        m_pData->dwImageCount = m_dwImageCount;
    }
    CPageRollback(const CPageRollback&) = delete;
    CPageRollback& operator=(const CPageRollback&) = delete;
    void Dismiss() { m_fDismissed = true; }

private:
    PPRINTPROCESSORDATA m_pData;
    uint64_t m_qwPageBase;
    DWORD m_dwImageCount;
    bool m_fDismissed = false;
};

double PerformanceFrequency() {
    static const double dFrequency = [] {
        LARGE_INTEGER li{};
        QueryPerformanceFrequency(&li);
        return li.QuadPart > 0 ? static_cast<double>(li.QuadPart) : 1.0;
    }();
    return dFrequency;
}

void WriteImageHash(FILE* pStat, const BYTE* pRecord, DWORD nSize) {
    fprintf(pStat, "IMGHASH: %4d %10lu ", static_cast<int>(EMR_STRETCHDIBITS_TYPE),
            static_cast<unsigned long>(nSize - EMR_RECORD_HEADER_SIZE));
    BYTE abDigest[MD5_DIGEST_SIZE];
    if (ComputeMD5(abDigest, pRecord + EMR_RECORD_HEADER_SIZE, nSize - EMR_RECORD_HEADER_SIZE)) {
        for (BYTE b : abDigest) fprintf(pStat, "%02x", b);
    }
    fputc('\n', pStat);
}

void WriteSaving(FILE* pStat, DWORD cbSaved) {
    if (pStat) fprintf(pStat, "IMGCMPR:      %10lu\n", static_cast<unsigned long>(cbSaved));
}

// The bitmap pipeline for one EMR_STRETCHDIBITS record held whole in memory:
// cache, resolution reduction, then deletion or compression.
void ProcessBitmapRecord(EMFPAGESTATE& page, const ComprCnf* pComprCnf, const BYTE* pEnhMetaHeader,
                         DWORD cbEnhMetaHeader, FILE* pStat, BYTE* pRecord, DWORD nSize, uint64_t qwRecordPos,
                         int iWalker) {
    PPRINTPROCESSORDATA pData = page.pData;
    ++pData->dwImageCount;

    StretchDIBitsRecord rec{};
    if (nSize >= STRETCHDIBITS_FIXED_SIZE) rec = LoadRecord<StretchDIBitsRecord>(pRecord);
    if (!StretchDIBitsFitsRecord(rec, nSize)) {
        QLLOG(LOG_ERR, WSTR("bitmap record of %lu bytes does not hold its bitmap: sent unchanged"), nSize);
        return;
    }
    const DWORD cbBitsReceived = rec.cbBitsSrc;
    const BOOL fDeletion = IsBitmapDeletion(pComprCnf);

    BOOL fHit = FALSE;
    const int64_t cbAfterHeader = int64_t(nSize) - rec.offBmiSrc - BITMAPINFOHEADER_SIZE;
    if (pComprCnf->fBitmapCaching && !fDeletion && cbAfterHeader >= 8 && nSize >= pComprCnf->dwImageRecallMin) {
        fHit = LookupBitmapCache(page, pRecord, nSize, qwRecordPos);
    }

    if (!fHit && pComprCnf->fDPIReduction) {
        RECT rcTarget{};
        if (NeedsDPIReduction(pRecord, nSize, pEnhMetaHeader, cbEnhMetaHeader, pData->pDevMode,
                              pComprCnf->dwDPIReductionMin, &rcTarget)) {
            ReduceBitmapDPI(pRecord, nSize, &rcTarget, pStat);
            rec = LoadRecord<StretchDIBitsRecord>(pRecord);
            if (rec.cbBitsSrc < cbBitsReceived) {
                page.Release(pRecord, qwRecordPos, rec.offBitsSrc + rec.cbBitsSrc, rec.offBitsSrc + cbBitsReceived);
            }
        }
    }

    if (fDeletion) {
        QLLOG(LOG_TRC, WSTR("B. will be deleted"));
        rec = LoadRecord<StretchDIBitsRecord>(pRecord);
        rec.iType = EMR_DELETEDDIBITS;
        StoreRecord(pRecord, rec);
        page.Release(pRecord, qwRecordPos, STRETCHDIBITS_FIXED_SIZE, nSize);
        WriteSaving(pStat, nSize - STRETCHDIBITS_FIXED_SIZE);
    } else if (!fHit && !IsCompressionOff(pComprCnf)) {
        QLLOG(LOG_TRC, WSTR("B. will be compressed(%d)"), iWalker);
        LARGE_INTEGER liStart{}, liEnd{};
        QueryPerformanceCounter(&liStart);
        CompressStretchDIBits(pRecord, nSize, pComprCnf, pStat);
        QueryPerformanceCounter(&liEnd);
        QLLOG(LOG_TRC, WSTR("B. will be compressed(%d)in %f"), iWalker,
              static_cast<double>(liEnd.QuadPart - liStart.QuadPart) / PerformanceFrequency());
        rec = LoadRecord<StretchDIBitsRecord>(pRecord);
        if (rec.iType == EMR_COMPRESSEDDIBITS) {
            const uint64_t qwFrom = uint64_t(rec.offBmiSrc) + BITMAPINFOHEADER_SIZE + rec.cbBitsSrc;
            if (qwFrom < nSize) page.Release(pRecord, qwRecordPos, static_cast<DWORD>(qwFrom), nSize);
        }
    }

    rec = LoadRecord<StretchDIBitsRecord>(pRecord);
    rec.cbBitsSrc = cbBitsReceived;
    StoreRecord(pRecord, rec);
}

// Corrects what the font data written during the page moved, and lists the
// page's holes with the job writer. TRUE when the page has holes. pBuffer is
// the page in memory, or null when it is in pTempFile.
BOOL FinishPage(EMFPAGESTATE& page, BYTE* pBuffer, FILE* pTempFile, BOOL* pfOk) {
    PPRINTPROCESSORDATA pData = page.pData;
    const uint64_t qwDelta = pData->qwOutputPos - page.qwPageBase;
    if (qwDelta) {
        MoveBitmapCacheEntries(pData, page.qwPageBase, qwDelta);
        for (DWORD dwOffset : page.backRefs) {
            if (pBuffer) {
                StoreRecord(pBuffer + dwOffset, LoadRecord<int64_t>(pBuffer + dwOffset) - static_cast<int64_t>(qwDelta));
                continue;
            }
            BYTE ab[8];
            if (_fseeki64(pTempFile, dwOffset, SEEK_SET) != 0 || fread(ab, 1, 8, pTempFile) != 8 ||
                _fseeki64(pTempFile, dwOffset, SEEK_SET) != 0) {
                *pfOk = FALSE;
                continue;
            }
            StoreRecord(ab, LoadRecord<int64_t>(ab) - static_cast<int64_t>(qwDelta));
            if (fwrite(ab, 1, 8, pTempFile) != 8) *pfOk = FALSE;
        }
        for (PageHole& hole : page.holes) hole.qwPosition += qwDelta;
    }
    BOOL fHoles = FALSE;
    for (const PageHole& hole : page.holes) {
        if (hole.cbLength <= 8) continue;
        pData->pHoleList->Add(hole.qwPosition, hole.cbLength);
        fHoles = TRUE;
    }
    return fHoles;
}

EMFPAGESTATE BeginPage(PPRINTPROCESSORDATA pData) {
    EMFPAGESTATE page;
    page.pData = pData;
    page.qwPageBase = pData->qwOutputPos;
    // Without a hole list there is nowhere to announce holes: release by zeros.
    page.fFraming = pData->fFraming && pData->pHoleList;
    return page;
}

// The server part of a printer name \\server\printer..., empty otherwise.
void ServerPart(LPCWSTR pPrinterName, WCHAR (&szServer)[MAX_PATH]) {
    szServer[0] = 0;
    if (!pPrinterName || pPrinterName[0] != u'\\' || pPrinterName[1] != u'\\') return;
    LPCWSTR pStart = pPrinterName + 2;
    LPCWSTR pEnd = pStart;
    while (*pEnd && *pEnd != u'\\') ++pEnd;
    const size_t cch = static_cast<size_t>(pEnd - pStart);
    if (*pEnd != u'\\' || cch == 0 || cch >= MAX_PATH) return;
    std::memcpy(szServer, pStart, cch * sizeof(WCHAR));
    szServer[cch] = 0;
}

// The statistics file, used only when it already exists.
class CStatFile {
public:
    CStatFile() : m_p(_wfopen(WSTR("c:\\qlwinprn-stat.txt"), WSTR("r+"))) {
        if (m_p) fseek(m_p, 0, SEEK_END);
    }
    ~CStatFile() {
        if (m_p) fclose(m_p);
    }
    CStatFile(const CStatFile&) = delete;
    CStatFile& operator=(const CStatFile&) = delete;
    FILE* Get() const { return m_p; }

private:
    FILE* m_p;
};

// Closes and deletes the temporary file of ParseEMFFile, also when the
// walker leaves by an exception.
class CTempFile {
public:
    CTempFile(FILE* pFile, LPCWSTR pszName) : m_pFile(pFile) { lstrcpynW(m_szFileName, pszName, MAX_PATH); }
    ~CTempFile() {
        WCHAR* szFileName = m_szFileName;
        QLLOG(LOG_TRC, WSTR("close and delete file <%s>"), szFileName);
        const int iClose = fclose(m_pFile);
        QLLOG(LOG_TRC, WSTR("fclose returns %d (O == ok), now try to delete file"), iClose);
        BOOL fDelRtn = FALSE;
        CHECK((fDelRtn = DeleteFileW (szFileName)));
        const DWORD dwError = GetLastError();
        QLLOG(LOG_TRC, WSTR("DeleteFile(%s) returns %d(1==ok) (lasterror=%d)"), szFileName, fDelRtn, dwError);
    }
    CTempFile(const CTempFile&) = delete;
    CTempFile& operator=(const CTempFile&) = delete;
    FILE* Get() const { return m_pFile; }

private:
    FILE* m_pFile;
    WCHAR m_szFileName[MAX_PATH];
};

// ReadJobData for the page's bytes. A job whose data end inside the page is
// malformed: that failure says so, where a failed read or a cancel has
// already set its own error.
BOOL ReadPageData(HANDLE hReader, HANDLE hDstPrinter, LPVOID pBuf, DWORD cbBuf, PPRINTPROCESSORDATA pData,
                  FILE* pFile, LPDWORD pcbRead, DWORD dwMode) {
    SetLastError(ERROR_SUCCESS);
    if (ReadJobData(hReader, hDstPrinter, pBuf, cbBuf, pData, pFile, pcbRead, dwMode)) return TRUE;
    if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_INVALID_DATA);
    return FALSE;
}

BOOL WriteOut(PPRINTPROCESSORDATA pData, const void* pBuf, DWORD cb, DWORD dwMode) {
    return WriteJobOutput(pData, pBuf, cb, dwMode) && !pData->fJobAborted;
}

// Appends to the temporary file; a short write is a write fault.
BOOL AppendToTemp(FILE* pTemp, const void* pBuf, DWORD cb) {
    if (fwrite(pBuf, 1, cb, pTemp) == cb) return TRUE;
    SetLastError(ERROR_WRITE_FAULT);
    return FALSE;
}

// Copies cb bytes of the job input to the temporary file.
BOOL CopyToTemp(HANDLE hReader, PPRINTPROCESSORDATA pData, FILE* pTemp, DWORD cb) {
    return cb == 0 || ReadPageData(hReader, nullptr, nullptr, cb, pData, pTemp, nullptr, WRITE_DATA);
}

} // namespace

void EMFPAGESTATE::Release(BYTE* pRecord, uint64_t qwRecordPos, DWORD dwFrom, DWORD dwTo) {
    if (dwTo <= dwFrom) return;
    if (!fFraming) {
        std::memset(pRecord + dwFrom, 0, dwTo - dwFrom);
        return;
    }
    const PageHole hole{qwRecordPos + dwFrom, dwTo - dwFrom, qwRecordPos};
    if (!holes.empty() && holes.back().qwRecordPos == qwRecordPos) {
        holes.back() = hole;
    } else {
        holes.push_back(hole);
    }
}

BOOL ParseEMFBuffer(HANDLE hReader, PPRINTPROCESSORDATA pData, const BYTE* pRecordHeader, const ComprCnf* pComprCnf,
                    FILE* pStat) {
    const DWORD cbPage = ReadU32(pRecordHeader + 4);
    CGlobalBuffer buffer(cbPage ? cbPage : 1);
    BYTE* pPage = buffer.Get();
    if (!pPage) return FALSE;
    if (!ReadPageData(hReader, nullptr, pPage, cbPage, pData, nullptr, nullptr, WRITE_DATA)) return FALSE;

    EMFPAGESTATE page = BeginPage(pData);
    CPageRollback rollback(page);

    if (cbPage < EMR_RECORD_HEADER_SIZE) {
        QLLOG(LOG_ERR, WSTR("illegal Size detected = %d"), cbPage);
    } else {
        const DWORD dwHeaderType = ReadU32(pPage);
        const DWORD cbHeader = ReadU32(pPage + 4);
        if (cbHeader < EMR_RECORD_HEADER_SIZE || cbHeader > cbPage) {
            QLLOG(LOG_ERR, WSTR("illegal Size detected = %d"), cbHeader);
        } else if (dwHeaderType == EMR_HEADER_TYPE) {
            DWORD dwOffset = cbHeader;
            while (dwOffset < cbPage) {
                const DWORD dwLen = cbPage - dwOffset;
                BYTE* pRecord = pPage + dwOffset;
                if (dwLen < EMR_RECORD_HEADER_SIZE) {
                    // Not even a record header fits: the tail goes as it came.
                    QLLOG(LOG_ERR, WSTR("illegal Size detected = %d"), dwLen);
                    break;
                }
                const DWORD iType = ReadU32(pRecord);
                const DWORD nSize = ReadU32(pRecord + 4);
                if (nSize < EMR_RECORD_HEADER_SIZE) {
                    QLLOG(LOG_ERR, WSTR("illegal Size detected = %d"), nSize);
                    break;
                }
                if (nSize > dwLen) {
                    QLLOG(LOG_ERR, WSTR("Stop parsing: pEnhMetaRecord->nSize(%u) > dwLen(%u)"), nSize, dwLen);
                    SetLastError(ERROR_INVALID_DATA);
                    return FALSE;
                }
                if (iType == EMR_STRETCHDIBITS_TYPE && pStat) WriteImageHash(pStat, pRecord, nSize);
                if (iType == EMR_EXTCREATEFONTINDIRECTW_TYPE) {
                    QLLOG(LOG_TRC, WSTR("Look for fonts"));
                    AddFonts(&pData->pFontList, pRecord, nSize, pData);
                }
                if (iType == EMR_STRETCHDIBITS_TYPE) {
                    ProcessBitmapRecord(page, pComprCnf, pPage, cbHeader, pStat, pRecord, nSize,
                                        page.StreamPos(dwOffset), WALKER_BUFFER);
                }
                dwOffset += nSize;
            }
        }
    }

    BOOL fOk = TRUE;
    const BOOL fHoles = FinishPage(page, pPage, nullptr, &fOk);
    rollback.Dismiss();
    return WriteOut(pData, pRecordHeader, PAGE_RECORD_HEADER_SIZE, fHoles ? WRITE_DATA_HEADER : WRITE_RECORD_HEADER) &&
           WriteOut(pData, pPage, cbPage, fHoles ? WRITE_DATA : WRITE_CONTINUE);
}

BOOL ParseEMFFile(HANDLE hReader, PPRINTPROCESSORDATA pData, const BYTE* pRecordHeader, const ComprCnf* pComprCnf,
                  FILE* pTempFile, FILE* pStat) {
    const DWORD cbPage = ReadU32(pRecordHeader + 4);
    BYTE abRecord[EMR_RECORD_HEADER_SIZE];

    // A page too short for a record header goes as it came.
    if (cbPage < EMR_RECORD_HEADER_SIZE) {
        QLLOG(LOG_ERR, WSTR("illegal Size detected = %d"), cbPage);
        return WriteOut(pData, pRecordHeader, PAGE_RECORD_HEADER_SIZE, WRITE_RECORD_HEADER) &&
               (cbPage == 0 ||
                ReadPageData(hReader, pData->hPrinter, nullptr, cbPage, pData, nullptr, nullptr, WRITE_CONTINUE));
    }
    if (!ReadPageData(hReader, nullptr, abRecord, EMR_RECORD_HEADER_SIZE, pData, pTempFile, nullptr, WRITE_DATA)) {
        return FALSE;
    }
    const DWORD dwHeaderType = ReadU32(abRecord);
    const DWORD cbHeader = ReadU32(abRecord + 4);
    const BOOL fSizeBad = cbHeader < EMR_RECORD_HEADER_SIZE || cbHeader > cbPage;
    if (fSizeBad) QLLOG(LOG_ERR, WSTR("illegal Size detected = %d"), cbHeader);
    if (dwHeaderType != EMR_HEADER_TYPE || fSizeBad) {
        return WriteOut(pData, pRecordHeader, PAGE_RECORD_HEADER_SIZE, WRITE_RECORD_HEADER) &&
               WriteOut(pData, abRecord, EMR_RECORD_HEADER_SIZE, WRITE_CONTINUE) &&
               (cbPage == EMR_RECORD_HEADER_SIZE ||
                ReadPageData(hReader, pData->hPrinter, nullptr, cbPage - EMR_RECORD_HEADER_SIZE, pData, nullptr,
                            nullptr, WRITE_CONTINUE));
    }

    CGlobalBuffer header(cbHeader);
    BYTE* pHeader = header.Get();
    if (!pHeader) return FALSE;
    std::memcpy(pHeader, abRecord, EMR_RECORD_HEADER_SIZE);
    if (cbHeader > EMR_RECORD_HEADER_SIZE &&
        !ReadPageData(hReader, nullptr, pHeader + EMR_RECORD_HEADER_SIZE, cbHeader - EMR_RECORD_HEADER_SIZE, pData,
                     pTempFile, nullptr, WRITE_DATA)) {
        return FALSE;
    }

    EMFPAGESTATE page = BeginPage(pData);
    CPageRollback rollback(page);
    DWORD cbTemp = cbHeader;  // bytes of the page in the temporary file
    DWORD dwLen = cbPage - cbHeader;
    while (dwLen > 0) {
        if (dwLen < EMR_RECORD_HEADER_SIZE) {
            // Not even a record header fits: the tail goes as it came.
            if (!CopyToTemp(hReader, pData, pTempFile, dwLen)) return FALSE;
            cbTemp += dwLen;
            break;
        }
        if (!ReadPageData(hReader, nullptr, abRecord, EMR_RECORD_HEADER_SIZE, pData, nullptr, nullptr, WRITE_DATA)) {
            return FALSE;
        }
        const DWORD iType = ReadU32(abRecord);
        const DWORD nSize = ReadU32(abRecord + 4);
        if (nSize < EMR_RECORD_HEADER_SIZE) {
            if (!AppendToTemp(pTempFile, abRecord, EMR_RECORD_HEADER_SIZE) ||
                !CopyToTemp(hReader, pData, pTempFile, dwLen - EMR_RECORD_HEADER_SIZE)) {
                return FALSE;
            }
            cbTemp += dwLen;
            break;
        }
        if (nSize > dwLen) {
            QLLOG(LOG_ERR, WSTR("Stop parsing: Header.nSize(%u) > dwLen(%u)"), nSize, dwLen);
            SetLastError(ERROR_INVALID_DATA);
            return FALSE;
        }

        const bool fHeld = iType == EMR_STRETCHDIBITS_TYPE || iType == EMR_EXTCREATEFONTINDIRECTW_TYPE;
        CGlobalBuffer record(fHeld ? nSize : 1);
        BYTE* pRecord = fHeld ? record.Get() : nullptr;
        if (!pRecord) {
            // Records that are not transformed, and those there is no memory
            // for, are copied through.
            if (!AppendToTemp(pTempFile, abRecord, EMR_RECORD_HEADER_SIZE) ||
                !CopyToTemp(hReader, pData, pTempFile, nSize - EMR_RECORD_HEADER_SIZE)) {
                return FALSE;
            }
        } else {
            std::memcpy(pRecord, abRecord, EMR_RECORD_HEADER_SIZE);
            if (nSize > EMR_RECORD_HEADER_SIZE &&
                !ReadPageData(hReader, nullptr, pRecord + EMR_RECORD_HEADER_SIZE, nSize - EMR_RECORD_HEADER_SIZE,
                             pData, nullptr, nullptr, WRITE_DATA)) {
                return FALSE;
            }
            if (iType == EMR_STRETCHDIBITS_TYPE) {
                if (pStat) WriteImageHash(pStat, pRecord, nSize);
                ProcessBitmapRecord(page, pComprCnf, pHeader, cbHeader, pStat, pRecord, nSize, page.StreamPos(cbTemp),
                                    WALKER_FILE);
            } else {
                QLLOG(LOG_TRC, WSTR("Look for fonts"));
                AddFonts(&pData->pFontList, pRecord, nSize, pData);
            }
            if (!AppendToTemp(pTempFile, pRecord, nSize)) return FALSE;
        }
        cbTemp += nSize;
        dwLen -= nSize;
    }

    BOOL fOk = TRUE;
    const BOOL fHoles = FinishPage(page, nullptr, pTempFile, &fOk);
    if (!fOk) {
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    rollback.Dismiss();
    if (!WriteOut(pData, pRecordHeader, PAGE_RECORD_HEADER_SIZE, fHoles ? WRITE_DATA_HEADER : WRITE_RECORD_HEADER)) {
        return FALSE;
    }

    rewind(pTempFile);
    // The chunk buffer: dwCompressionEMFInMem bytes when that is larger than
    // the copy block and can be had, else the copy block.
    const bool fLargeChunk = pComprCnf->dwCompressionEMFInMem > COPY_BLOCK_SIZE;
    CGlobalBuffer large(fLargeChunk ? pComprCnf->dwCompressionEMFInMem : 1);
    BYTE abSmall[COPY_BLOCK_SIZE];
    BYTE* pChunk = abSmall;
    DWORD cbChunk = COPY_BLOCK_SIZE;
    if (fLargeChunk && large.Get()) {
        pChunk = large.Get();
        cbChunk = pComprCnf->dwCompressionEMFInMem;
    }
    DWORD cbLeft = cbTemp;
    while (cbLeft > 0) {
        const DWORD cbWant = cbLeft < cbChunk ? cbLeft : cbChunk;
        if (fread(pChunk, 1, cbWant, pTempFile) != cbWant) {
            SetLastError(ERROR_READ_FAULT);
            return FALSE;
        }
        if (!WriteOut(pData, pChunk, cbWant, fHoles ? WRITE_DATA : WRITE_CONTINUE)) return FALSE;
        cbLeft -= cbWant;
    }
    return TRUE;
}

BOOL ParseEMF(HANDLE hReader, PPRINTPROCESSORDATA pData, const BYTE* pRecordHeader, PCOMPRCNF pComprCnf) {
    if (!PASSED(pData == 0) || !PASSED(pRecordHeader == 0) || !PASSED(pComprCnf == 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD cbPage = ReadU32(pRecordHeader + 4);

    if (cbPage >= pComprCnf->dwCompressionEMFInMem) {
        WCHAR szServer[MAX_PATH];
        ServerPart(pData->pPrinterName, szServer);
        WCHAR szFileName[MAX_PATH] = {};
        FILE* pFile = nullptr;
        if (CreateTempFile(hReader, szServer, pData->dwJobId, szFileName, MAX_PATH, pComprCnf->szTempDir, &pFile) != 0 ||
            !pFile) {
            return FALSE;
        }
        BOOL fResult = FALSE;
        DWORD dwError = ERROR_SUCCESS;
        // Declared before the file so that it outlives the file's closing.
        std::unique_ptr<char[]> tempBuffer;
        try {
            tempBuffer = std::make_unique_for_overwrite<char[]>(TEMP_FILE_BUFFER_SIZE);
        } catch (const std::bad_alloc&) {
            // The file keeps its default buffer.
        }
        if (tempBuffer) setvbuf(pFile, tempBuffer.get(), _IOFBF, TEMP_FILE_BUFFER_SIZE);
        {
            CTempFile tempFile(pFile, szFileName);
            QLLOG(LOG_TRC, WSTR("ParseEMFFile with len %d called"), cbPage);
            CStatFile stat;
            fResult = ParseEMFFile(hReader, pData, pRecordHeader, pComprCnf, tempFile.Get(), stat.Get());
            dwError = GetLastError();
        }
        // Deleting the temporary file must not hide why the page failed.
        if (!fResult) SetLastError(dwError);
        return fResult;
    }

    QLLOG(LOG_TRC, WSTR("ParseEMFBuffer with len %d called"), cbPage);
    CStatFile stat;
    return ParseEMFBuffer(hReader, pData, pRecordHeader, pComprCnf, stat.Get());
}
