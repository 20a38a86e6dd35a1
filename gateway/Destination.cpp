// Destination settings and the device mode of a gateway job: the compression
// settings adapted to AGNP, Print-To-Remote and Held Printing destinations,
// the device mode adjusted for the receiver (paper code translation, physical
// page size and printable-area offsets of the local printer), the device mode
// block in front of the spool records, the patch of device mode records and
// the user name with the client's address handed to native jobs.
//
// Device modes are untrusted: every field is read only where the device
// mode's public part (dmSize bytes) covers it, and the private area only
// within dmSize + dmDriverExtra bytes of the block that holds it.
#define QL_MODULE WSTR("Winprint")
#include "gateway/Destination.h"

#include "diag/DbgLog.h"
#include "native/Devmode.h"
#include "native/JobWriter.h"
#include "native/ViewLibrary.h"
#include "palfmt.h"
#include "port/WinPort.h"
#include "printproc/Util.h"
#include "printproc/Winprint.h"

#include <cstddef>
#include <cstring>

namespace {

// The public fields this module reads or writes, at their Windows offsets.
constexpr size_t DM_HEADER_SIZE = offsetof(DEVMODEW, dmFields) + sizeof(DWORD);
static_assert(offsetof(DEVMODEW, dmDriverExtra) == 70);
static_assert(offsetof(DEVMODEW, dmFields) == 72 && DM_HEADER_SIZE == 76);
static_assert(offsetof(DEVMODEW, dmOrientation) == 76);
static_assert(offsetof(DEVMODEW, dmPaperSize) == 78);
static_assert(offsetof(DEVMODEW, dmPaperLength) == 80);
static_assert(offsetof(DEVMODEW, dmPaperWidth) == 82);
static_assert(offsetof(DEVMODEW, dmFormName) == 102);
static_assert(offsetof(DEVMODEW, dmDisplayFrequency) == 184);
static_assert(sizeof(PRINTABLEAREACACHE::szFormName) == (CCHFORMNAME + 1) * sizeof(WCHAR));

// Whether the public part of pdm holds cb bytes at offset.
bool Covers(const DEVMODEW* pdm, size_t offset, size_t cb) { return offset + cb <= pdm->dmSize; }
bool HasOrientation(const DEVMODEW* pdm) { return Covers(pdm, offsetof(DEVMODEW, dmOrientation), sizeof(short)); }
bool HasPaperSize(const DEVMODEW* pdm) { return Covers(pdm, offsetof(DEVMODEW, dmPaperSize), sizeof(short)); }
bool HasPaperDimensions(const DEVMODEW* pdm) {
    return Covers(pdm, offsetof(DEVMODEW, dmPaperLength), 2 * sizeof(short));
}
bool HasFormName(const DEVMODEW* pdm) {
    return Covers(pdm, offsetof(DEVMODEW, dmFormName), CCHFORMNAME * sizeof(WCHAR));
}
bool HasDisplayFrequency(const DEVMODEW* pdm) {
    return Covers(pdm, offsetof(DEVMODEW, dmDisplayFrequency), sizeof(DWORD));
}

// A device mode whose header is readable and whose public and private parts
// fit into the cbDevmode bytes that hold it.
bool IsUsableDevmode(const DEVMODEW* pdm, size_t cbDevmode) {
    return pdm && cbDevmode >= DM_HEADER_SIZE && pdm->dmSize >= DM_HEADER_SIZE &&
           static_cast<size_t>(pdm->dmSize) + pdm->dmDriverExtra <= cbDevmode;
}

// The trailer is a packed record at any offset: its flags are copied.
DWORD ReadTrailerFlags(const PRIVATEDEVMODE* pTrailer) {
    DWORD dwFlags = 0;
    std::memcpy(&dwFlags, reinterpret_cast<const BYTE*>(pTrailer) + offsetof(PRIVATEDEVMODE, dwFlags), sizeof(DWORD));
    return dwFlags;
}

void WriteTrailerFlags(PRIVATEDEVMODE* pTrailer, DWORD dwFlags) {
    std::memcpy(reinterpret_cast<BYTE*>(pTrailer) + offsetof(PRIVATEDEVMODE, dwFlags), &dwFlags, sizeof(DWORD));
}

DWORD SetFlag(DWORD dwFlags, DWORD dwFlag, bool fOn) { return fOn ? (dwFlags | dwFlag) : (dwFlags & ~dwFlag); }

// The private flags the job's configuration decides: trays ignored unless the
// printer has the tray option; resizing and moving as the rescale option says,
// when it was configured.
void SetPrivateFlags(PRIVATEDEVMODE* pTrailer, const ComprCnf* pComprCnf) {
    DWORD dwFlags = ReadTrailerFlags(pTrailer);
    dwFlags = SetFlag(dwFlags, QL_IGNORE_TRAYS, pComprCnf->fOptionTrays == 0);
    if (pComprCnf->fRescaleOptSet) {
        dwFlags = SetFlag(dwFlags, QL_DONT_MOVE, (pComprCnf->dwRescaleOpt & 0x1) != 0);
        dwFlags = SetFlag(dwFlags, QL_DONT_RESIZE, (pComprCnf->dwRescaleOpt & 0x2) != 0);
    }
    WriteTrailerFlags(pTrailer, dwFlags);
}

// Native printing on an ordinary printer takes only bitmap deletion from a
// device mode's compression rules.
BOOL IsDeletionOnly(const PRINTPROCESSORDATA* pData, const ComprCnf* pComprCnf) {
    return pComprCnf->szAgentlessNativePrinting[0] && EnsureViewLibrary() && !pData->fAGNPQLPrinter;
}

// Whether the cached printable area belongs to the form and orientation of pdm.
bool CacheMatches(const DEVMODEW* pdm, const PRINTABLEAREACACHE* pCache) {
    const DWORD dwFields = pdm->dmFields;
    if (!(dwFields & DM_ORIENTATION) || !HasOrientation(pdm)) return false;
    if (!pCache->fOrientationValid || pCache->dmOrientation != pdm->dmOrientation) return false;
    if ((dwFields & DM_FORMNAME) && HasFormName(pdm) &&
        _wcsnicmp(pCache->szFormName, pdm->dmFormName, CCHFORMNAME) == 0)
        return true;
    return (dwFields & DM_PAPERSIZE) && HasPaperSize(pdm) && pCache->fPaperSizeValid &&
           pCache->dmPaperSize == pdm->dmPaperSize;
}

// Measures the printer's page for the form and orientation of pdm on a
// device context and keeps it in the cache. A context that cannot be made
// leaves the cache as it was.
void MeasurePrintableArea(const DEVMODEW* pdm, PRINTABLEAREACACHE* pCache, LPCWSTR pPrinterName) {
    if (!pPrinterName) return;
    HDC hDC = CreateDCW(WSTR("winspool"), pPrinterName, nullptr, pdm);
    if (!hDC) {
        QLLOG(LOG_ERR, WSTR("CreateDC <%s> failed: %d"), pPrinterName, GetLastError());
        return;
    }
    const int iHorzSize = GetDeviceCaps(hDC, HORZSIZE);
    const int iHorzRes = GetDeviceCaps(hDC, HORZRES);
    if (iHorzSize <= 0 || iHorzRes <= 0) {
        QLLOG(LOG_ERR, WSTR("CreateDC <%s>: no page size (HORZSIZE %d, HORZRES %d)"), pPrinterName, iHorzSize,
              iHorzRes);
        DeleteDC(hDC);
        return;
    }
    // Tenths of a millimetre per device unit, in single precision.
    const float scale = static_cast<float>(iHorzSize) / static_cast<float>(iHorzRes) * 10.0f;
    const auto Scaled = [&](int index) {
        return static_cast<LONG>(static_cast<float>(GetDeviceCaps(hDC, index)) * scale);
    };
    pCache->lPhysWidth = Scaled(PHYSICALWIDTH);
    pCache->lPhysHeight = Scaled(PHYSICALHEIGHT);
    pCache->lPhysOffsetX = Scaled(PHYSICALOFFSETX);
    pCache->lPhysOffsetY = Scaled(PHYSICALOFFSETY);
    DeleteDC(hDC);

    const DWORD dwFields = pdm->dmFields;
    std::memset(pCache->szFormName, 0, sizeof(pCache->szFormName));
    if ((dwFields & DM_FORMNAME) && HasFormName(pdm))
        std::memcpy(pCache->szFormName, pdm->dmFormName, CCHFORMNAME * sizeof(WCHAR));
    pCache->dmPaperSize = HasPaperSize(pdm) ? pdm->dmPaperSize : 0;
    pCache->fPaperSizeValid = (dwFields & DM_PAPERSIZE) && HasPaperSize(pdm);
    pCache->dmOrientation = HasOrientation(pdm) ? pdm->dmOrientation : 0;
    pCache->fOrientationValid = (dwFields & DM_ORIENTATION) && HasOrientation(pdm);
    QLLOG(LOG_INF, WSTR("Printable area of <%s>: %ld x %ld, offset %ld/%ld (0.1 mm)"), pPrinterName,
          pCache->lPhysWidth, pCache->lPhysHeight, pCache->lPhysOffsetX, pCache->lPhysOffsetY);
}

// The adjustment on a device mode held in cbDevmode bytes.
void AdjustDevmodeInBlock(LPDEVMODEW pdm, size_t cbDevmode, PRINTABLEAREACACHE* pCache, LPCWSTR pPrinterName) {
    if (!IsUsableDevmode(pdm, cbDevmode) || !pCache) return;

    // Paper codes through the forms table: codes beyond the table move above
    // the standard range; position g_cForms is the table's terminating word.
    // A negative code is left alone.
    if ((pdm->dmFields & DM_PAPERSIZE) && HasPaperSize(pdm) && g_pForms && g_cForms > 0) {
        const int iCode = pdm->dmPaperSize;
        if (iCode > static_cast<int>(g_cForms))
            pdm->dmPaperSize = static_cast<short>(iCode + 256);
        else if (iCode >= 0)
            pdm->dmPaperSize = static_cast<short>(g_pForms[iCode]);
    }

    if (!CacheMatches(pdm, pCache)) MeasurePrintableArea(pdm, pCache, pPrinterName);
    if (!CacheMatches(pdm, pCache) || !HasPaperDimensions(pdm)) return;

    pdm->dmFields |= DM_PAPERLENGTH | DM_PAPERWIDTH;
    pdm->dmPaperWidth = static_cast<short>(pCache->lPhysWidth);
    pdm->dmPaperLength = static_cast<short>(pCache->lPhysHeight);
    if (PRIVATEDEVMODE* pTrailer = FindPrivateDevmode(pdm, cbDevmode); pTrailer && HasDisplayFrequency(pdm)) {
        WriteTrailerFlags(pTrailer, ReadTrailerFlags(pTrailer) | QL_DM_IMGAREA);
        pdm->dmDisplayFrequency = (static_cast<DWORD>(pCache->lPhysOffsetX & 0xFFFF) << 16) |
                                  static_cast<DWORD>(pCache->lPhysOffsetY & 0xFFFF);
    }
}

// Where the device mode block goes: the job writer, or under native printing
// the working buffer that becomes the native job's device mode.
class CDevmodeBlockSink {
public:
    CDevmodeBlockSink(PPRINTPROCESSORDATA pData, LPBYTE pWorkBuffer, BOOL fAGNP)
        : m_pData(pData), m_pWorkBuffer(pWorkBuffer), m_fAGNP(fAGNP) {}
    virtual ~CDevmodeBlockSink() = default;

