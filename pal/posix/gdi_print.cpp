// Drawing on printer device contexts: documents and pages rendered by cairo
// into a PDF document that EndDoc hands to the printer's port, fonts, text.
#include "gdi_print.h"

#include "core.h"
#include "faults.h"
#include "fonts.h"

#include <cairo-pdf.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace pal::gdi {
namespace {

std::atomic<bool> g_capture{false};

// Stock fonts are fixed handle values outside the handle table, like every
// stock object: they are never closed and never leak.
constexpr uintptr_t kStockFontBase = 0x018A0000;
bool IsStockFont(HGDIOBJ h) {
    const uintptr_t v = reinterpret_cast<uintptr_t>(h);
    return v >= kStockFontBase + OEM_FIXED_FONT && v <= kStockFontBase + SYSTEM_FIXED_FONT;
}

// A font made by the caller (a handle-table object).
class FontObject : public Object {
public:
    explicit FontObject(const LOGFONTW& l) : lf(l) {}
    std::string Describe() const override { return "font"; }
    LOGFONTW lf;
};

LOGFONTW StockFont(uintptr_t index) {
    LOGFONTW lf = pal::fonts::DefaultPrinterFont();
    if (index == ANSI_VAR_FONT) {
        lf.lfPitchAndFamily = VARIABLE_PITCH;
        const char16_t name[] = u"Arial";
        std::fill(std::begin(lf.lfFaceName), std::end(lf.lfFaceName), 0);
        std::copy(std::begin(name), std::end(name), lf.lfFaceName);
    }
    return lf;
}

// Printable-area-relative device units on a sheet measured in points.
void SetDeviceTransform(cairo_t* cr, const PageGeometry& g, double unitsToSurface) {
    cairo_identity_matrix(cr);
    cairo_scale(cr, unitsToSurface, unitsToSurface);
    cairo_translate(cr, g.offsetX, g.offsetY);
}

cairo_status_t AppendBytes(void* closure, const unsigned char* data, unsigned int length) {
    auto* out = static_cast<std::vector<uint8_t>*>(closure);
    try {
        out->insert(out->end(), data, data + length);
    } catch (...) {
        return CAIRO_STATUS_NO_MEMORY;
    }
    return CAIRO_STATUS_SUCCESS;
}

constexpr int64_t kMaxCapturePixels = 16 * 1024 * 1024;

} // namespace

// The document being drawn: the PDF, and the page being recorded.
struct Document {
    std::u16string name;
    std::vector<uint8_t> pdf;
    cairo_surface_t* pdfSurface = nullptr;
    cairo_surface_t* page = nullptr;  // recording surface of the open page
    cairo_t* cr = nullptr;            // drawing on `page`
    int pages = 0;                    // pages started
    bool failed = false;
    ~Document() {
        if (cr) cairo_destroy(cr);
        if (page) cairo_surface_destroy(page);
        if (pdfSurface) cairo_surface_destroy(pdfSurface);
    }
};

LOGFONTW SelectedLogFont(const DeviceContext& dc) {
    if (!dc.font) return pal::fonts::DefaultPrinterFont();
    if (IsStockFont(dc.font)) return StockFont(reinterpret_cast<uintptr_t>(dc.font) - kStockFontBase);
    if (auto f = pal::LookupHandle<FontObject>(dc.font)) return f->lf;
    return pal::fonts::DefaultPrinterFont();
}

pal::fonts::RealizedFont SelectedFont(const DeviceContext& dc) {
    const LOGFONTW lf = SelectedLogFont(dc);
    return pal::fonts::Realize(pal::fonts::Resolve(lf), lf, dc.geometry.dpi);
}

cairo_t* PageContext(DeviceContext& dc) {
    if (!dc.doc || !dc.doc->cr || dc.cancelled) return nullptr;
    return dc.doc->cr;
}

bool SelectIntoPrinterDC(HDC hdc, HGDIOBJ h, HGDIOBJ* previous) {
    auto dc = LookupDC(hdc);
    if (!dc) return false;
    std::lock_guard<std::mutex> g(dc->lock);
    if (!IsStockFont(h) && !pal::LookupHandle<FontObject>(h)) {
        // Bitmaps select into memory contexts only.
        *previous = FailWith(ERROR_INVALID_PARAMETER, HGDIOBJ(nullptr));
        return true;
    }
    *previous = dc->font ? dc->font : reinterpret_cast<HGDIOBJ>(kStockFontBase + DEVICE_DEFAULT_FONT);
    dc->font = h;
    return true;
}

