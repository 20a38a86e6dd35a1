// Resolution reduction of bitmap records: decides whether an
// EMR_STRETCHDIBITS record carries more pixels than the printer can render
// in the page area it covers, and resamples it in place with GDI, drawing it
// into a DIB section of the target size and reading the bits back over the
// record's own bits.
#define QL_MODULE WSTR("compress")
#include "emf/DPIReduction.h"

#include "diag/DbgLog.h"
#include "emf/EmfRecords.h"
#include "printproc/Util.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

namespace {

// Frees a MemAlloc block when it goes out of scope.
struct MemBlockDeleter {
    void operator()(void* p) const {
        if (p) MemFree(&p);
    }
};
using MemBlock = std::unique_ptr<BYTE, MemBlockDeleter>;

// Dots per inch of a device mode resolution value: the four negative
// quality levels, else the value itself.
int MapResolution(short value) {
    switch (value) {
    case -4: return 600;
    case -3: return 300;
    case -2: return 150;
    case -1: return 75;
    default: return value;
    }
}

// Truncation toward zero to i32 as the x64 conversion instruction does it:
// a value outside the i32 range becomes INT32_MIN.
LONG TruncToLong(double value) {
    if (!(value > -2147483649.0 && value < 2147483648.0)) return INT32_MIN;
    return static_cast<LONG>(value);
}

// A public device mode field, when the device mode's dmSize covers it.
template <class T>
bool ReadDevmodeField(const DEVMODEW* pdm, size_t offset, T& out) {
    WORD dmSize = 0;
    std::memcpy(&dmSize, reinterpret_cast<const BYTE*>(pdm) + offsetof(DEVMODEW, dmSize), sizeof(dmSize));
    if (offset + sizeof(T) > dmSize) return false;
    std::memcpy(&out, reinterpret_cast<const BYTE*>(pdm) + offset, sizeof(T));
    return true;
}

bool SupportedBitCount(WORD bpp) {
    return bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32;
}

// Bytes of a bitmap of width x height pixels (width below 2^32), rows padded
// to 4 bytes; UINT64_MAX when that does not fit in 64 bits.
uint64_t BitsSize(uint64_t width, uint64_t height, WORD bpp) {
    const uint64_t stride = (width * bpp + 31) / 32 * 4;
    if (stride && height > UINT64_MAX / stride) return UINT64_MAX;
    return stride * height;
}

// Source text of the layout check, as the log shows it.
#define BITS_FOLLOW_TABLE_TEXT                                                                        \
    "(((PBYTE)pBitmapInfo) + (dwSizeBIH + (pBitmapInfo->bmiHeader.biClrUsed * sizeof(RGBQUAD))) == " \
    "pStartSourceBitmapBits)"

// The memory context, the DIB section and its selection for one reduction;
// everything is undone on every path.
class CReductionGdi {
public:
    CReductionGdi() = default;
    virtual ~CReductionGdi() {
        Deselect();
        if (m_hBitmap) DeleteObject(m_hBitmap);
        if (m_hDC) DeleteDC(m_hDC);
    }
    CReductionGdi(const CReductionGdi&) = delete;
    CReductionGdi& operator=(const CReductionGdi&) = delete;

    void Select() { m_hOld = SelectObject(m_hDC, m_hBitmap); }
    void Deselect() {
        if (m_hOld) SelectObject(m_hDC, m_hOld);
        m_hOld = nullptr;
    }

    HDC m_hDC = nullptr;
    HBITMAP m_hBitmap = nullptr;
    HGDIOBJ m_hOld = nullptr;
};

} // namespace

