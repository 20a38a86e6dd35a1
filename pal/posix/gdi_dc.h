// Printer device contexts of the Linux build (internal). A device context
// belongs to one printer of the simulated spooler and keeps its own copy of
// the device mode; drawing state will be added here as the product needs it.
#pragma once
#include "handles.h"
#include "palhost.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace pal::gdi {

// The sheet a printer device context prints on, in device units, as
// GetDeviceCaps reports it (see pal/gdi.h for where it comes from).
struct PageGeometry {
    int dpi = 600;
    int physicalWidth = 0;   // whole sheet, orientation applied
    int physicalHeight = 0;
    int offsetX = 0;         // unprintable margin left / top
    int offsetY = 0;
    int horzRes = 0;         // printable area
    int vertRes = 0;
    int horzSizeMM = 0;      // printable area in millimetres
    int vertSizeMM = 0;
};

// The geometry of `printer` for the device mode bytes `devmode` (may be
// empty: A4 portrait).
PageGeometry ComputeGeometry(const std::u16string& printer, const std::vector<uint8_t>& devmode);

struct Document; // gdi_print.cpp: the document being drawn

class DeviceContext : public Object {
public:
    std::string Describe() const override { return "device context " + pal::host::ToUtf8(printer); }

    std::u16string printer;       // printer name as stored in the registry
    std::u16string port;
    std::vector<uint8_t> devmode; // dmSize + dmDriverExtra bytes
    PageGeometry geometry;        // fixed when the context is created

    std::mutex lock;
    // Drawing state (gdi_print.cpp), under `lock`.
    HGDIOBJ font = nullptr;          // selected font; null: the printer's default
    std::shared_ptr<Document> doc;   // between StartDocW and EndDoc/AbortDoc
    std::atomic<bool> cancelled{false}; // CancelDC: drawing fails until AbortDoc
    // Shared with the list DeviceContexts() reports.
    std::shared_ptr<pal::host::DeviceContextRecord> record;
};

std::shared_ptr<DeviceContext> LookupDC(HDC hdc);
// Guards the DeviceContextRecord of every context.
std::mutex& RecordLock();

} // namespace pal::gdi
