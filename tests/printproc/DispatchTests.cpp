// PrintDocumentOnPrintProcessor: which printing path each job reaches, told by
// the path's log line, and the classification of gateway printers and ports.
#include "support/JobMachine.h"

#include "printproc/Util.h"

using namespace qltest;

namespace {

const std::string kEmf = std::string("\x01\x00\x00\x00\x6c\x00\x00\x00", 8) + "EMF spool body";

} // namespace

class Dispatch : public JobTest {
protected:
    // Opens, prints and closes one job; returns the print call's lines.
    std::vector<std::u16string> Print(const pal::host::JobSpec& request, BOOL* pResult = nullptr,
                                      DWORD* pJobType = nullptr) {
        auto job = SubmitAndOpen(request);
        EXPECT_NE(job.handle, nullptr);
        if (!job.handle) return {};
        Lines();
        SetLastError(0);
        BOOL fResult = PrintDocumentOnPrintProcessor(job.handle, job.readName.data());
        if (pResult) *pResult = fResult;
        if (pJobType) *pJobType = job.Data()->dwJobType;
        lastError = GetLastError();
        auto lines = Lines();
        EXPECT_TRUE(ClosePrintProcessor(job.handle));
        return lines;
    }
    DWORD lastError = 0;
};

// Each datatype and printer kind reaches its printing path, told by the lines
// the path logs; gateway jobs fail here because the page record claims more
// data than the job holds.
TEST_F(Dispatch, EachJobKindReachesItsPath) {
    const std::string ready = "ready-made stream";
    struct Case {
        const char16_t* printer;
        const char16_t* type;
        std::string data;
        std::vector<const char16_t*> want;
        int result;  // -1: the path's own result is not pinned here
        DWORD jobType;
    } cases[] = {
        {u"Plain", u"RAW", "raw bytes here", {u"begin processing <Plain, Job ", u"RAW Job detected, call PrintRawJob"}, TRUE, JOBTYPE_RAW},
        {u"Plain", u"RAW [FF appended]", "raw bytes here", {u"RAW Job detected, call PrintRawJob"}, TRUE, JOBTYPE_RAW_FF_APPENDED},
        {u"Plain", u"RAW [FF auto]", "raw bytes here", {u"RAW Job detected, call PrintRawJob"}, TRUE, JOBTYPE_RAW_FF_AUTO},
        {u"Plain", u"RAW", "%%EMZ\x01\x02\x03 compressed", {u"%%EMZ found = 1", u"Compressed Printjob found", u"RAW Job detected"}, TRUE, JOBTYPE_RAW},
        {u"Plain", u"TEXT", "Hello, printer\r\n", {u"TEXT Job detected, call PrintTextJob"}, -1, JOBTYPE_TEXT},
        {u"Plain", u"NT EMF 1.003", kEmf, {u"EMF Job detected, call PrintEMFJob", u"IsQLSpoolBridgeJob: No compotation takes place (0)"}, -1, JOBTYPE_EMF},
        {u"Plain", u"QL EMZ 1.0", kEmf, {u"EMF Job detected, call PrintEMFJob"}, -1, JOBTYPE_EMF},
        {u"Bridge", u"NT EMF 1.008", kEmf, {u"QLSB detected, call PrintQLEMFJob", u"PrintQLEMFJob <", u"Spooling to ComputerName="}, FALSE, JOBTYPE_EMF},
        {u"Pdf", u"NT EMF 1.008", kEmf, {u"QLSB detected, call PrintQLEMFJob"}, FALSE, JOBTYPE_EMF},
        {u"Bridge", u"NT EMF 1.008", "%%XPS" + ready, {u"ReadAHead detect an QLRAWPrintJob!, call PrintRawJob", u"PrintRawJob <", u"type 0"}, TRUE, JOBTYPE_RAW},
        {u"Bridge", u"NT EMF 1.008", "%%EMF" + ready, {u"ReadAHead detect an QLRAWPrintJob!, call PrintRawJob"}, TRUE, JOBTYPE_RAW},
        // A packed job under an EMF datatype takes its printer's EMF path.
        {u"Plain", u"NT EMF 1.008", "%%EMZ\x01\x02\x03 compressed", {u"Compressed Printjob found", u"EMF Job detected, call PrintEMFJob"}, -1, JOBTYPE_EMF},
        {u"Bridge", u"NT EMF 1.008", "%%EMZ\x01\x02\x03 compressed", {u"Compressed Printjob found", u"QLSB detected, call PrintQLEMFJob"}, -1, JOBTYPE_EMF},
        // Fewer bytes than a record header: printed as nothing.
        {u"Bridge", u"NT EMF 1.008", "12345", {u"to less data read, wanted:8 given 5", u"End of Data reached ("}, TRUE, JOBTYPE_EMF},
        {u"Bridge", u"RAW", "12345", {u"to less data read, wanted:8 given 5"}, TRUE, JOBTYPE_RAW},
    };
    for (const auto& c : cases) {
        BOOL fResult = 99;
        DWORD jobType = 99;
        auto lines = Print(Job(c.printer, c.type, c.data), &fResult, &jobType);
        for (const char16_t* want : c.want) EXPECT_TRUE(Contains(lines, want)) << pal::host::ToUtf8(want) << Dump(lines);
        if (c.result >= 0) {
            EXPECT_EQ(fResult, c.result) << pal::host::ToUtf8(c.type) << Dump(lines);
        }
        EXPECT_EQ(jobType, c.jobType) << pal::host::ToUtf8(c.type);
    }
}

