// libFuzzer target: any bytes as the data of a packed job, read through the
// decoder with a read size taken from the first input byte. The decoder must
// end every job with a FALSE read, never crash, hang or over-read.
#include "diag/DbgLog.h"
#include "emz/NPDecompress.h"
#include "palhost.h"
#include "FuzzMachine.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr char kMachine[] = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Packed]
"Printer Driver"="QL Spool Bridge"
"Port"="FILE1:"
)";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = SetUpFuzzMachine(kMachine, "qlemz-fuzz");
    (void)ready;
    if (size == 0) return 0;
    static const DWORD kReadSizes[] = {1, 7, 64, 4096, 8191, 8192, 8193, 65536};
    const DWORD readSize = kReadSizes[data[0] % (sizeof(kReadSizes) / sizeof(kReadSizes[0]))];

    pal::host::ResetSpooler();
    pal::host::JobSpec job;
    job.printer = u"Packed";
    job.data.assign(data + 1, data + size);
    std::u16string name = pal::host::JobReadName(pal::host::SubmitJob(job));
    HANDLE hPrinter = nullptr;
    if (!OpenPrinterW(name.data(), &hPrinter, nullptr)) std::abort();
    {
        CNPDecompress decoder(hPrinter);
        std::vector<uint8_t> buffer(readSize);
        // Deflate expands at most about 1032:1; more reads than that is a hang.
        const uint64_t maxCalls = (static_cast<uint64_t>(size) * 1100 + 65536) / readSize + 2;
        uint64_t calls = 0;
        for (;;) {
            DWORD cbRead = 0xFFFFFFFF;
            if (!decoder.ReadPrinter(buffer.data(), readSize, &cbRead)) {
                if (cbRead != 0) std::abort();
                break;
            }
            if (cbRead == 0 || cbRead > readSize) std::abort();
            if (++calls > maxCalls) std::abort();
        }
    }
    ClosePrinter(hPrinter);
    return 0;
}
