#include "support/JobMachine.h"

#include "printproc/Util.h"
#include "support/ViewLibrary.h"

#include <cstdio>

namespace qltest {
namespace {

constexpr char kMachine[] = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Quillon\QLWinPrn]
"DebugLevel"=dword:00020001

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Plain]
"Printer Driver"="Generic Printer"
"Port"="FILE1:"
"Attributes"=dword:00000040

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Direct]
"Printer Driver"="Generic Printer"
"Port"="FILE2:"
"Attributes"=dword:00000042

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Bridge]
"Printer Driver"="QL Spool Bridge"
"Port"="QLVM:"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\BridgeHeld]
"Printer Driver"="QL Spool Bridge"
"Port"="QLHELD:"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\BridgeRemote]
"Printer Driver"="QL Spool Bridge 2"
"Port"="QLTW:"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Pdf]
"Printer Driver"="QL PDF Bridge v3.1"
"Port"="FILE3:"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\PdfLower]
"Printer Driver"="ql pdf bridge"
"Port"="FILE4:"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Agnp]
"Printer Driver"="Generic Printer"
"Port"="FILE5:"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Agnp\PrinterDriverData]
"AGNP"="Target"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Target]
"Printer Driver"="Generic Printer"
"Port"="FILE6:"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\AgnpMissing]
"Printer Driver"="Generic Printer"
"Port"="FILE7:"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\AgnpMissing\PrinterDriverData]
"AGNP"="Nowhere"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\GW]
"Printer Driver"="QL Spool Bridge"
"Port"="QLGW1:"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\GWFramed]
"Printer Driver"="QL Spool Bridge"
"Port"="QLGW2:"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\GWFramed\PrinterDriverData]
"ImageRecall"=dword:00000001

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\GWNative]
"Printer Driver"="QL Spool Bridge"
"Port"="QLGW1:"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\GWNative\PrinterDriverData]
"AGNP"="GW"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Office Laser]
"Printer Driver"="Generic Printer"
"Port"="FILE8:"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Coarse]
"Printer Driver"="Generic Printer"
"Port"="FILE9:"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Coarse\Geometry]
"Dpi"=dword:00000048

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Quillon Port\Ports\QLVM:]
"PortType"="Quillon Print Port for VMware"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Quillon Port\Ports\QLHELD:]
"PortType"="QUILLON .RELAY HELD PRINTING SERVER PORT"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Quillon Port\Ports\QLTW:]
"PortType"="Quillon Print Port for Tessel Workplace"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Quillon Port\Ports\QLGW1:]
"PortType"="Quillon Print Port"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Quillon Port\Ports\QLGW2:]
"PortType"="Quillon Print Port"
)";

void SetMachineValue(const char16_t* name, DWORD type, const void* data, size_t cb) {
    HKEY hKey = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Quillon\\QLWinPrn", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &hKey, nullptr),
              ERROR_SUCCESS);
    if (data)
        EXPECT_EQ(RegSetValueExW(hKey, name, 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(cb)),
                  ERROR_SUCCESS);
    else
        RegDeleteValueW(hKey, name);  // absent already is fine
    RegCloseKey(hKey);
}

} // namespace

Bytes ToBytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes Text(size_t n) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>('a' + i % 26);
    return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

void PutU32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

pal::host::JobSpec Job(const std::u16string& printer, const std::u16string& datatype, const Bytes& data,
                       const std::u16string& parameters) {
    pal::host::JobSpec request;
    request.printer = printer;
    request.datatype = datatype;
    request.document = u"Doc of " + printer;
    request.parameters = parameters;
    request.data = data;
    return request;
}

pal::host::JobSpec Job(const std::u16string& printer, const std::u16string& datatype, const std::string& data,
                       const std::u16string& parameters) {
    return Job(printer, datatype, ToBytes(data), parameters);
}

