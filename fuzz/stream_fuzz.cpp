// libFuzzer target: any bytes as what a receiver gets from the network - a
// transport stream or a plain spool file - read by the stream inspector
// (both report formats) and restored to a spool file. A malformed stream is
// reported, never a crash, an over-read or an exception.
#include "tools/lib/SpoolRestore.h"
#include "tools/lib/StreamReader.h"

#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t options = data[0];
    const std::span<const uint8_t> stream(data + 1, size - 1);

    qltools::InspectOptions inspect;
    inspect.keepLogical = options & 0x1;
    inspect.allCopies = options & 0x2;
    inspect.imagesPerCopy = options & 0x4;
    inspect.maxLogicalBytes = 16u << 20;
    const qltools::InspectReport report = qltools::InspectStream(stream, inspect);
    (void)qltools::FormatReportText(report);
    (void)qltools::FormatReportJson(report);

    qltools::RestoreOptions restore;
    restore.copy = (options >> 3) & 0x1;
    restore.dropEngineFonts = options & 0x10;
    restore.imagesPerCopy = options & 0x4;
    restore.maxBytes = 16u << 20;
    (void)qltools::RestoreSpool(stream, restore);
    return 0;
}