// A failing read reports its error and still counts as printed.
TEST_F(Dispatch, FailedReadIsPrintedAsNothing) {
    auto job = SubmitAndOpen(Job(u"Plain", u"RAW", "plenty of data"));
    ASSERT_NE(job.handle, nullptr);
    pal::host::InjectFault({.call = "ReadPrinter", .error = ERROR_READ_FAULT});
    EXPECT_TRUE(PrintDocumentOnPrintProcessor(job.handle, job.readName.data()));
    pal::host::ClearFaults();
    EXPECT_TRUE(Contains(Lines(), u"End of Data reached (30)"));
    ClosePrintProcessor(job.handle);
}

TEST_F(Dispatch, ClientSideRenderingAndUnknownJobTypes) {
    auto csr = SubmitAndOpen(Job(u"Plain", u"NT EMF 1.008", kEmf), u"\\\\CSR|Plain");
    auto lines = Lines();
    EXPECT_TRUE(Contains(lines, u"CSR detected")) << Dump(lines);
    EXPECT_FALSE(Contains(lines, u"Print from <")) << "the datatype is not looked up";
    // The name goes to OpenPrinterW as it is; where the spooler knows it, the
    // job opens as raw.
    if (csr.handle) {
        EXPECT_EQ(csr.Data()->dwJobType, JOBTYPE_RAW);
        EXPECT_EQ(csr.Data()->fClientSideRendering, 1u);
        ClosePrintProcessor(csr.handle);
    }

    auto job = SubmitAndOpen(Job(u"Plain", u"RAW", "data data"));
    ASSERT_NE(job.handle, nullptr);
    job.Data()->fClientSideRendering = 1;
    SetLastError(0);
    EXPECT_FALSE(PrintDocumentOnPrintProcessor(job.handle, job.readName.data()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(Contains(Lines(), u"Client Side Rendering not supported for doc <"));

    job.Data()->fClientSideRendering = 0;
    job.Data()->dwJobType = 7;
    EXPECT_TRUE(PrintDocumentOnPrintProcessor(job.handle, job.readName.data()));
    EXPECT_FALSE(Contains(Lines(), u"detected, call"));
    ClosePrintProcessor(job.handle);
}

TEST_F(Dispatch, ClassificationIsComputedOnce) {
    auto job = SubmitAndOpen(Job(u"Bridge", u"NT EMF 1.008", kEmf));
    ASSERT_NE(job.handle, nullptr);
    ASSERT_EQ(job.Data()->iSpoolBridge, 1);
    // With the printer no longer readable the cached answer still holds.
    pal::host::InjectFault({.call = "GetPrinterW"});
    pal::host::InjectFault({.call = "XcvDataW"});
    Lines();
    PrintDocumentOnPrintProcessor(job.handle, job.readName.data());
    pal::host::ClearFaults();
    auto lines = Lines();
    ExpectLines(lines, {u"IsQLSpoolBridgeJob: No compotation takes place (1)", u"QLSB detected, call PrintQLEMFJob"});
    EXPECT_FALSE(Contains(lines, u"fRtn: ")) << "no port query";
    ClosePrintProcessor(job.handle);
}

TEST_F(Dispatch, UnreadablePrinterIsNotAGateway) {
    PRINTPROCESSORDATA data = {};
    data.iSpoolBridge = -1;
    HANDLE hPrinter = nullptr;
    std::u16string name = u"Bridge";
    ASSERT_TRUE(OpenPrinterW(name.data(), &hPrinter, nullptr));
    pal::host::InjectFault({.call = "GetPrinterW"});
    EXPECT_EQ(IsQLSpoolBridgeJob(hPrinter, &data), 0);
    pal::host::ClearFaults();
    ClosePrinter(hPrinter);
    EXPECT_EQ(data.iSpoolBridge, 0);
    EXPECT_EQ(data.pPortName, nullptr);
    auto lines = Lines();
    ExpectLines(lines, {u"GetPrinter failed - no QLJob and falling back to 1 copy",
                        u"TestAllPortInPortList called with NULL Pointer", u"IsQLSpoolBridgeJob returns (0)"});

    // An invalid printer handle is not asked at all.
    PRINTPROCESSORDATA none = {};
    none.iSpoolBridge = -1;
    EXPECT_EQ(IsQLSpoolBridgeJob(INVALID_HANDLE_VALUE, &none), 0);
    EXPECT_EQ(none.iSpoolBridge, 0);
}

TEST_F(Dispatch, DriverNamesAndPortTypesSetTheDestinationFlags) {
    struct Case {
        const char16_t* printer;
        INT bridge;
        DWORD pdf, vmware, held, remote;
    } cases[] = {
        {u"Bridge", 1, 0, 1, 0, 0},
        {u"BridgeHeld", 1, 0, 0, 1, 0},  // port type answered in other letter case
        {u"BridgeRemote", 1, 0, 0, 0, 1},
        {u"Pdf", 1, 1, 0, 0, 0},         // "QL PDF Bridge" with a version suffix
        {u"PdfLower", 0, 0, 0, 0, 0},    // the driver names are case-sensitive
        {u"Plain", 0, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        auto job = SubmitAndOpen(Job(c.printer, u"NT EMF 1.006", kEmf));
        ASSERT_NE(job.handle, nullptr);
        auto* d = job.Data();
        const std::string name = pal::host::ToUtf8(c.printer);
        EXPECT_EQ(d->iSpoolBridge, c.bridge) << name;
        EXPECT_EQ(d->fPDFBridge, c.pdf) << name;
        EXPECT_EQ(d->fVMwarePort, c.vmware) << name;
        EXPECT_EQ(d->fHeldPrintingPort, c.held) << name;
        EXPECT_EQ(d->fRemotePort, c.remote) << name;
        ClosePrintProcessor(job.handle);
    }
    auto lines = Lines();
    ExpectLines(lines, {u"IsACEDruckJob (1)", u"Is Held Printing Job (1)", u"Is Tessel Workplace Job (1)"});
}
