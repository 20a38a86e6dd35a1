// Device-independent bitmaps in software: memory device contexts, DIB
// sections, stretching between bitmaps of the same format and reading the
// bits back (rules in pal/gdi.h). All objects live in the handle table; one
// lock guards the selection state and the pixels of every context and bitmap.
#include "core.h"
#include "faults.h"
#include "gdi_dc.h"
#include "gdi_print.h"
#include "spooler_handles.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace pal::gdi {
namespace {

// The 1x1 monochrome bitmap every memory context starts with. Not in the
// handle table (it is never freed); the value is odd, so no table handle
// can ever have it.
const HGDIOBJ kStockBitmap = reinterpret_cast<HGDIOBJ>(uintptr_t(0x0185000F));

// Largest bits block a DIB section may have.
constexpr uint64_t kMaxSectionBytes = uint64_t(1) << 30;

std::mutex& GdiLock() {
    static std::mutex* m = std::make_unique<std::mutex>().release(); // used until the process ends
    return *m;
}

bool SupportedBitCount(WORD bpp) {
    return bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32;
}

// Bytes of one row, padded to 4 bytes.
uint64_t Stride(uint64_t width, WORD bpp) { return (width * bpp + 31) / 32 * 4; }

// Headers may be unaligned inside a caller's buffer: copy them out.
BITMAPINFOHEADER LoadHeader(const void* pbmi) {
    BITMAPINFOHEADER h;
    std::memcpy(&h, pbmi, sizeof(h));
    return h;
}

// The pixel layout a BITMAPINFO describes.
struct DibFormat {
    uint64_t width = 0;
    uint64_t height = 0; // rows, whatever the orientation
    bool topDown = false;
    WORD bitCount = 0;
    uint64_t stride = 0;
    std::vector<RGBQUAD> colors; // 2^bitCount entries up to 8 bits, else none

    uint64_t SizeImage() const { return stride * height; }
    // Offset of a row counted from the top of the image.
    uint64_t RowOffset(uint64_t topRow) const { return (topDown ? topRow : height - 1 - topRow) * stride; }
};

bool SameColors(const std::vector<RGBQUAD>& a, const std::vector<RGBQUAD>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(RGBQUAD)) == 0);
}

// Reads a header and its colour table. Returns 0 or the Win32 error for an
// unsupported or oversized format.
DWORD ParseFormat(const BITMAPINFO* pbmi, DibFormat& f) {
    const BITMAPINFOHEADER h = LoadHeader(pbmi);
    if (h.biSize < sizeof(BITMAPINFOHEADER) || h.biPlanes != 1 || h.biCompression != BI_RGB ||
        !SupportedBitCount(h.biBitCount) || h.biWidth <= 0 || h.biHeight == 0)
        return ERROR_INVALID_PARAMETER;
    f.width = uint64_t(h.biWidth);
    f.topDown = h.biHeight < 0;
    f.height = f.topDown ? uint64_t(-int64_t(h.biHeight)) : uint64_t(h.biHeight);
    f.bitCount = h.biBitCount;
    f.stride = Stride(f.width, f.bitCount);
    if (f.height > kMaxSectionBytes / f.stride) return ERROR_NOT_ENOUGH_MEMORY;
    f.colors.clear();
    if (f.bitCount <= 8) {
        const DWORD entries = DWORD(1) << f.bitCount;
        const DWORD used = h.biClrUsed ? std::min(h.biClrUsed, entries) : entries;
        f.colors.assign(entries, RGBQUAD{0, 0, 0, 0});
        std::memcpy(f.colors.data(), reinterpret_cast<const BYTE*>(pbmi) + h.biSize, used * sizeof(RGBQUAD));
    }
    return 0;
}

class DibSection : public Object {
public:
    std::string Describe() const override {
        return "DIB section " + std::to_string(format.width) + "x" + std::to_string(format.height) + ", " +
               std::to_string(format.bitCount) + " bpp";
    }

    DibFormat format;
    std::vector<BYTE> bits;     // SizeImage() bytes in the section's own row order
    HDC selectedInto = nullptr; // the memory context it is selected into
};

class MemoryDC : public Object {
public:
    std::string Describe() const override { return "memory device context"; }

    HGDIOBJ selected = kStockBitmap;
    std::shared_ptr<DibSection> bitmap; // null while the stock bitmap is selected
    HGDIOBJ font = nullptr;             // selected font; null: the default font
    int stretchMode = BLACKONWHITE;
};

bool IsDC(HDC hdc) { return pal::LookupHandle<MemoryDC>(hdc) || LookupDC(hdc); }

