// libFuzzer target: any bytes as the configured watermark file. The page
// finder and the source must never crash or read outside the file, a page
// they report must lie inside it, and the file handle must be closed by the
// block writer's path (here: closed directly).
#include "FuzzMachine.h"
#include "gateway/Watermark.h"
#include "palhost.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>

namespace {

constexpr char kMachine[] = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Quillon\QLWinPrn]
"Watermark"="C:\\wm.spl"
)";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = SetUpFuzzMachine(kMachine, "qlwatermark-fuzz");
    (void)ready;
    std::ofstream(pal::host::MapPath(u"C:\\wm.spl"), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    const size_t handlesBefore = pal::host::OpenHandles().size();

    DWORD offset = 0, end = 0;
    HANDLE h = OpenWatermarkSource(&offset, &end);
    if (!h) std::abort();  // the file exists
    if (offset != WATERMARK_NO_PAGE && (offset > end || end > size)) std::abort();
    DWORD cbEmf = 0;
    const DWORD found = FindWatermarkPage(h, &cbEmf);
    if (found != offset) std::abort();
    if (found != WATERMARK_NO_PAGE && static_cast<uint64_t>(found) + 100 > size) std::abort();
    CloseHandle(h);
    if (pal::host::OpenHandles().size() != handlesBefore) std::abort();
    return 0;
}