    // The block's length word and its first part; then further parts.
    BOOL Begin(DWORD cbDevmodeBytes) {
        if (m_fAGNP) return TRUE;
        const DWORD dwLength = cbDevmodeBytes + 5;
        BYTE abLength[sizeof(DWORD)];
        std::memcpy(abLength, &dwLength, sizeof(abLength));
        return WriteJobOutput(m_pData, abLength, sizeof(abLength), WRITE_DATA);
    }
    BOOL Put(const void* pBytes, DWORD cb) {
        if (m_fAGNP) {
            if (!CHECK(m_pWorkBuffer)) return FALSE;
            std::memcpy(m_pWorkBuffer + m_cbCopied, pBytes, cb);
            m_cbCopied += cb;
            return TRUE;
        }
        return WriteJobOutput(m_pData, pBytes, cb, WRITE_DATA);
    }

private:
    PPRINTPROCESSORDATA m_pData;
    LPBYTE m_pWorkBuffer;
    BOOL m_fAGNP;
    DWORD m_cbCopied = 0;
};

} // namespace

void ApplyDestinationSettings(PPRINTPROCESSORDATA pData, PCOMPRCNF pComprCnf) {
    if (!PASSED(pData == 0) || !PASSED(pComprCnf == 0)) return;

    if (pComprCnf->szAgentlessNativePrinting[0] && EnsureViewLibrary()) {
        pData->fAGNPQLPrinter = IsQLSBDriver(pComprCnf->szAgentlessNativePrinting) ? 1 : 0;
        if (!pData->fAGNPQLPrinter) {
            // An ordinary printer renders the job itself: it gets the bitmaps
            // as they are (unless they are deleted) and no embedded fonts.
            QLLOG(LOG_INF, WSTR("AGNP: Kompression:normal, DPIReduction:off, ImageRecall disabled, no IncludeFonts"));
            if (!IsBitmapDeletion(pComprCnf)) DisableCompression(pComprCnf);
            pComprCnf->fBitmapCaching = 0;
            ReleaseCompressionConfig(pComprCnf);  // drops the font patterns
            pData->pIncludeFonts = nullptr;
            return;
        }
    }

    if (pData->fRemotePort) {
        QLLOG(LOG_INF, WSTR("Print-To-Remote detected: ImageRecall disabled"));
        pComprCnf->fBitmapCaching = 0;
    } else if (pData->fHeldPrintingPort) {
        QLLOG(LOG_INF, WSTR("Held Printing detected: Compression disabled"));
        DisableCompression(pComprCnf);
        pComprCnf->fBitmapCaching = 0;
    }
    pData->pIncludeFonts = pComprCnf->pIncludeFonts;
}

