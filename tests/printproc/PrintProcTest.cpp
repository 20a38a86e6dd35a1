#include "PrintProcTest.h"

#include <mutex>

namespace pptest {
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

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Quillon Port\Ports\QLVM:]
"PortType"="Quillon Print Port for VMware"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Quillon Port\Ports\QLHELD:]
"PortType"="QUILLON .RELAY HELD PRINTING SERVER PORT"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Quillon Port\Ports\QLTW:]
"PortType"="Quillon Print Port for Tessel Workplace"
)";

std::vector<std::u16string> g_attachLines;

} // namespace

void EnsureMachine() {
    static std::once_flag once;
    std::call_once(once, [] {
        pal::host::TakeDebugOutput();
        qltest::SetUpMachine(kMachine, "pp", qltest::Attach::Product);
        g_attachLines = pal::host::TakeDebugOutput();
    });
}

const std::vector<std::u16string>& AttachLines() {
    return g_attachLines;
}

pal::host::JobSpec Job(const std::u16string& printer, const std::u16string& datatype, const std::string& data,
                       const std::u16string& parameters) {
    pal::host::JobSpec request;
    request.printer = printer;
    request.datatype = datatype;
    request.document = u"Doc of " + printer;
    request.parameters = parameters;
    request.data.assign(data.begin(), data.end());
    return request;
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

void PrintProcTest::SetUp() {
    EnsureMachine();
    pal::host::ResetSpooler();
    pal::host::TakeDebugOutput();
}

std::vector<std::u16string> PrintProcTest::Lines() {
    return pal::host::TakeDebugOutput();
}

} // namespace pptest
