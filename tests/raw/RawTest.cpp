#include "RawTest.h"

#include "support/TestMachine.h"

#include "support/ViewLibrary.h"

namespace rawtest {
namespace {

constexpr char kMachine[] = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Quillon\QLWinPrn]
"DebugLevel"=dword:00020001

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Plain]
"Printer Driver"="Generic Printer"
"Port"="FILE1:"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Agnp]
"Printer Driver"="Generic Printer"
"Port"="FILE2:"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Agnp\PrinterDriverData]
"AGNP"="Target"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Target]
"Printer Driver"="Generic Printer"
"Port"="FILE3:"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\AgnpMissing]
"Printer Driver"="Generic Printer"
"Port"="FILE4:"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\AgnpMissing\PrinterDriverData]
"AGNP"="Nowhere"
)";

void EnsureMachine() {
    qltest::SetUpMachine(kMachine, "raw", qltest::Attach::Product);
}

} // namespace

Bytes ToBytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes Repeat(const Bytes& b, size_t times) {
    Bytes out;
    for (size_t i = 0; i < times; ++i) out.insert(out.end(), b.begin(), b.end());
    return out;
}

Bytes Text(size_t n) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>('a' + i % 26);
    return out;
}

pal::host::JobSpec Job(const std::u16string& printer, const std::u16string& datatype, const Bytes& data,
                       const std::u16string& parameters) {
    pal::host::JobSpec request;
    request.printer = printer;
    request.datatype = datatype;
    request.document = u"Doc on " + printer;
    request.parameters = parameters;
    request.data = data;
    return request;
}

OpenedJob SubmitAndOpen(const pal::host::JobSpec& request) {
    OpenedJob job;
    job.jobId = pal::host::SubmitJob(request);
    EXPECT_NE(job.jobId, 0u);
    job.readName = pal::host::JobReadName(job.jobId);

    std::u16string printer = request.printer;
    std::u16string datatype = request.datatype;
    std::u16string parameters = request.parameters;
    std::u16string document = request.document;
    PRINTPROCESSOROPENDATA open = {};
    open.pDatatype = datatype.data();
    open.pParameters = parameters.empty() ? nullptr : parameters.data();
    open.pDocumentName = document.data();
    open.JobId = job.jobId;
    open.pPrinterName = printer.data();
    job.handle = OpenPrintProcessor(printer.data(), &open);
    EXPECT_NE(job.handle, nullptr);
    return job;
}

void RawTest::SetUp() {
    EnsureMachine();
    pal::host::ResetSpooler();
    qltest::SetViewLibraryAvailable(false);
    pal::host::TakeDebugOutput();
}

void RawTest::TearDown() {
    pal::host::ClearFaults();
    qltest::SetViewLibraryAvailable(false);
}

Printed RawTest::PrintOpened(const OpenedJob& job) {
    Printed printed;
    pal::host::TakeDebugOutput();
    SetLastError(0);
    printed.result = PrintDocumentOnPrintProcessor(job.handle, const_cast<LPWSTR>(job.readName.c_str()));
    printed.error = GetLastError();
    printed.lines = pal::host::TakeDebugOutput();
    printed.docs = pal::host::PortDocuments();
    return printed;
}

Printed RawTest::Print(const pal::host::JobSpec& request) {
    OpenedJob job = SubmitAndOpen(request);
    if (!job.handle) return {};
    Printed printed = PrintOpened(job);
    EXPECT_TRUE(ClosePrintProcessor(job.handle));
    return printed;
}

Bytes RawTest::OnlyDocumentBytes(const Printed& printed) {
    EXPECT_EQ(printed.docs.size(), 1u) << Dump(printed.lines);
    if (printed.docs.empty()) return {};
    EXPECT_TRUE(printed.docs[0].ended);
    return pal::host::PortDocumentBytes(printed.docs[0]);
}

std::vector<std::u16string> RawTest::Lines() {
    return pal::host::TakeDebugOutput();
}

} // namespace rawtest