void AdjustDevmode(HANDLE hPrinter, LPDEVMODEW pDevMode, PRINTABLEAREACACHE* pCache, LPCWSTR pPrinterName) {
    (void)hPrinter;  // the device context is made from the printer's name
    if (!pDevMode) return;
    AdjustDevmodeInBlock(pDevMode, static_cast<size_t>(pDevMode->dmSize) + pDevMode->dmDriverExtra, pCache,
                         pPrinterName);
}

BOOL WriteDevmodeBlock(PPRINTPROCESSORDATA pData, PCOMPRCNF pComprCnf, PRINTABLEAREACACHE* pCache,
                       LPBYTE pWorkBuffer, BOOL fAGNP) {
    if (!PASSED(pData == 0) || !PASSED(pComprCnf == 0)) return FALSE;
    LPDEVMODEW pdm = pData->pDevMode;
    if (!pdm) return TRUE;
    const size_t cbDevmode = static_cast<size_t>(pdm->dmSize) + pdm->dmDriverExtra;
    if (!IsUsableDevmode(pdm, cbDevmode)) {
        QLLOG(LOG_ERR, WSTR("Devmode not sent: dmSize %d is below its header"), pdm->dmSize);
        return TRUE;
    }

    AdjustDevmodeInBlock(pdm, cbDevmode, pCache, pData->pPrinterName);

    BOOL fRtn = TRUE;
    if (!fAGNP) {
        const BYTE bMarker = 0x02;
        fRtn = WriteJobOutput(pData, &bMarker, sizeof(bMarker), WRITE_DATA);
    }

    CDevmodeBlockSink sink(pData, pWorkBuffer, fAGNP);
    const WORD dmSize = pdm->dmSize;
    const WORD dmDriverExtra = pdm->dmDriverExtra;
    PRIVATEDEVMODE* pTrailer = FindPrivateDevmode(pdm, cbDevmode);

    if (dmDriverExtra == QL_DEVMODE_TRAILER_SIZE) {
        // Exactly a trailer's worth of private bytes: sent as it is.
        fRtn = sink.Begin(dmSize + dmDriverExtra) && fRtn;
        fRtn = sink.Put(pdm, dmSize + dmDriverExtra) && fRtn;
    } else if (!pTrailer) {
        // Foreign private bytes mean nothing to the receiver: public part only.
        pdm->dmDriverExtra = 0;
        fRtn = sink.Begin(dmSize) && fRtn;
        fRtn = sink.Put(pdm, dmSize) && fRtn;
        pdm->dmDriverExtra = dmDriverExtra;
    } else {
        SetPrivateFlags(pTrailer, pComprCnf);
        if (const PRIVATEDEVMODEEXT* pExt = FindDevmodeExtension(pdm, cbDevmode)) {
            AdoptDevmodeCompression(pExt, pComprCnf, fAGNP && !pData->fAGNPQLPrinter);
            fRtn = sink.Begin(dmSize + dmDriverExtra) && fRtn;
            fRtn = sink.Put(pdm, dmSize + dmDriverExtra) && fRtn;
        } else {
            // The public part followed directly by the trailer.
            PRIVATEDEVMODE trailer;
            std::memcpy(&trailer, pTrailer, sizeof(trailer));
            pdm->dmDriverExtra = QL_DEVMODE_TRAILER_SIZE;
            fRtn = sink.Begin(dmSize + QL_DEVMODE_TRAILER_SIZE) && fRtn;
            fRtn = sink.Put(pdm, dmSize) && fRtn;
            fRtn = sink.Put(&trailer, sizeof(trailer)) && fRtn;
            pdm->dmDriverExtra = dmDriverExtra;
        }
    }

    // Later copies send the translated paper as a custom size only.
    if ((pdm->dmFields & DM_PAPERSIZE) && HasPaperSize(pdm)) pdm->dmPaperSize = 0;
    return fRtn;
}

