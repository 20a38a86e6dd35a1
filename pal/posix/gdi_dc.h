// Printer device contexts of the Linux build (internal). A device context
// belongs to one printer of the simulated spooler and keeps its own copy of
// the device mode; drawing state will be added here as the product needs it.
#pragma once
#include "handles.h"
#include "palhost.h"

#include <memory>
#include <mutex>

namespace pal::gdi {

class DeviceContext : public Object {
public:
    std::string Describe() const override { return "device context " + pal::host::ToUtf8(printer); }

    std::u16string printer;       // printer name as stored in the registry
    std::u16string port;
    std::vector<uint8_t> devmode; // dmSize + dmDriverExtra bytes

    std::mutex lock;
    // Shared with the list DeviceContexts() reports.
    std::shared_ptr<pal::host::DeviceContextRecord> record;
};

std::shared_ptr<DeviceContext> LookupDC(HDC hdc);

} // namespace pal::gdi
