// Shared pieces of the simulated spooler (internal): printers as the registry
// describes them, device modes, and the reset hooks of the device contexts.
#pragma once
#include "palwin.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pal::spool {

// Where the spooler keeps its printers and port monitors under HKLM.
inline constexpr std::u16string_view kPrintersKey = u"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";
inline constexpr std::u16string_view kMonitorsKey = u"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors";

struct PrinterRecord {
    std::u16string name; // as stored in the registry
    std::u16string driver;
    std::u16string port;
    std::u16string spoolDirectory;
    std::u16string shareName;
    std::u16string printProcessor;
    std::u16string datatype;
    std::u16string location;
    std::u16string comment;
    std::u16string parameters;
    std::u16string sepFile;
    DWORD attributes = 0;
    DWORD priority = 1;
    DWORD defaultPriority = 0;
    DWORD startTime = 0;
    DWORD untilTime = 0;
    std::vector<uint8_t> defaultDevMode; // "Default DevMode" when it is a valid device mode
};

// Reads the printer from the registry now; the name is case-insensitive.
std::optional<PrinterRecord> FindPrinter(std::u16string_view name);

// Length of the device mode in bytes (dmSize + dmDriverExtra) when the
// `size` bytes at p hold a plausible one, else 0.
size_t DevModeLength(const void* p, size_t size);
// The printer's default device mode: its "Default DevMode", or the built-in
// one (A4, portrait, 600 dpi, one copy, named after the printer).
std::vector<uint8_t> DefaultDevMode(const PrinterRecord& printer);

} // namespace pal::spool

namespace pal::gdi {
// Forgets the device context records (ResetSpooler).
void ResetRecords();
} // namespace pal::gdi