bool DeleteFontObject(HGDIOBJ h) {
    if (IsStockFont(h)) return true;
    return pal::RemoveHandleOf<FontObject>(h) != nullptr;
}

HGDIOBJ CreateFontObject(const LOGFONTW& lf) { return pal::RegisterHandle(std::make_shared<FontObject>(lf)); }

bool LogFontOf(HGDIOBJ h, LOGFONTW* lf) {
    if (IsStockFont(h)) {
        *lf = StockFont(reinterpret_cast<uintptr_t>(h) - kStockFontBase);
        return true;
    }
    if (auto f = pal::LookupHandle<FontObject>(h)) {
        *lf = f->lf;
        return true;
    }
    return false;
}

HGDIOBJ DefaultFontHandle() { return reinterpret_cast<HGDIOBJ>(kStockFontBase + DEVICE_DEFAULT_FONT); }

// The logical font selected into a printer or memory context; false with
// the last error set for anything else.
bool SelectedFontOf(HDC hdc, LOGFONTW* lf) {
    HGDIOBJ font = nullptr;
    if (MemoryDCFont(hdc, &font)) {
        if (!font || !LogFontOf(font, lf)) *lf = pal::fonts::DefaultPrinterFont();
        return true;
    }
    auto dc = LookupDC(hdc);
    if (!dc) return FailWith(ERROR_INVALID_HANDLE, false);
    std::lock_guard<std::mutex> g(dc->lock);
    *lf = SelectedLogFont(*dc);
    return true;
}

void SetCapture(bool on) { g_capture = on; }

} // namespace pal::gdi

namespace pal::host {
void SetPageCapture(bool on) { pal::gdi::SetCapture(on); }
} // namespace pal::host

using namespace pal::gdi;
using pal::FailWith;
using pal::Guard;

namespace {

// The device context, locked; fails the call with ERROR_INVALID_HANDLE.
struct Locked {
    std::shared_ptr<DeviceContext> dc;
    std::unique_lock<std::mutex> hold;
    explicit Locked(HDC hdc) : dc(LookupDC(hdc)) {
        if (dc) hold = std::unique_lock<std::mutex>(dc->lock);
    }
};

// Hands a finished PDF to the printer's port as one RAW document.
bool WriteToPort(const DeviceContext& dc, const Document& doc) {
    std::u16string printer = dc.printer;
    HANDLE h = nullptr;
    if (!OpenPrinterW(printer.data(), &h, nullptr)) return false;
    std::u16string name = doc.name, datatype = u"RAW";
    DOC_INFO_1W info{name.data(), nullptr, datatype.data()};
    bool ok = StartDocPrinterW(h, 1, reinterpret_cast<LPBYTE>(&info)) != 0;
    constexpr size_t kChunk = 64 * 1024;
    for (size_t pos = 0; ok && pos < doc.pdf.size(); pos += kChunk) {
        DWORD n = DWORD(std::min(kChunk, doc.pdf.size() - pos)), written = 0;
        ok = WritePrinter(h, const_cast<uint8_t*>(doc.pdf.data() + pos), n, &written) && written == n;
    }
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    if (!EndDocPrinter(h)) ok = false;
    ClosePrinter(h);
    if (!ok && error) SetLastError(error);
    return ok;
}

} // namespace

PAL_API HFONT CreateFontIndirectW(const LOGFONTW* lplf) {
    return Guard<HFONT>(nullptr, [&]() -> HFONT {
        if (auto f = pal::faults::Check("CreateFontIndirectW"); f.fail) return FailWith(f.error, HFONT(nullptr));
        if (!lplf) return FailWith(ERROR_INVALID_PARAMETER, HFONT(nullptr));
        return static_cast<HFONT>(CreateFontObject(*lplf));
    });
}

