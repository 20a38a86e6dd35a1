// Printer device contexts: created for printers of the simulated spooler,
// cancelled and deleted, with the page geometry of their printer and paper.
// Every context is also recorded, so tests can see what the product created
// and whether it was cancelled.
#include "gdi_dc.h"

#include "core.h"
#include "faults.h"
#include "registry_store.h"
#include "spooler_handles.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace pal::gdi {
namespace {

constexpr DWORD kDefaultDpi = 600;
constexpr DWORD kDefaultMarginMM10 = 40;
constexpr DWORD kMaxDpi = 9600;
constexpr DWORD kMaxSizeMM10 = 50000;  // 5 m: anything larger is a typo

struct PaperSize {
    int code;
    const char16_t* name;
    DWORD widthMM10;
    DWORD heightMM10;
};
constexpr PaperSize kPapers[] = {
    {DMPAPER_LETTER, u"Letter", 2159, 2794}, {DMPAPER_LEGAL, u"Legal", 2159, 3556},
    {DMPAPER_A3, u"A3", 2970, 4200},         {DMPAPER_A4, u"A4", 2100, 2970},
    {DMPAPER_A5, u"A5", 1480, 2100},
};
constexpr const PaperSize& kA4 = kPapers[3];

// A REG_DWORD under HKLM\<path>, when present and within [1, max].
std::optional<DWORD> GeometryValue(const std::u16string& path, std::u16string_view name, DWORD max) {
    auto v = pal::reg::QueryValue(HKEY_LOCAL_MACHINE, path, name);
    if (!v || v->type != REG_DWORD || v->data.size() != sizeof(DWORD)) return std::nullopt;
    DWORD value = 0;
    std::memcpy(&value, v->data.data(), sizeof(value));
    if (value == 0 || value > max) return std::nullopt;
    return value;
}

// The public fields of a device mode that decide the paper, read only where
// both the bytes and dmSize cover them.
struct PaperRequest {
    DWORD fields = 0;
    short orientation = 0;
    short paperSize = 0;
    short paperLength = 0;
    short paperWidth = 0;
    std::u16string formName;
};

template <class T>
bool ReadField(const std::vector<uint8_t>& dm, size_t limit, size_t offset, T& out) {
    if (offset + sizeof(T) > limit) return false;
    std::memcpy(&out, dm.data() + offset, sizeof(T));
    return true;
}

PaperRequest ReadRequest(const std::vector<uint8_t>& dm) {
    PaperRequest r;
    WORD dmSize = 0;
    if (!ReadField(dm, dm.size(), offsetof(DEVMODEW, dmSize), dmSize)) return r;
    const size_t limit = std::min<size_t>(dm.size(), dmSize);
    if (!ReadField(dm, limit, offsetof(DEVMODEW, dmFields), r.fields)) return PaperRequest{};
    if (!ReadField(dm, limit, offsetof(DEVMODEW, dmOrientation), r.orientation)) r.fields &= ~DWORD(DM_ORIENTATION);
    if (!ReadField(dm, limit, offsetof(DEVMODEW, dmPaperSize), r.paperSize)) r.fields &= ~DWORD(DM_PAPERSIZE);
    if (!ReadField(dm, limit, offsetof(DEVMODEW, dmPaperLength), r.paperLength)) r.fields &= ~DWORD(DM_PAPERLENGTH);
    if (!ReadField(dm, limit, offsetof(DEVMODEW, dmPaperWidth), r.paperWidth)) r.fields &= ~DWORD(DM_PAPERWIDTH);
    if (offsetof(DEVMODEW, dmFormName) + sizeof(DEVMODEW::dmFormName) <= limit) {
        for (size_t i = 0; i < CCHFORMNAME; ++i) {
            WCHAR c = 0;
            std::memcpy(&c, dm.data() + offsetof(DEVMODEW, dmFormName) + i * sizeof(WCHAR), sizeof(c));
            if (!c) break;
            r.formName.push_back(c);
        }
    } else {
        r.fields &= ~DWORD(DM_FORMNAME);
    }
    return r;
}

int Round(double v) { return static_cast<int>(v + 0.5); }

} // namespace

