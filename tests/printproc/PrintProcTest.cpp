#include "PrintProcTest.h"

#include <cstdlib>
#include <filesystem>
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

// The machine's drive root, removed when the test process ends.
struct TempRoot {
    std::filesystem::path path;
    ~TempRoot() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
} g_root;

} // namespace

void EnsureMachine() {
    static std::once_flag once;
    std::call_once(once, [] {
        std::string tmpl = (std::filesystem::temp_directory_path() / "qlpp-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        g_root.path = tmpl;
        const std::filesystem::path& root = g_root.path;
        std::filesystem::create_directories(root / "out");
        pal::host::SetDriveRoot(root.string());
        pal::host::SetOutputDirectory((root / "out").string());
        pal::host::SetModuleDirectory(QL_BIN_DIR);
        std::string error;
        ASSERT_TRUE(pal::host::LoadRegistryText(kMachine, "printproc-machine.reg", &error)) << error;
        pal::host::TakeDebugOutput();
        ASSERT_TRUE(DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr));
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

    std::u16string printer = request.printer;
    std::u16string datatype = request.datatype;
    std::u16string parameters = request.parameters;
    std::u16string document = request.document;
    std::vector<uint8_t> devmode = request.devmode;
    if (printerArg.empty()) printerArg = request.printer;

    PRINTPROCESSOROPENDATA open = {};
    open.pDevMode = devmode.empty() ? nullptr : reinterpret_cast<PDEVMODEW>(devmode.data());
    open.pDatatype = datatype.data();
    open.pParameters = parameters.empty() ? nullptr : parameters.data();
    open.pDocumentName = document.data();
    open.JobId = job.jobId;
    open.pOutputFile = nullptr;
    open.pPrinterName = printer.data();
    job.handle = OpenPrintProcessor(printerArg.data(), &open);
    return job;
}

bool Contains(const std::vector<std::u16string>& lines, const std::u16string& text) {
    for (const auto& line : lines) {
        if (line.find(text) != std::u16string::npos) return true;
    }
    return false;
}

std::string Dump(const std::vector<std::u16string>& lines) {
    std::string out;
    for (const auto& line : lines) out += pal::host::ToUtf8(line);
    return out;
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