PAL_API DWORD GetFontData(HDC hdc, DWORD dwTable, DWORD dwOffset, PVOID pvBuffer, DWORD cjBuffer) {
    return Guard<DWORD>(GDI_ERROR, [&]() -> DWORD {
        if (auto f = pal::faults::Check("GetFontData"); f.fail) return FailWith(f.error, DWORD(GDI_ERROR));
        LOGFONTW lf;
        if (!SelectedFontOf(hdc, &lf)) return DWORD(GDI_ERROR);
        if (dwTable != 0) return FailWith(ERROR_INVALID_PARAMETER, DWORD(GDI_ERROR));
        const std::string path = pal::fonts::FontFile(lf);
        FILE* file = path.empty() ? nullptr : std::fopen(path.c_str(), "rb");
        if (!file) return FailWith(ERROR_FILE_NOT_FOUND, DWORD(GDI_ERROR));
        struct Closer {
            FILE* f;
            ~Closer() { std::fclose(f); }
        } closer{file};
        // Font files larger than GDI's 32-bit sizes cannot be described.
        if (std::fseek(file, 0, SEEK_END) != 0) return FailWith(ERROR_READ_FAULT, DWORD(GDI_ERROR));
        const long end = std::ftell(file);
        if (end < 0 || uint64_t(end) >= GDI_ERROR) return FailWith(ERROR_READ_FAULT, DWORD(GDI_ERROR));
        const DWORD size = DWORD(end);
        if (dwOffset > size) return FailWith(ERROR_INVALID_PARAMETER, DWORD(GDI_ERROR));
        const DWORD available = size - dwOffset;
        if (!pvBuffer || cjBuffer == 0) return available;
        const DWORD count = std::min(available, cjBuffer);
        if (std::fseek(file, long(dwOffset), SEEK_SET) != 0 || std::fread(pvBuffer, 1, count, file) != count)
            return FailWith(ERROR_READ_FAULT, DWORD(GDI_ERROR));
        return count;
    });
}

PAL_API int GetTextFaceW(HDC hdc, int c, LPWSTR lpName) {
    return Guard<int>(0, [&]() -> int {
        if (auto f = pal::faults::Check("GetTextFaceW"); f.fail) return FailWith(f.error, 0);
        LOGFONTW lf;
        if (!SelectedFontOf(hdc, &lf)) return 0;
        const std::u16string face = pal::fonts::FaceName(lf);
        if (!lpName) return int(face.size() + 1);
        if (c <= 0) return FailWith(ERROR_INVALID_PARAMETER, 0);
        const size_t n = std::min(face.size(), size_t(c - 1));
        std::copy_n(face.data(), n, lpName);
        lpName[n] = 0;
        return int(n + 1);
    });
}

PAL_API int StartDocW(HDC hdc, const DOCINFOW* lpdi) {
    return Guard<int>(SP_ERROR, [&]() -> int {
        Locked l(hdc);
        if (!l.dc) return FailWith(ERROR_INVALID_HANDLE, SP_ERROR);
        if (auto f = pal::faults::Check("StartDocW"); f.fail) return FailWith(f.error, SP_ERROR);
        if (l.dc->doc || (lpdi && lpdi->lpszOutput)) return FailWith(ERROR_INVALID_PARAMETER, SP_ERROR);
        auto doc = std::make_shared<Document>();
        doc->name = lpdi && lpdi->lpszDocName ? std::u16string(lpdi->lpszDocName) : u"Document";
        const PageGeometry& g = l.dc->geometry;
        const double pt = 72.0 / g.dpi;
        doc->pdfSurface = cairo_pdf_surface_create_for_stream(AppendBytes, &doc->pdf, g.physicalWidth * pt,
                                                              g.physicalHeight * pt);
        if (cairo_surface_status(doc->pdfSurface) != CAIRO_STATUS_SUCCESS)
            return FailWith(ERROR_NOT_ENOUGH_MEMORY, SP_ERROR);
        cairo_pdf_surface_set_metadata(doc->pdfSurface, CAIRO_PDF_METADATA_TITLE, pal::Utf16ToUtf8(doc->name).c_str());
        l.dc->cancelled = false;
        l.dc->doc = std::move(doc);
        return 1;
    });
}

