#include "GatewayTest.h"

#include "printproc/Util.h"

#include <fstream>

namespace gwtest {
namespace {

constexpr char kMachine[] = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Quillon\QLWinPrn]
"DebugLevel"=dword:00020001

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\GW]
"Printer Driver"="QL Spool Bridge"
"Port"="QLGW1:"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\GWFramed]
"Printer Driver"="QL Spool Bridge"
"Port"="QLGW2:"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\GWFramed\PrinterDriverData]
"ImageRecall"=dword:00000001

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Quillon Port]

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Quillon Port\Ports\QLGW1:]
"PortType"="Quillon Print Port"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Quillon Port\Ports\QLGW2:]
"PortType"="Quillon Print Port"
)";

} // namespace


OpenedJob OpenJob(const Bytes& spool, const std::u16string& printer, const std::u16string& parameters,
                  const std::u16string& printerArg) {
    pal::host::JobSpec jobSpec;
    jobSpec.printer = printer;
    jobSpec.datatype = u"NT EMF 1.008";
    jobSpec.document = u"Gateway test";
    jobSpec.parameters = parameters;
    jobSpec.data = spool;
    const DWORD jobId = pal::host::SubmitJob(jobSpec);
    EXPECT_NE(jobId, 0u);

    OpenedJob job;
    job.readName = pal::host::JobReadName(jobId);
    std::u16string name = printerArg.empty() ? printer : printerArg;
    PRINTPROCESSOROPENDATA open = {};
    open.pDatatype = jobSpec.datatype.data();
    open.pParameters = jobSpec.parameters.empty() ? nullptr : jobSpec.parameters.data();
    open.pDocumentName = jobSpec.document.data();
    open.JobId = jobId;
    open.pPrinterName = jobSpec.printer.data();
    job.handle = OpenPrintProcessor(name.data(), &open);
    EXPECT_NE(job.handle, nullptr);
    return job;
}

PrintResult PrintSpool(const Bytes& spool, const PrintOptions& options) {
    PrintResult result;
    OpenedJob job = OpenJob(spool, options.printer, options.parameters, options.printerArg);
    HANDLE handle = job.handle;
    if (!handle) return result;
    auto* pData = job.Data();
    if (!options.keepDevmode && pData->pDevMode) MemFreeT(&pData->pDevMode);

    TakeMonitorCalls();
    pal::host::TakeDebugOutput();
    for (const auto& fault : options.faultsAfterOpen) pal::host::InjectFault(fault);
    result.printed = PrintDocumentOnPrintProcessor(handle, job.readName.data());
    result.printError = result.printed ? 0 : GetLastError();
    result.pageCount = pData->dwPageCount;
    result.lines = pal::host::TakeDebugOutput();
    result.calls = TakeMonitorCalls();
    pal::host::ClearFaults();
    EXPECT_TRUE(ClosePrintProcessor(handle));

    for (const auto& doc : pal::host::PortDocuments()) {
        EXPECT_TRUE(doc.ended);
        result.documents.push_back(pal::host::PortDocumentBytes(doc));
    }
    return result;
}

namespace {

constexpr char16_t kMachineKey[] = u"SOFTWARE\\Quillon\\QLWinPrn";

void SetMachineValue(const char16_t* name, DWORD type, const void* data, size_t cb) {
    HKEY hKey = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kMachineKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr),
              ERROR_SUCCESS);
    if (data)
        EXPECT_EQ(RegSetValueExW(hKey, name, 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(cb)),
                  ERROR_SUCCESS);
    else
        RegDeleteValueW(hKey, name);  // absent already is fine
    RegCloseKey(hKey);
}

} // namespace

void SetMachineDword(const char16_t* name, std::optional<DWORD> value) {
    SetMachineValue(name, REG_DWORD, value ? &*value : nullptr, sizeof(DWORD));
}

void SetMachineString(const char16_t* name, const std::optional<std::u16string>& value) {
    SetMachineValue(name, REG_SZ, value ? value->c_str() : nullptr,
                    value ? (value->size() + 1) * sizeof(char16_t) : 0);
}

void SetMachineMultiString(const char16_t* name, const std::optional<std::vector<std::u16string>>& value) {
    std::u16string joined;
    for (const std::u16string& s : value.value_or(std::vector<std::u16string>{})) joined += s + u'\0';
    joined += u'\0';
    SetMachineValue(name, REG_MULTI_SZ, value ? joined.data() : nullptr, joined.size() * sizeof(char16_t));
}

Bytes ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void PutU32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

void GatewayTest::SetUp() {
    qltest::SetUpMachine(kMachine, "gw", qltest::Attach::Product);
    pal::host::ResetSpooler();
    TakeMonitorCalls();
}

void GatewayTest::TearDown() {
    pal::host::ClearFaults();
}

} // namespace gwtest
