// Printer device contexts: created for printers of the simulated spooler,
// cancelled and deleted. Every context is also recorded, so tests can see
// what the product created and whether it was cancelled.
#include "gdi_dc.h"

#include "faults.h"
#include "spooler_handles.h"

namespace pal::gdi {
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
using pal::spool::FailWith;
using pal::spool::Guard;

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
        return TRUE;
    });
}

PAL_API BOOL DeleteDC(HDC hdc) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        auto dc = pal::RemoveHandleOf<DeviceContext>(hdc);
        if (!dc) return FailWith(ERROR_INVALID_HANDLE, FALSE);
        Records& r = records();
        std::lock_guard<std::mutex> g(r.lock);
        dc->record->deleted = true;
        return TRUE;
    });
}
