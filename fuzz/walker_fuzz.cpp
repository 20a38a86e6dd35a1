// libFuzzer target: any bytes as one EMF page of a gateway job, transformed by
// the EMF walker. The first input byte picks the walker (memory or temporary
// file) and the steps (image cache, framing, deletion, resolution reduction);
// the rest is the page, walked twice so the second walk meets the first
// walk's cache entries. The walker must never crash, read or write outside
// its buffers, or leave a handle open.
#include "diag/DbgLog.h"
#include "emf/ComprCnf.h"
#include "emf/ParseEMF.h"
#include "native/JobWriter.h"
#include "palhost.h"
#include "FuzzMachine.h"
#include "printproc/JobContainers.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr char kMachine[] = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Walk]
"Printer Driver"="QL Spool Bridge"
"Port"="null"
)";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = SetUpFuzzMachine(kMachine, "qlwalk-fuzz", "/dev");
    (void)ready;
    if (size < 1) return 0;
    const uint8_t options = data[0];
    std::vector<uint8_t> page(data + 1, data + size);
    const size_t handlesBefore = pal::host::OpenHandles().size();

    pal::host::ResetSpooler();
    pal::host::JobSpec job;
    job.printer = u"Walk";
    job.datatype = u"NT EMF 1.008";
    job.data = page;
    job.data.insert(job.data.end(), page.begin(), page.end());
    std::u16string name = pal::host::JobReadName(pal::host::SubmitJob(job));
    std::u16string printer = u"Walk";
    HANDLE hReader = nullptr, hPrinter = nullptr;
    if (!OpenPrinterW(name.data(), &hReader, nullptr) || !OpenPrinterW(printer.data(), &hPrinter, nullptr)) std::abort();

    CHoleList holes;
    CBitmapCacheMap cache;
    PRINTPROCESSORDATA pd{};
    pd.dwSignature = PRINTPROCESSOR_SIGNATURE;
    pd.cbSize = sizeof(pd);
    pd.hPrinter = hPrinter;
    pd.pHoleList = &holes;
    pd.pBitmapCache = &cache;
    pd.pPrinterName = printer.data();
    pd.fFraming = (options & 0x2) ? TRUE : FALSE;
    DEVMODEW dm{};
    dm.dmSize = sizeof(dm);
    dm.dmFields = DM_PRINTQUALITY;
    dm.dmPrintQuality = (options & 0x10) ? -1 : 300;
    pd.pDevMode = &dm;

    ComprCnf cnf{};
    cnf.fBitmapCaching = (options & 0x4) ? TRUE : FALSE;
    cnf.dwImageRecallMin = 8;
    cnf.fDPIReduction = (options & 0x8) ? TRUE : FALSE;
    cnf.dwDPIReductionMin = 5;
    cnf.adwCompressionRule[0] = (options & 0x20) ? COMPRESSION_RULE_DELETE : COMPRESSION_RULE_OFF;
    cnf.dwCompressionEMFInMem = (options & 0x1) ? 0 : 0x300000;

    std::u16string doc = u"fuzz", type = u"RAW";
    DOC_INFO_1W info{doc.data(), nullptr, type.data()};
    if (!MyStartDocPrinter(&pd, 1, &info, FALSE)) std::abort();
    BYTE header[8];
    const uint32_t recordType = 1, recordSize = static_cast<uint32_t>(page.size());
    std::memcpy(header, &recordType, 4);
    std::memcpy(header + 4, &recordSize, 4);
    for (int pass = 0; pass < 2; ++pass) {
        if (options & 0x1) {
            FILE* temp = tmpfile();
            if (!temp) std::abort();
            ParseEMFFile(hReader, &pd, header, &cnf, temp, nullptr);
            fclose(temp);
        } else {
            ParseEMFBuffer(hReader, &pd, header, &cnf, nullptr);
        }
    }
    MyEndDocPrinter(&pd, FALSE);
    ClosePrinter(hReader);
    ClosePrinter(hPrinter);
    if (pal::host::OpenHandles().size() != handlesBefore) std::abort();
    return 0;
}