// Pixel values as stored: palette index, packed 16/32-bit value, 24-bit triple.
inline uint32_t ReadPixel(const BYTE* row, uint64_t x, WORD bpp) {
    switch (bpp) {
    case 1: return (row[x >> 3] >> (7 - (x & 7))) & 1u;
    case 4: return (row[x >> 1] >> ((x & 1) ? 0 : 4)) & 0xFu;
    case 8: return row[x];
    case 16: return uint32_t(row[2 * x]) | uint32_t(row[2 * x + 1]) << 8;
    case 24: return uint32_t(row[3 * x]) | uint32_t(row[3 * x + 1]) << 8 | uint32_t(row[3 * x + 2]) << 16;
    default:
        return uint32_t(row[4 * x]) | uint32_t(row[4 * x + 1]) << 8 | uint32_t(row[4 * x + 2]) << 16 |
               uint32_t(row[4 * x + 3]) << 24;
    }
}

inline void WritePixel(BYTE* row, uint64_t x, WORD bpp, uint32_t v) {
    switch (bpp) {
    case 1: {
        const BYTE mask = BYTE(0x80u >> (x & 7));
        row[x >> 3] = BYTE(v ? (row[x >> 3] | mask) : (row[x >> 3] & ~mask));
        break;
    }
    case 4: {
        const unsigned shift = (x & 1) ? 0 : 4;
        row[x >> 1] = BYTE((row[x >> 1] & ~(0xFu << shift)) | ((v & 0xFu) << shift));
        break;
    }
    default: {
        const unsigned bytes = bpp / 8;
        for (unsigned i = 0; i < bytes; ++i) row[x * bytes + i] = BYTE(v >> (8 * i));
        break;
    }
    }
}

// floor((2*d + 1) * src / (2 * dst)): the source index a destination index
// samples, at the centre of the destination pixel.
inline uint64_t Sample(uint64_t d, uint64_t src, uint64_t dst) { return ((2 * d + 1) * src) / (2 * dst); }

} // namespace

// For DeleteDC: removes a memory context; its bitmap stays, deselected.
bool DeleteMemoryDC(HDC hdc) {
    std::lock_guard<std::mutex> g(GdiLock());
    auto dc = pal::RemoveHandleOf<MemoryDC>(hdc);
    if (!dc) return false;
    if (dc->bitmap) dc->bitmap->selectedInto = nullptr;
    return true;
}

bool SelectIntoMemoryDC(HDC hdc, HGDIOBJ font, HGDIOBJ* previous) {
    std::lock_guard<std::mutex> g(GdiLock());
    auto dc = pal::LookupHandle<MemoryDC>(hdc);
    if (!dc) return false;
    *previous = dc->font ? dc->font : DefaultFontHandle();
    dc->font = font;
    return true;
}

bool MemoryDCFont(HDC hdc, HGDIOBJ* font) {
    std::lock_guard<std::mutex> g(GdiLock());
    auto dc = pal::LookupHandle<MemoryDC>(hdc);
    if (!dc) return false;
    *font = dc->font;
    return true;
}

} // namespace pal::gdi

using namespace pal::gdi;
using pal::FailWith;
using pal::Guard;

PAL_API HDC CreateCompatibleDC(HDC hdc) {
    return Guard<HDC>(nullptr, [&]() -> HDC {
        if (auto f = pal::faults::Check("CreateCompatibleDC"); f.fail) return FailWith(f.error, HDC(nullptr));
        std::lock_guard<std::mutex> g(GdiLock());
        if (hdc && !IsDC(hdc)) return FailWith(ERROR_INVALID_HANDLE, HDC(nullptr));
        return static_cast<HDC>(pal::RegisterHandle(std::make_shared<MemoryDC>()));
    });
}

PAL_API HBITMAP CreateDIBSection(HDC hdc, const BITMAPINFO* pbmi, UINT usage, void** ppvBits, HANDLE hSection,
                                 DWORD /*offset*/) {
    if (ppvBits) *ppvBits = nullptr;
    return Guard<HBITMAP>(nullptr, [&]() -> HBITMAP {
        if (auto f = pal::faults::Check("CreateDIBSection"); f.fail) return FailWith(f.error, HBITMAP(nullptr));
        std::lock_guard<std::mutex> g(GdiLock());
        if (hdc && !IsDC(hdc)) return FailWith(ERROR_INVALID_HANDLE, HBITMAP(nullptr));
        if (!pbmi || hSection || usage != DIB_RGB_COLORS) return FailWith(ERROR_INVALID_PARAMETER, HBITMAP(nullptr));
        auto bmp = std::make_shared<DibSection>();
        if (DWORD err = ParseFormat(pbmi, bmp->format)) return FailWith(err, HBITMAP(nullptr));
        bmp->bits.assign(bmp->format.SizeImage(), 0);
        void* pvBits = bmp->bits.data();
        HBITMAP h = static_cast<HBITMAP>(pal::RegisterHandle(std::move(bmp)));
        if (ppvBits) *ppvBits = pvBits;
        return h;
    });
}