PAL_API int StartPage(HDC hdc) {
    return Guard<int>(SP_ERROR, [&]() -> int {
        Locked l(hdc);
        if (!l.dc) return FailWith(ERROR_INVALID_HANDLE, SP_ERROR);
        Document* doc = l.dc->doc.get();
        if (!doc || doc->cr) return FailWith(ERROR_INVALID_PARAMETER, SP_ERROR);
        if (l.dc->cancelled) return FailWith(ERROR_PRINT_CANCELLED, SP_ERROR);
        if (auto f = pal::faults::Check("StartPage"); f.fail) return FailWith(f.error, SP_ERROR);
        const PageGeometry& g = l.dc->geometry;
        cairo_rectangle_t sheet{0, 0, double(g.physicalWidth), double(g.physicalHeight)};
        doc->page = cairo_recording_surface_create(CAIRO_CONTENT_COLOR_ALPHA, &sheet);
        doc->cr = cairo_create(doc->page);
        if (cairo_status(doc->cr) != CAIRO_STATUS_SUCCESS) return FailWith(ERROR_NOT_ENOUGH_MEMORY, SP_ERROR);
        SetDeviceTransform(doc->cr, g, 1.0);
        ++doc->pages;
        return 1;
    });
}

namespace {

// Grey pixels of a recorded page, for SetPageCapture.
pal::host::DeviceContextRecord::PageImage Rasterize(cairo_surface_t* page, const PageGeometry& g) {
    pal::host::DeviceContextRecord::PageImage img;
    if (int64_t(g.physicalWidth) * g.physicalHeight > kMaxCapturePixels) return img;
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, g.physicalWidth, g.physicalHeight);
    cairo_t* cr = cairo_create(s);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_set_source_surface(cr, page, 0, 0);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_flush(s);
    if (cairo_surface_status(s) == CAIRO_STATUS_SUCCESS) {
        img.width = g.physicalWidth;
        img.height = g.physicalHeight;
        img.grey.resize(size_t(img.width) * img.height);
        const unsigned char* data = cairo_image_surface_get_data(s);
        const int stride = cairo_image_surface_get_stride(s);
        for (int y = 0; y < img.height; ++y) {
            const auto* row = reinterpret_cast<const uint32_t*>(data + size_t(y) * stride);
            for (int x = 0; x < img.width; ++x) {
                const uint32_t p = row[x];
                img.grey[size_t(y) * img.width + x] =
                    uint8_t((((p >> 16) & 0xFF) * 30 + ((p >> 8) & 0xFF) * 59 + (p & 0xFF) * 11) / 100);
            }
        }
    }
    cairo_surface_destroy(s);
    return img;
}

} // namespace

PAL_API int EndPage(HDC hdc) {
    return Guard<int>(SP_ERROR, [&]() -> int {
        Locked l(hdc);
        if (!l.dc) return FailWith(ERROR_INVALID_HANDLE, SP_ERROR);
        Document* doc = l.dc->doc.get();
        if (!doc || !doc->cr) return FailWith(ERROR_INVALID_PARAMETER, SP_ERROR);
        cairo_destroy(doc->cr);
        doc->cr = nullptr;
        cairo_surface_t* page = doc->page;
        doc->page = nullptr;
        if (l.dc->cancelled) {
            cairo_surface_destroy(page);
            return FailWith(ERROR_PRINT_CANCELLED, SP_ERROR);
        }
        if (auto f = pal::faults::Check("EndPage"); f.fail) {
            cairo_surface_destroy(page);
            return FailWith(f.error, SP_ERROR);
        }
        const PageGeometry& g = l.dc->geometry;
        cairo_t* pdf = cairo_create(doc->pdfSurface);
        cairo_scale(pdf, 72.0 / g.dpi, 72.0 / g.dpi);
        cairo_set_source_surface(pdf, page, 0, 0);
        cairo_paint(pdf);
        cairo_show_page(pdf);
        const bool ok = cairo_status(pdf) == CAIRO_STATUS_SUCCESS;
        cairo_destroy(pdf);
        if (ok && g_capture) {
            auto img = Rasterize(page, g);
            std::lock_guard<std::mutex> rg(RecordLock());
            l.dc->record->pages.push_back(std::move(img));
        }
        cairo_surface_destroy(page);
        if (!ok) {
            doc->failed = true;
            return FailWith(ERROR_NOT_ENOUGH_MEMORY, SP_ERROR);
        }
        return 1;
    });
}