void PatchDevmodeRecord(PPRINTPROCESSORDATA pData, PCOMPRCNF pComprCnf, PRINTABLEAREACACHE* pCache, LPBYTE pBody,
                        DWORD cbBody) {
    if (!PASSED(pData == 0) || !PASSED(pComprCnf == 0) || !pBody || cbBody < sizeof(DEVMODEW)) return;
    LPDEVMODEW pdm = reinterpret_cast<LPDEVMODEW>(pBody);
    if (!IsUsableDevmode(pdm, cbBody)) {
        QLLOG(LOG_ERR, WSTR("Devmode record left as it is: dmSize %d + dmDriverExtra %d in %lu bytes"), pdm->dmSize,
              pdm->dmDriverExtra, cbBody);
        return;
    }
    const size_t cbDevmode = static_cast<size_t>(pdm->dmSize) + pdm->dmDriverExtra;

    AdjustDevmodeInBlock(pdm, cbDevmode, pCache, pData->pPrinterName);
    if (pdm->dmDriverExtra == QL_DEVMODE_TRAILER_SIZE) return;

    bool fFound = false;
    if (const PRIVATEDEVMODEEXT* pExt = FindDevmodeExtension(pdm, cbDevmode)) {
        AdoptDevmodeCompression(pExt, pComprCnf, IsDeletionOnly(pData, pComprCnf));
        fFound = true;
    }
    if (PRIVATEDEVMODE* pTrailer = FindPrivateDevmode(pdm, cbDevmode)) {
        SetPrivateFlags(pTrailer, pComprCnf);
        fFound = true;
    }
    if (!fFound) {
        // Private bytes of another driver: removed, the record keeps its length.
        std::memset(pBody + pdm->dmSize, 0, pdm->dmDriverExtra);
        pdm->dmDriverExtra = 0;
    }
}