PageGeometry ComputeGeometry(const std::u16string& printer, const std::vector<uint8_t>& devmode) {
    const PaperRequest req = ReadRequest(devmode);
    const std::u16string base = std::u16string(pal::spool::kPrintersKey) + u"\\" + printer + u"\\Geometry";

    // The paper code: dmPaperSize, or the code of a known form name.
    std::optional<int> code;
    if (req.fields & DM_PAPERSIZE) {
        code = req.paperSize;
    } else if (req.fields & DM_FORMNAME) {
        for (const auto& p : kPapers)
            if (pal::reg::EqualsNoCase(req.formName, p.name)) code = p.code;
    }

    DWORD dpi = GeometryValue(base, u"Dpi", kMaxDpi).value_or(kDefaultDpi);
    DWORD margin = kDefaultMarginMM10;
    if (auto v = pal::reg::QueryValue(HKEY_LOCAL_MACHINE, base, u"MarginMM10"); v && v->type == REG_DWORD &&
                                                                                 v->data.size() == sizeof(DWORD))
        std::memcpy(&margin, v->data.data(), sizeof(margin));

    DWORD width = 0, height = 0;
    if (code) {
        const std::u16string paperKey = base + u"\\" + pal::Utf8ToUtf16(std::to_string(*code));
        auto w = GeometryValue(paperKey, u"WidthMM10", kMaxSizeMM10);
        auto h = GeometryValue(paperKey, u"HeightMM10", kMaxSizeMM10);
        if (w && h) {
            width = *w;
            height = *h;
            dpi = GeometryValue(paperKey, u"Dpi", kMaxDpi).value_or(dpi);
            if (auto v = pal::reg::QueryValue(HKEY_LOCAL_MACHINE, paperKey, u"MarginMM10");
                v && v->type == REG_DWORD && v->data.size() == sizeof(DWORD))
                std::memcpy(&margin, v->data.data(), sizeof(margin));
        } else {
            for (const auto& p : kPapers)
                if (p.code == *code) {
                    width = p.widthMM10;
                    height = p.heightMM10;
                }
        }
    }
    if (!width && (req.fields & DM_PAPERWIDTH) && (req.fields & DM_PAPERLENGTH) && req.paperWidth > 0 &&
        req.paperLength > 0) {
        width = static_cast<DWORD>(req.paperWidth);
        height = static_cast<DWORD>(req.paperLength);
    }
    if (!width) {
        width = kA4.widthMM10;
        height = kA4.heightMM10;
    }
    if ((req.fields & DM_ORIENTATION) && req.orientation == DMORIENT_LANDSCAPE) std::swap(width, height);
    // A margin must leave a printable area.
    margin = std::min<DWORD>(margin, (std::min(width, height) - 1) / 2);

    PageGeometry g;
    g.dpi = static_cast<int>(dpi);
    const double unitsPerMM10 = dpi / 254.0;
    g.physicalWidth = Round(width * unitsPerMM10);
    g.physicalHeight = Round(height * unitsPerMM10);
    g.offsetX = g.offsetY = Round(margin * unitsPerMM10);
    g.horzRes = std::max(1, g.physicalWidth - 2 * g.offsetX);
    g.vertRes = std::max(1, g.physicalHeight - 2 * g.offsetY);
    g.horzSizeMM = Round(g.horzRes * 25.4 / dpi);
    g.vertSizeMM = Round(g.vertRes * 25.4 / dpi);
    return g;
}

namespace {

struct Records {
    std::mutex lock;
    std::vector<std::shared_ptr<pal::host::DeviceContextRecord>> list;
};

Records& records() {
    static Records* r = std::make_unique<Records>().release(); // used until the process ends
    return *r;
}

} // namespace

std::shared_ptr<DeviceContext> LookupDC(HDC hdc) { return pal::LookupHandle<DeviceContext>(hdc); }

std::mutex& RecordLock() { return records().lock; }

void ResetRecords() {
    Records& r = records();
    std::lock_guard<std::mutex> g(r.lock);
    r.list.clear();
}

} // namespace pal::gdi