PAL_API int EndDoc(HDC hdc) {
    return Guard<int>(SP_ERROR, [&]() -> int {
        Locked l(hdc);
        if (!l.dc) return FailWith(ERROR_INVALID_HANDLE, SP_ERROR);
        std::shared_ptr<Document> doc = std::move(l.dc->doc);
        if (!doc) return FailWith(ERROR_INVALID_PARAMETER, SP_ERROR);
        if (doc->cr) return FailWith(ERROR_INVALID_PARAMETER, SP_ERROR); // a page is still open
        if (l.dc->cancelled) return FailWith(ERROR_PRINT_CANCELLED, SP_ERROR);
        if (auto f = pal::faults::Check("EndDoc"); f.fail) return FailWith(f.error, SP_ERROR);
        // A document without pages prints nothing.
        if (doc->pages == 0) return 1;
        cairo_surface_finish(doc->pdfSurface);
        if (doc->failed || cairo_surface_status(doc->pdfSurface) != CAIRO_STATUS_SUCCESS)
            return FailWith(ERROR_NOT_ENOUGH_MEMORY, SP_ERROR);
        return WriteToPort(*l.dc, *doc) ? 1 : SP_ERROR;
    });
}

PAL_API int AbortDoc(HDC hdc) {
    return Guard<int>(SP_ERROR, [&]() -> int {
        Locked l(hdc);
        if (!l.dc) return FailWith(ERROR_INVALID_HANDLE, SP_ERROR);
        if (!l.dc->doc) return FailWith(ERROR_INVALID_PARAMETER, SP_ERROR);
        l.dc->doc.reset();  // nothing reaches the port
        l.dc->cancelled = false;
        return 1;
    });
}

PAL_API BOOL GetTextMetricsW(HDC hdc, LPTEXTMETRICW lptm) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        Locked l(hdc);
        if (!l.dc) return FailWith(ERROR_INVALID_HANDLE, FALSE);
        if (!lptm) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
        auto font = SelectedFont(*l.dc);
        if (!font.face) return FailWith(ERROR_NOT_FOUND, FALSE);
        *lptm = font.metrics;
        return TRUE;
    });
}

PAL_API BOOL TextOutA(HDC hdc, int x, int y, LPCSTR lpString, int c) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        Locked l(hdc);
        if (!l.dc) return FailWith(ERROR_INVALID_HANDLE, FALSE);
        if (c < 0 || (c > 0 && !lpString)) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
        if (l.dc->cancelled) return FailWith(ERROR_PRINT_CANCELLED, FALSE);
        cairo_t* cr = PageContext(*l.dc);
        if (!cr) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
        if (auto f = pal::faults::Check("TextOutA"); f.fail) return FailWith(f.error, FALSE);
        auto font = SelectedFont(*l.dc);
        if (!font.face) return FailWith(ERROR_NOT_FOUND, FALSE);
        // 8-bit text as Windows-1252: 0x80..0x9F through the table, the rest
        // as Latin-1; control characters draw as the face's missing glyph.
        static const char16_t k1252[32] = {0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                           0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x8D,   0x017D, 0x8F,
                                           0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                           0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};
        std::u16string text;
        text.reserve(size_t(c));
        for (int i = 0; i < c; ++i) {
            const uint8_t b = uint8_t(lpString[i]);
            text.push_back(b >= 0x80 && b < 0xA0 ? k1252[b - 0x80] : char16_t(b ? b : 0x20));
        }
        cairo_save(cr);
        cairo_set_font_face(cr, font.face->cairoFace);
        cairo_set_font_size(cr, font.emPixels);
        cairo_set_source_rgb(cr, 0, 0, 0);
        cairo_move_to(cr, x, y + font.metrics.tmAscent);
        cairo_show_text(cr, pal::Utf16ToUtf8(text).c_str());
        cairo_restore(cr);
        std::lock_guard<std::mutex> rg(RecordLock());
        l.dc->record->texts.push_back({l.dc->doc->pages, x, y, std::string(lpString, size_t(c))});
        return TRUE;
    });
}