void BuildExtendedUserName(PPRINTPROCESSORDATA pData, HANDLE hReader) {
    if (!PASSED(pData == 0)) return;
    QLLOG(LOG_INF, WSTR("ExtendName=%d"), 1);

    DWORD cbNeeded = 0;
    GetJobW(hReader, pData->dwJobId, 2, nullptr, 0, &cbNeeded);
    if (cbNeeded < sizeof(JOB_INFO_2W)) {
        QLLOG(LOG_ERR, WSTR("GetJob failed GetLastError = %d"), GetLastError());
        return;
    }
    PJOB_INFO_2W pJobInfo2 = static_cast<PJOB_INFO_2W>(MemAlloc(cbNeeded));
    if (!CHECK(pJobInfo2)) return;
    if (!GetJobW(hReader, pData->dwJobId, 2, reinterpret_cast<LPBYTE>(pJobInfo2), cbNeeded, &cbNeeded)) {
        QLLOG(LOG_ERR, WSTR("GetJob failed GetLastError = %d"), GetLastError());
        MemFreeT(&pJobInfo2);
        return;
    }

    LPCWSTR pszMachine = pJobInfo2->pMachineName ? pJobInfo2->pMachineName : WSTR("");
    if (pszMachine[0] == '\\' && pszMachine[1] == '\\') pszMachine += 2;

    // The client's address when its name resolves, else the name itself.
    WCHAR szAddress[MAX_PATH] = {};
    char szMachine[MAX_PATH] = {};
    if (!WideCharToMultiByte(CP_ACP, 0, pszMachine, -1, szMachine, sizeof(szMachine), nullptr, nullptr))
        szMachine[0] = 0;
    const HOSTENT* pHost = szMachine[0] ? gethostbyname(szMachine) : nullptr;
    if (pHost && pHost->h_addrtype == AF_INET && pHost->h_length >= 4 && pHost->h_addr_list &&
        pHost->h_addr_list[0]) {
        const auto* pb = reinterpret_cast<const unsigned char*>(pHost->h_addr_list[0]);
        PalFormatW(szAddress, MAX_PATH, WSTR("%d.%d.%d.%d"), pb[0], pb[1], pb[2], pb[3]);
    } else {
        lstrcpynW(szAddress, pszMachine, MAX_PATH);
    }

    LPCWSTR pszUser = pJobInfo2->pUserName ? pJobInfo2->pUserName : WSTR("");
    const size_t cch = static_cast<size_t>(lstrlenW(pszUser)) + lstrlenW(szAddress) + 3;
    LPWSTR pszName = static_cast<LPWSTR>(MemAlloc(cch * sizeof(WCHAR)));
    if (CHECK(pszName)) {
        PalFormatW(pszName, cch, WSTR("%s[%s]"), pszUser, szAddress);
        if (pData->pExtendedUserName) MemFreeT(&pData->pExtendedUserName);
        pData->pExtendedUserName = pszName;
    }
    MemFreeT(&pJobInfo2);
}