PAL_API HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h) {
    return Guard<HGDIOBJ>(nullptr, [&]() -> HGDIOBJ {
        if (HGDIOBJ previous; SelectIntoPrinterDC(hdc, h, &previous)) return previous;
        if (LOGFONTW lf; LogFontOf(h, &lf)) {
            if (HGDIOBJ previous; SelectIntoMemoryDC(hdc, h, &previous)) return previous;
            return FailWith(ERROR_INVALID_HANDLE, HGDIOBJ(nullptr));
        }
        std::lock_guard<std::mutex> g(GdiLock());
        auto dc = pal::LookupHandle<MemoryDC>(hdc);
        if (!dc) return FailWith(LookupDC(hdc) ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE, HGDIOBJ(nullptr));
        std::shared_ptr<DibSection> bmp;
        if (h != kStockBitmap) {
            bmp = pal::LookupHandle<DibSection>(h);
            if (!bmp) return FailWith(ERROR_INVALID_HANDLE, HGDIOBJ(nullptr));
            if (bmp->selectedInto && bmp->selectedInto != hdc)
                return FailWith(ERROR_INVALID_PARAMETER, HGDIOBJ(nullptr));
        }
        HGDIOBJ previous = dc->selected;
        if (dc->bitmap) dc->bitmap->selectedInto = nullptr;
        dc->bitmap = bmp;
        dc->selected = h;
        if (bmp) bmp->selectedInto = hdc;
        return previous;
    });
}

PAL_API int SetStretchBltMode(HDC hdc, int mode) {
    return Guard<int>(0, [&]() -> int {
        std::lock_guard<std::mutex> g(GdiLock());
        auto dc = pal::LookupHandle<MemoryDC>(hdc);
        if (!dc && !LookupDC(hdc)) return FailWith(ERROR_INVALID_HANDLE, 0);
        if (mode < BLACKONWHITE || mode > HALFTONE) return FailWith(ERROR_INVALID_PARAMETER, 0);
        if (!dc) return BLACKONWHITE;
        return std::exchange(dc->stretchMode, mode);
    });
}

PAL_API int StretchDIBits(HDC hdc, int xDest, int yDest, int DestWidth, int DestHeight, int xSrc, int ySrc,
                          int SrcWidth, int SrcHeight, const void* lpBits, const BITMAPINFO* lpbmi, UINT iUsage,
                          DWORD rop) {
    constexpr int kFail = static_cast<int>(GDI_ERROR);
    return Guard<int>(kFail, [&]() -> int {
        if (auto f = pal::faults::Check("StretchDIBits"); f.fail) return FailWith(f.error, kFail);
        std::lock_guard<std::mutex> g(GdiLock());
        auto dc = pal::LookupHandle<MemoryDC>(hdc);
        if (!dc) return FailWith(LookupDC(hdc) ? ERROR_NOT_SUPPORTED : ERROR_INVALID_HANDLE, kFail);
        if (!dc->bitmap || rop != SRCCOPY || !lpBits || !lpbmi || iUsage != DIB_RGB_COLORS || DestWidth <= 0 ||
            DestHeight <= 0 || SrcWidth <= 0 || SrcHeight <= 0 || xSrc < 0 || ySrc < 0)
            return FailWith(ERROR_INVALID_PARAMETER, kFail);
        DibFormat src;
        if (ParseFormat(lpbmi, src) != 0) return FailWith(ERROR_INVALID_PARAMETER, kFail);
        DibSection& dst = *dc->bitmap;
        if (src.bitCount != dst.format.bitCount || !SameColors(src.colors, dst.format.colors))
            return FailWith(ERROR_INVALID_PARAMETER, kFail);
        if (uint64_t(xSrc) + uint64_t(SrcWidth) > src.width || uint64_t(ySrc) + uint64_t(SrcHeight) > src.height)
            return FailWith(ERROR_INVALID_PARAMETER, kFail);

        // Top row of the source rectangle in top-down terms.
        const uint64_t srcTop = src.topDown ? uint64_t(ySrc) : src.height - uint64_t(ySrc) - uint64_t(SrcHeight);
        // The part of the destination rectangle inside the selected bitmap.
        const int64_t dxBegin = std::max<int64_t>(0, -int64_t(xDest));
        const int64_t dxEnd = std::min<int64_t>(DestWidth, int64_t(dst.format.width) - xDest);
        const int64_t dyBegin = std::max<int64_t>(0, -int64_t(yDest));
        const int64_t dyEnd = std::min<int64_t>(DestHeight, int64_t(dst.format.height) - yDest);
        if (dxBegin >= dxEnd || dyBegin >= dyEnd) return SrcHeight;

        std::vector<uint64_t> columns(size_t(dxEnd - dxBegin));
        for (int64_t dx = dxBegin; dx < dxEnd; ++dx)
            columns[size_t(dx - dxBegin)] =
                uint64_t(xSrc) + Sample(uint64_t(dx), uint64_t(SrcWidth), uint64_t(DestWidth));

        const BYTE* srcBits = static_cast<const BYTE*>(lpBits);
        const WORD bpp = src.bitCount;
        for (int64_t dy = dyBegin; dy < dyEnd; ++dy) {
            const uint64_t sy = srcTop + Sample(uint64_t(dy), uint64_t(SrcHeight), uint64_t(DestHeight));
            const BYTE* srcRow = srcBits + src.RowOffset(sy);
            BYTE* dstRow = dst.bits.data() + dst.format.RowOffset(uint64_t(yDest + dy));
            for (int64_t dx = dxBegin; dx < dxEnd; ++dx)
                WritePixel(dstRow, uint64_t(xDest + dx), bpp, ReadPixel(srcRow, columns[size_t(dx - dxBegin)], bpp));
        }
        return SrcHeight;
    });
}