BOOL NeedsDPIReduction(const BYTE* pRecord, DWORD nSize, const BYTE* pEnhMetaHeader, DWORD cbEnhMetaHeader,
                       const DEVMODEW* lpDevmode, DWORD dwDPIReductionMin, RECT* pTarget) {
    if (!pEnhMetaHeader || cbEnhMetaHeader < EMR_HEADER_MIN_SIZE) {
        QLLOG(LOG_ERR, WSTR("lpEnhMetaHeader == NULL"));
        return FALSE;
    }
    const SIZEL szlDevice = LoadRecord<SIZEL>(pEnhMetaHeader + EMR_HEADER_SZLDEVICE);
    const SIZEL szlMillimeters = LoadRecord<SIZEL>(pEnhMetaHeader + EMR_HEADER_SZLMILLIMETERS);
    if (szlDevice.cx == 0 || szlDevice.cy == 0) {
        QLLOG(LOG_ERR, WSTR("lpEnhMetaHeader->szlDevice.cx od cy == 0"));
        return FALSE;
    }
    if (!lpDevmode) {
        QLLOG(LOG_ERR, WSTR("lpDevmode == NULL"));
        return FALSE;
    }
    DWORD dmFields = 0;
    short dmPrintQuality = 0;
    if (!ReadDevmodeField(lpDevmode, offsetof(DEVMODEW, dmFields), dmFields) ||
        !ReadDevmodeField(lpDevmode, offsetof(DEVMODEW, dmPrintQuality), dmPrintQuality) ||
        !(dmFields & DM_PRINTQUALITY)) {
        QLLOG(LOG_ERR, WSTR("no DPI is given in devmode (dmPrintQuality)"));
        return FALSE;
    }
    QLLOG(LOG_INF, WSTR("devmode->dmPrintQuality is %d"), static_cast<int>(dmPrintQuality));
    const int iResX = MapResolution(dmPrintQuality);
    int iResY = iResX;
    short dmYResolution = 0;
    if ((dmFields & DM_YRESOLUTION) && ReadDevmodeField(lpDevmode, offsetof(DEVMODEW, dmYResolution), dmYResolution))
        iResY = MapResolution(dmYResolution);

    if (!pRecord || nSize < STRETCHDIBITS_FIXED_SIZE || !pTarget) return FALSE;
    const StretchDIBitsRecord r = LoadRecord<StretchDIBitsRecord>(pRecord);
    if (!StretchDIBitsFitsRecord(r, nSize)) return FALSE;
    const BITMAPINFOHEADER bih = LoadRecord<BITMAPINFOHEADER>(pRecord + r.offBmiSrc);

    if (bih.biWidth == 0 || bih.biHeight == 0) {
        QLLOG(LOG_ERR, WSTR("bitmap with size 0"));
        return FALSE;
    }
    if (bih.biHeight < 0) {
        QLLOG(LOG_INF, WSTR("value(1) < 0 ---> return"));
        return FALSE;
    }
    if (bih.biCompression != BI_RGB) {
        QLLOG(LOG_INF, WSTR("\t++ Bitmap not rgb"));
        return FALSE;
    }
    if (r.rclBounds.right == -1 || r.rclBounds.bottom == -1) {
        QLLOG(LOG_TRC, WSTR("No rclBounds given (0,0,-1,-1)"));
        return FALSE;
    }

    // The covered area in reference device pixels, as the printer's pixels.
    const DWORD dwWidth = static_cast<DWORD>(r.rclBounds.right) - static_cast<DWORD>(r.rclBounds.left);
    const DWORD dwHeight = static_cast<DWORD>(r.rclBounds.bottom) - static_cast<DWORD>(r.rclBounds.top);
    const double dTargetWidth = iResX / 2.54 / 10.0 *
                                (static_cast<double>(dwWidth) * szlMillimeters.cx / static_cast<double>(szlDevice.cx));
    const double dTargetHeight =
        iResY / 2.54 / 10.0 * (static_cast<double>(dwHeight) * szlMillimeters.cy / static_cast<double>(szlDevice.cy));
    LONG lTargetWidth = TruncToLong(dTargetWidth);
    LONG lTargetHeight = TruncToLong(dTargetHeight);

    if (r.cxSrc != bih.biWidth || r.cySrc != bih.biHeight) QLLOG(LOG_INF, WSTR("Clipping found"));
    lTargetWidth = std::min(lTargetWidth, r.cxSrc);
    lTargetHeight = std::min(lTargetHeight, r.cySrc);
    pTarget->left = 0;
    pTarget->top = 0;
    pTarget->right = lTargetWidth;
    pTarget->bottom = lTargetHeight;

    const double dSaving = 100.0 - (static_cast<double>(lTargetWidth) + 4) * static_cast<double>(lTargetHeight) /
                                       (static_cast<double>(bih.biWidth) * static_cast<double>(bih.biHeight)) * 100.0;
    return dSaving > static_cast<double>(dwDPIReductionMin) ? TRUE : FALSE;
}

