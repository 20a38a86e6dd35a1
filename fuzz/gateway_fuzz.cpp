// libFuzzer target: any bytes as the spool file of a gateway job, printed
// through the entry points (open, print, close) as the spooler does: the
// record loop, device mode and extension records, back distances, pages. The
// first input byte picks the printer (plain or with the bitmap cache), the
// copies and whether pages go through the temporary file; the rest is the
// job. Nothing may crash, read or write out of bounds, or leave a handle open.
#include "FuzzMachine.h"
#include "palhost.h"
#include "printproc/Winprint.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

constexpr char kMachine[] = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\GW]
"Printer Driver"="QL Spool Bridge"
"Port"="null"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\GWFramed]
"Printer Driver"="QL Spool Bridge"
"Port"="null"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\GWFramed\PrinterDriverData]
"ImageRecall"=dword:00000001
"ImageRecallMin"=dword:00000008
"BitmapDPIReduction"=dword:00000001
)";

void SetPagesThroughFile(bool on) {
    HKEY hKey = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Quillon\\QLWinPrn", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &hKey, nullptr) != ERROR_SUCCESS) {
        std::abort();
    }
    const DWORD inMemory = on ? 0 : 0x300000;
    RegSetValueExW(hKey, u"CompressionEMFInMem", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&inMemory),
                   sizeof(inMemory));
    RegCloseKey(hKey);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = SetUpFuzzMachine(kMachine, "qlgateway-fuzz", "/dev");
    (void)ready;
    if (size < 1) return 0;
    const uint8_t options = data[0];
    SetPagesThroughFile(options & 0x4);
    const size_t handlesBefore = pal::host::OpenHandles().size();

    pal::host::ResetSpooler();
    pal::host::JobSpec job;
    job.printer = (options & 0x1) ? u"GWFramed" : u"GW";
    job.datatype = u"NT EMF 1.008";
    job.document = u"fuzz";
    job.parameters = (options & 0x2) ? u"COPIES=2;" : u"";
    job.data.assign(data + 1, data + size);
    const DWORD jobId = pal::host::SubmitJob(job);
    std::u16string readName = pal::host::JobReadName(jobId);

    PRINTPROCESSOROPENDATA open = {};
    open.pDatatype = job.datatype.data();
    open.pParameters = job.parameters.empty() ? nullptr : job.parameters.data();
    open.pDocumentName = job.document.data();
    open.JobId = jobId;
    open.pPrinterName = job.printer.data();
    HANDLE handle = OpenPrintProcessor(job.printer.data(), &open);
    if (!handle) std::abort();
    PrintDocumentOnPrintProcessor(handle, readName.data());
    if (!ClosePrintProcessor(handle)) std::abort();
    for (const auto& doc : pal::host::PortDocuments()) {
        if (!doc.ended) std::abort();
    }
    if (pal::host::OpenHandles().size() != handlesBefore) std::abort();
    return 0;
}