PAL_API int GetDIBits(HDC hdc, HBITMAP hbm, UINT uStartScan, UINT cScanLines, void* lpvBits, BITMAPINFO* lpbmi,
                      UINT usage) {
    return Guard<int>(0, [&]() -> int {
        if (auto f = pal::faults::Check("GetDIBits"); f.fail) return FailWith(f.error, 0);
        std::lock_guard<std::mutex> g(GdiLock());
        if (!IsDC(hdc)) return FailWith(ERROR_INVALID_HANDLE, 0);
        auto bmp = pal::LookupHandle<DibSection>(hbm);
        if (!bmp) return FailWith(ERROR_INVALID_HANDLE, 0);
        if (!lpbmi || usage != DIB_RGB_COLORS || bmp->selectedInto) return FailWith(ERROR_INVALID_PARAMETER, 0);
        BITMAPINFOHEADER h = LoadHeader(lpbmi);
        const DibFormat& f = bmp->format;
        if (h.biSize < sizeof(BITMAPINFOHEADER)) return FailWith(ERROR_INVALID_PARAMETER, 0);
        const bool queryOnly = !lpvBits && h.biBitCount == 0;
        if (!queryOnly && (h.biBitCount != f.bitCount || h.biCompression != BI_RGB))
            return FailWith(ERROR_INVALID_PARAMETER, 0);

        // Orientation of the caller's header (its own sign, else the bitmap's).
        const bool outTopDown = h.biHeight != 0 ? h.biHeight < 0 : f.topDown;
        int result = static_cast<int>(f.height);
        if (lpvBits) {
            const uint64_t absHeight = h.biHeight < 0 ? uint64_t(-int64_t(h.biHeight)) : uint64_t(h.biHeight);
            if (h.biWidth <= 0 || uint64_t(h.biWidth) != f.width || absHeight != f.height)
                return FailWith(ERROR_INVALID_PARAMETER, 0);
            if (uStartScan >= f.height || cScanLines == 0) return FailWith(ERROR_INVALID_PARAMETER, 0);
            const uint64_t lines = std::min<uint64_t>(cScanLines, f.height - uStartScan);
            BYTE* out = static_cast<BYTE*>(lpvBits);
            for (uint64_t i = 0; i < lines; ++i) {
                const uint64_t j = uStartScan + i; // row in the caller's order
                const uint64_t topRow = outTopDown ? j : f.height - 1 - j;
                std::memcpy(out + i * f.stride, bmp->bits.data() + f.RowOffset(topRow), f.stride);
            }
            result = static_cast<int>(lines);
        }

        h.biWidth = static_cast<LONG>(f.width);
        h.biHeight = outTopDown ? -static_cast<LONG>(f.height) : static_cast<LONG>(f.height);
        h.biPlanes = 1;
        h.biBitCount = f.bitCount;
        h.biCompression = BI_RGB;
        h.biSizeImage = static_cast<DWORD>(f.SizeImage());
        if (!queryOnly) {
            h.biClrUsed = 0;
            h.biClrImportant = 0;
            if (!f.colors.empty())
                std::memcpy(reinterpret_cast<BYTE*>(lpbmi) + h.biSize, f.colors.data(),
                            f.colors.size() * sizeof(RGBQUAD));
        }
        std::memcpy(lpbmi, &h, sizeof(h));
        return result;
    });
}

PAL_API BOOL DeleteObject(HGDIOBJ h) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        if (h == kStockBitmap || DeleteFontObject(h)) return TRUE;
        std::lock_guard<std::mutex> g(GdiLock());
        auto bmp = pal::LookupHandle<DibSection>(h);
        if (!bmp) return FailWith(ERROR_INVALID_HANDLE, FALSE);
        if (bmp->selectedInto) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
        pal::RemoveHandle(h);
        return TRUE;
    });
}