OpenedJob SubmitAndOpen(const pal::host::JobSpec& request, std::u16string printerArg) {
    OpenedJob job;
    job.jobId = pal::host::SubmitJob(request);
    EXPECT_NE(job.jobId, 0u);
    job.readName = pal::host::JobReadName(job.jobId);

    auto r = request;  // OpenPrintProcessor takes writable strings
    if (printerArg.empty()) printerArg = r.printer;
    PRINTPROCESSOROPENDATA open = {};
    open.pDevMode = r.devmode.empty() ? nullptr : reinterpret_cast<PDEVMODEW>(r.devmode.data());
    open.pDatatype = r.datatype.data();
    open.pParameters = r.parameters.empty() ? nullptr : r.parameters.data();
    open.pDocumentName = r.document.data();
    open.JobId = job.jobId;
    open.pPrinterName = r.printer.data();
    job.handle = OpenPrintProcessor(printerArg.data(), &open);
    return job;
}

Printed PrintOpened(const OpenedJob& job, const std::vector<pal::host::Fault>& faults) {
    Printed printed;
    TakeMonitorCalls();
    pal::host::TakeDebugOutput();
    for (const auto& fault : faults) pal::host::InjectFault(fault);
    SetLastError(0);
    printed.result = PrintDocumentOnPrintProcessor(job.handle, const_cast<LPWSTR>(job.readName.c_str()));
    printed.error = GetLastError();
    if (!faults.empty()) pal::host::ClearFaults();
    printed.pageCount = job.Data()->dwPageCount;
    printed.lines = pal::host::TakeDebugOutput();
    printed.calls = TakeMonitorCalls();
    printed.docs = pal::host::PortDocuments();
    for (const auto& doc : printed.docs) printed.documents.push_back(pal::host::PortDocumentBytes(doc));
    return printed;
}

Printed Print(const pal::host::JobSpec& request, const PrintOptions& options) {
    OpenedJob job = SubmitAndOpen(request, options.printerArg);
    EXPECT_NE(job.handle, nullptr);
    if (!job.handle) return {};
    if (options.dropDevmode && job.Data()->pDevMode) MemFreeT(&job.Data()->pDevMode);
    Printed printed = PrintOpened(job, options.faultsAfterOpen);
    EXPECT_TRUE(ClosePrintProcessor(job.handle));
    // Closing ends what the print left open.
    printed.docs = pal::host::PortDocuments();
    printed.documents.clear();
    for (const auto& doc : printed.docs) {
        EXPECT_TRUE(doc.ended);
        printed.documents.push_back(pal::host::PortDocumentBytes(doc));
    }
    return printed;
}

Printed PrintSpool(const Bytes& spool, const std::u16string& printer, const std::u16string& parameters,
                   PrintOptions options) {
    options.dropDevmode = true;
    return Print(Job(printer, u"NT EMF 1.008", spool, parameters), options);
}

Bytes OnlyDocument(const Printed& printed) {
    EXPECT_EQ(printed.docs.size(), 1u) << Dump(printed.lines);
    if (printed.docs.empty()) return {};
    EXPECT_TRUE(printed.docs[0].ended);
    return printed.documents[0];
}

void SetMachineDword(const char16_t* name, std::optional<DWORD> value) {
    SetMachineValue(name, REG_DWORD, value ? &*value : nullptr, sizeof(DWORD));
}

void SetMachineString(const char16_t* name, const std::optional<std::u16string>& value) {
    SetMachineValue(name, REG_SZ, value ? value->c_str() : nullptr, value ? (value->size() + 1) * sizeof(char16_t) : 0);
}

void SetMachineMultiString(const char16_t* name, const std::optional<std::vector<std::u16string>>& value) {
    std::u16string joined;
    for (const std::u16string& s : value.value_or(std::vector<std::u16string>{})) joined += s + u'\0';
    joined += u'\0';
    SetMachineValue(name, REG_MULTI_SZ, value ? joined.data() : nullptr, joined.size() * sizeof(char16_t));
}

void SetUpJobMachine(DWORD debugLevel) {
    std::string text = kMachine;
    char level[16];
    std::snprintf(level, sizeof(level), "%08x", static_cast<unsigned>(debugLevel));
    text.replace(text.find("00020001"), 8, level);
    SetUpMachine(text.c_str(), "jobs", Attach::Product);
}

void JobTest::SetUp() {
    SetUpJobMachine();
    pal::host::ResetSpooler();
    SetViewLibraryAvailable(false);
    TakeMonitorCalls();
    pal::host::TakeDebugOutput();
}

void JobTest::TearDown() {
    pal::host::ClearFaults();
    SetViewLibraryAvailable(false);
}

} // namespace qltest