void ReduceBitmapDPI(BYTE* pRecord, DWORD nSize, const RECT* pTarget, FILE* pStatFile) {
    if (!pRecord || !pTarget || nSize < STRETCHDIBITS_FIXED_SIZE) return;
    StretchDIBitsRecord r = LoadRecord<StretchDIBitsRecord>(pRecord);
    if (!StretchDIBitsFitsRecord(r, nSize)) return;
    BYTE* const pBmi = pRecord + r.offBmiSrc;
    BITMAPINFOHEADER bih = LoadRecord<BITMAPINFOHEADER>(pBmi);

    // The colour table is expected between the header and the bits.
    const uint64_t dwSizeBIH = std::max<DWORD>(bih.biSize, BITMAPINFOHEADER_SIZE);
    auto BitsFollowTable = [&] {
        return uint64_t(r.offBmiSrc) + dwSizeBIH + uint64_t(bih.biClrUsed) * sizeof(RGBQUAD) == r.offBitsSrc;
    };
    QL_CHECK_FORM("CHECK", BitsFollowTable(), BITS_FOLLOW_TABLE_TEXT);

    // Palette bitmaps get their implicit colour count written out, when that
    // many entries fit in the record's BITMAPINFO; this stays in the record.
    if (bih.biClrUsed == 0 && bih.biBitCount >= 1 && bih.biBitCount <= 8 &&
        dwSizeBIH + (uint64_t(1) << bih.biBitCount) * sizeof(RGBQUAD) <= r.cbBmiSrc) {
        bih.biClrUsed = DWORD(1) << bih.biBitCount;
        StoreRecord(pBmi, bih);
        QL_CHECK_FORM("CHECK", BitsFollowTable(), BITS_FOLLOW_TABLE_TEXT);
    }

    // Everything GDI reads and writes must lie inside the record.
    const LONG lTargetWidth = pTarget->right - pTarget->left;
    const LONG lTargetHeight = pTarget->bottom - pTarget->top;
    const uint64_t qwColors = bih.biClrUsed ? bih.biClrUsed : (bih.biBitCount <= 8 ? uint64_t(1) << bih.biBitCount : 0);
    const uint64_t qwAbsHeight = bih.biHeight < 0 ? uint64_t(-int64_t(bih.biHeight)) : uint64_t(bih.biHeight);
    if (bih.biSize < BITMAPINFOHEADER_SIZE || bih.biPlanes != 1 || bih.biCompression != BI_RGB ||
        !SupportedBitCount(bih.biBitCount) || bih.biWidth <= 0 || bih.biHeight == 0 ||
        dwSizeBIH + qwColors * sizeof(RGBQUAD) > r.cbBmiSrc ||
        BitsSize(uint64_t(bih.biWidth), qwAbsHeight, bih.biBitCount) > r.cbBitsSrc || r.xSrc < 0 || r.ySrc < 0 ||
        r.cxSrc <= 0 || r.cySrc <= 0 || int64_t(r.xSrc) + r.cxSrc > bih.biWidth ||
        uint64_t(int64_t(r.ySrc) + r.cySrc) > qwAbsHeight || lTargetWidth <= 0 || lTargetHeight <= 0 ||
        pTarget->left != 0 || pTarget->top != 0) {
        QLLOG(LOG_ERR, WSTR("bitmap record not reduced: header, colour table, bits or rectangles out of range"));
        return;
    }

    CReductionGdi gdi;
    gdi.m_hDC = CreateCompatibleDC(nullptr);
    if (!gdi.m_hDC) {
        QLLOG(LOG_ERR, WSTR("CreateCompatibleDC failed %d"), static_cast<int>(GetLastError()));
        return;
    }

    // Work header: the record's BITMAPINFO with the target size, with room
    // for the full colour table GetDIBits writes behind the header.
    const SIZE_T cbWork = std::max<SIZE_T>(SIZE_T(dwSizeBIH) + 1024, r.cbBmiSrc);
    MemBlock pWork(static_cast<BYTE*>(MemAlloc(cbWork)));
    if (!pWork) {
        QLLOG(LOG_ERR, WSTR("no memory try to allocate %d bytes"), static_cast<int>(cbWork));
        return;
    }
    std::memcpy(pWork.get(), pBmi, r.cbBmiSrc);
    BITMAPINFO* const pWorkInfo = reinterpret_cast<BITMAPINFO*>(pWork.get());
    pWorkInfo->bmiHeader.biWidth = lTargetWidth;
    pWorkInfo->bmiHeader.biHeight = lTargetHeight;

    void* pvBits = nullptr;
    gdi.m_hBitmap = CreateDIBSection(gdi.m_hDC, pWorkInfo, r.iUsageSrc, &pvBits, nullptr, 0);
    if (!gdi.m_hBitmap) {
        QLLOG(LOG_ERR, WSTR("CreateDIBSection failed with %d"), static_cast<int>(GetLastError()));
        return;
    }

    gdi.Select();
    SetStretchBltMode(gdi.m_hDC, COLORONCOLOR);
    const int iLines = StretchDIBits(gdi.m_hDC, 0, 0, lTargetWidth, lTargetHeight, r.xSrc, r.ySrc, r.cxSrc, r.cySrc,
                                     pRecord + r.offBitsSrc, reinterpret_cast<const BITMAPINFO*>(pBmi), r.iUsageSrc,
                                     SRCCOPY);
    if (iLines == static_cast<int>(GDI_ERROR)) {
        QLLOG(LOG_ERR, WSTR("StretchDIBits failed %d"), static_cast<int>(GetLastError()));
        return;
    }

    const DWORD dwClrUsed = bih.biClrUsed;
    const DWORD dwClrImportant = bih.biClrImportant;
    gdi.Deselect();
    if (!GetDIBits(gdi.m_hDC, gdi.m_hBitmap, 0, static_cast<UINT>(lTargetHeight), nullptr, pWorkInfo, r.iUsageSrc)) {
        QLLOG(LOG_ERR, WSTR("GetDIBits failed %d"), static_cast<int>(GetLastError()));
        return;
    }
    // GDI writes whole padded rows, so the size it reports must cover them.
    const DWORD cbNewBits = pWorkInfo->bmiHeader.biSizeImage;
    const uint64_t qwRows = BitsSize(uint64_t(lTargetWidth), uint64_t(lTargetHeight), bih.biBitCount);
    if (cbNewBits > r.cbBitsSrc || qwRows > r.cbBitsSrc) return; // the smaller bitmap would not fit
    if (qwRows > cbNewBits) {
        QLLOG(LOG_ERR, WSTR("GetDIBits reported %u bytes for %u bytes of rows"), cbNewBits,
              static_cast<DWORD>(qwRows));
        return;
    }
    if (!GetDIBits(gdi.m_hDC, gdi.m_hBitmap, 0, static_cast<UINT>(lTargetHeight), pRecord + r.offBitsSrc, pWorkInfo,
                   r.iUsageSrc)) {
        QLLOG(LOG_ERR, WSTR("GetDIBits failed %d"), static_cast<int>(GetLastError()));
        return;
    }

    if (pStatFile)
        std::fprintf(pStatFile, "IMGCMPR:      %10lu\n", static_cast<unsigned long>(r.cbBitsSrc - cbNewBits));
    r.xSrc = 0;
    r.ySrc = 0;
    r.cxSrc = lTargetWidth;
    r.cySrc = lTargetHeight;
    r.cbBitsSrc = cbNewBits;
    StoreRecord(pRecord, r);
    bih.biWidth = lTargetWidth;
    bih.biHeight = lTargetHeight;
    bih.biSizeImage = 0;
    bih.biClrUsed = dwClrUsed;
    bih.biClrImportant = dwClrImportant;
    StoreRecord(pBmi, bih);
}