namespace pal::host {

std::vector<DeviceContextRecord> DeviceContexts() {
    auto& r = pal::gdi::records();
    std::lock_guard<std::mutex> g(r.lock);
    std::vector<DeviceContextRecord> out;
    out.reserve(r.list.size());
    for (const auto& rec : r.list) out.push_back(*rec);
    return out;
}

} // namespace pal::host

using namespace pal::gdi;
using pal::FailWith;
using pal::Guard;

PAL_API HDC CreateDCW(LPCWSTR /*pwszDriver*/, LPCWSTR pwszDevice, LPCWSTR /*pszPort*/, const DEVMODEW* pdm) {
    return Guard<HDC>(nullptr, [&]() -> HDC {
        if (auto f = pal::faults::Check("CreateDCW"); f.fail) return FailWith(f.error, HDC(nullptr));
        auto printer = pwszDevice ? pal::spool::FindPrinter(pwszDevice) : std::nullopt;
        if (!printer) return FailWith(ERROR_INVALID_PRINTER_NAME, HDC(nullptr));
        auto dc = std::make_shared<DeviceContext>();
        dc->printer = printer->name;
        dc->port = printer->port;
        if (pdm) {
            size_t n = pal::spool::DevModeLength(pdm, size_t(pdm->dmSize) + pdm->dmDriverExtra);
            if (!n) return FailWith(ERROR_INVALID_PARAMETER, HDC(nullptr));
            const auto* bytes = reinterpret_cast<const uint8_t*>(pdm);
            dc->devmode.assign(bytes, bytes + n);
        } else {
            dc->devmode = pal::spool::DefaultDevMode(*printer);
        }
        dc->geometry = ComputeGeometry(dc->printer, dc->devmode);
        dc->record = std::make_shared<pal::host::DeviceContextRecord>();
        dc->record->printer = dc->printer;
        dc->record->devmode = dc->devmode;
        {
            Records& r = records();
            std::lock_guard<std::mutex> g(r.lock);
            r.list.push_back(dc->record);
        }
        return static_cast<HDC>(pal::RegisterHandle(std::move(dc)));
    });
}

PAL_API BOOL CancelDC(HDC hdc) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        auto dc = LookupDC(hdc);
        if (!dc) return FailWith(ERROR_INVALID_HANDLE, FALSE);
        Records& r = records();
        std::lock_guard<std::mutex> g(r.lock);
        dc->record->cancelled = true;
        dc->cancelled = true;
        return TRUE;
    });
}

namespace pal::gdi {
bool DeleteMemoryDC(HDC hdc); // dib.cpp: contexts of CreateCompatibleDC
}

PAL_API BOOL DeleteDC(HDC hdc) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        if (DeleteMemoryDC(hdc)) return TRUE;
        auto dc = pal::RemoveHandleOf<DeviceContext>(hdc);
        if (!dc) return FailWith(ERROR_INVALID_HANDLE, FALSE);
        Records& r = records();
        std::lock_guard<std::mutex> g(r.lock);
        dc->record->deleted = true;
        return TRUE;
    });
}

PAL_API int GetDeviceCaps(HDC hdc, int index) {
    return Guard<int>(0, [&]() -> int {
        auto dc = LookupDC(hdc);
        if (!dc) return FailWith(ERROR_INVALID_HANDLE, 0);
        const PageGeometry& g = dc->geometry;
        switch (index) {
        case TECHNOLOGY: return DT_RASPRINTER;
        case HORZSIZE: return g.horzSizeMM;
        case VERTSIZE: return g.vertSizeMM;
        case HORZRES: return g.horzRes;
        case VERTRES: return g.vertRes;
        case BITSPIXEL: return 24;
        case PLANES: return 1;
        case LOGPIXELSX:
        case LOGPIXELSY: return g.dpi;
        case PHYSICALWIDTH: return g.physicalWidth;
        case PHYSICALHEIGHT: return g.physicalHeight;
        case PHYSICALOFFSETX: return g.offsetX;
        case PHYSICALOFFSETY: return g.offsetY;
        default: return 0;
        }
    });
}
