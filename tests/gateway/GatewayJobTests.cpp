// The gateway job driver end to end: what reaches the port, byte for byte,
// and what the port monitor is told, for toolkit-made spool jobs.
#include "support/JobMachine.h"

#include "gateway/QLEMFJob.h"
#include "native/JobWriter.h"
#include "native/ViewLibrary.h"
#include "support/ViewLibrary.h"
#include "printproc/Util.h"
#include "tools/lib/SpoolWriter.h"
#include "tools/lib/StreamReader.h"

#include <chrono>
#include <cstring>
#include <future>
#include <tuple>

using namespace qltest;
using namespace qltools;

namespace {

const Bytes kMarker = {'%', '%', 'E', 'M', 'F'};

Bytes Page(uint32_t n) {
    SpoolJobOptions options;
    return GenerateEmfPage(options, n);
}

// The stream one copy produces when nothing is transformed.
Bytes Unframed(const Bytes& spool) {
    return Concat({kMarker, spool});
}

// The same with the bitmap cache on: each record in a data block of its own.
// The file header record's size counts its header, every other one's not.
Bytes Framed(const Bytes& spool) {
    Bytes out = kMarker;
    size_t pos = 0;
    while (pos + 8 <= spool.size()) {
        const uint32_t type = GetU32(spool, pos);
        const uint32_t size = GetU32(spool, pos + 4);
        const size_t total = type == SPL_FILE_HEADER ? size : size + 8;
        PutU32(out, 0x08080000);
        PutU32(out, type == SPL_FILE_HEADER ? size : size + 8);
        out.insert(out.end(), spool.begin() + pos, spool.begin() + pos + total);
        pos += total;
    }
    return out;
}

// The port monitor calls, as (function, port, server, value).
using Call = std::tuple<DWORD, std::u16string, std::u16string, DWORD>;
std::vector<Call> Calls(const std::vector<QuilmonCall>& calls, DWORD fn = 0) {
    std::vector<Call> out;
    for (const auto& c : calls)
        if (!fn || c.dwFunction == fn) out.emplace_back(c.dwFunction, c.szArg1, c.szArg2, c.dwValue);
    return out;
}

Bytes DevmodeWith(uint32_t fields, int16_t copies) {
    DevmodeOptions options;
    options.fields = fields;
    options.copies = copies;
    return BuildDevmode(options);
}

class GatewayJob : public JobTest {};

} // namespace

// Nothing transformed: each copy is the marker and the spool file, framed
// with the bitmap cache on (each record in a data block of its own).
TEST_F(GatewayJob, FramedAndUnframedOutputByteForByte) {
    SpoolJobOptions options;
    options.pages = 3;
    options.images = {ImageKind::Noise};  // a new bitmap on every page: nothing for the cache
    options.extraRecords.push_back({SPL_PRESTARTPAGE, Bytes{1, 2, 3, 4}});
    const Bytes spool = GenerateSpoolJob(options);

    const Printed plain = PrintSpool(spool, u"GW", u"COPIES=2;");
    EXPECT_TRUE(plain.result) << Dump(plain.lines);
    EXPECT_EQ(plain.pageCount, 6u);
    ASSERT_EQ(plain.documents.size(), 1u);
    EXPECT_EQ(plain.documents[0], Concat({Unframed(spool), Unframed(spool)}));
    // "GW" is no \\server\port name: the page counts go out without names.
    EXPECT_EQ(Calls(plain.calls, QUILMON_FN_INCREMENT_PAGE_COUNT),
              std::vector<Call>(6, {QUILMON_FN_INCREMENT_PAGE_COUNT, u"", u"", 0}));
    ExpectLines(plain.lines,
                {u"Adopt compression settings", u"Spooling to ComputerName=, PortName=", u"Increment Page Count: , "});

    pal::host::ResetSpooler();
    const Printed framed = PrintSpool(spool, u"GWFramed");
    ASSERT_EQ(framed.documents.size(), 1u);
    EXPECT_EQ(framed.documents[0], Framed(spool));
}

TEST_F(GatewayJob, PortMonitorNamesComeFromAServerPrinterName) {
    SpoolWriter w;
    w.Page(Page(1), SPL_METAFILE);
    w.Devmode(DevmodeWith(0x100, 2));
    const Printed r = PrintSpool(w.Bytes(), u"GW", u"", {.printerArg = u"\\\\SRV1\\GW"});
    EXPECT_EQ(Calls(r.calls), (std::vector<Call>{{QUILMON_FN_INCREMENT_PAGE_COUNT, u"GW", u"SRV1", 0},
                                                 {QUILMON_FN_SET_PRINT_COPY_COUNT, u"GW", u"SRV1", 2}}));
    ExpectLines(r.lines, {u"Spooling to ComputerName=SRV1, PortName=GW", u"Copy Count sent: SRV1, GW 2",
                          u"Increment Page Count: SRV1, GW"});
}

// The copy count goes out once per copy, from the first device mode record
// only, and only when dmFields has DM_COPIES; a record too short for dmCopies
// is copied as it is.
TEST_F(GatewayJob, CopyCountGoesOutOncePerCopyForTheFirstDevmodeRecord) {
    Bytes shortDevmode = DevmodeWith(0x100, 5);
    shortDevmode.resize(100);
    const struct {
        std::vector<Bytes> devmodes;  // each in front of a page
        std::vector<DWORD> sent;
        const char16_t* found;
    } cases[] = {
        {{DevmodeWith(0x1 | 0x2 | 0x100, 3), DevmodeWith(0x100, 7)}, {3, 3}, u"Copy Count found: 7"},
        {{DevmodeWith(0x1 | 0x2, 4)}, {}, u"Copy Count found: 4"},
        {{shortDevmode}, {}, nullptr},
    };
    for (const auto& c : cases) {
        pal::host::ResetSpooler();
        SpoolWriter w;
        for (size_t i = 0; i < c.devmodes.size(); ++i) {
            w.Devmode(c.devmodes[i]);
            w.Page(Page(static_cast<uint32_t>(i + 1)), SPL_METAFILE);
        }
        const Printed r = PrintSpool(w.Bytes(), u"GW", u"COPIES=2;");
        std::vector<DWORD> sent;
        for (const auto& call : Calls(r.calls, QUILMON_FN_SET_PRINT_COPY_COUNT)) sent.push_back(std::get<3>(call));
        EXPECT_EQ(sent, c.sent) << Dump(r.lines);
        EXPECT_EQ(Contains(r.lines, u"Copy Count found"), c.found != nullptr);
        EXPECT_TRUE(!c.found || Contains(r.lines, c.found));
        EXPECT_EQ(r.pageCount, 2 * c.devmodes.size());
        if (!c.found) {
            EXPECT_EQ(OnlyDocument(r), Concat({Unframed(w.Bytes()), Unframed(w.Bytes())}));
        }
    }
}

// Failures end the document. The copy cannot open the job's data; a
// malformed page fails the job with ERROR_INVALID_DATA, whatever error an
// earlier look-up left behind, in both walkers: a record running past the
// page end, and a page cut short by the end of the job. The document ends
// with what came before the page (read whole in memory, the page is not sent).
TEST_F(GatewayJob, FailuresEndTheDocument) {
    SpoolWriter good;
    const size_t pageAt = good.Page(Page(1), SPL_METAFILE);
    Printed r = PrintSpool(good.Bytes(), u"GW", u"COPIES=2;",
                           {.faultsAfterOpen = {{.call = "OpenPrinterW", .afterCalls = 1, .error = ERROR_ACCESS_DENIED}}});
    EXPECT_FALSE(r.result);
    EXPECT_TRUE(Contains(r.lines, u"OpenPrinter: 5")) << Dump(r.lines);
    ASSERT_EQ(r.documents.size(), 1u);
    EXPECT_TRUE(r.documents[0].empty());

    Bytes page = Page(1);
    const uint32_t second = GetU32(page, 4);  // the record after EMR_HEADER
    ASSERT_LT(second + 8, page.size());
    std::memcpy(page.data() + second + 4, "\xF0\xFF\xFF\x7F", 4);
    SpoolWriter bad;
    bad.Page(page, SPL_METAFILE);
    Bytes cut = good.Bytes();
    cut.resize(cut.size() - 10);
    for (const DWORD inMemory : {DWORD{0x300000}, DWORD{64}}) {
        SetMachineDword(u"CompressionEMFInMem", inMemory);
        for (const Bytes& spool : {bad.Bytes(), cut}) {
            SCOPED_TRACE("in memory below " + std::to_string(inMemory));
            pal::host::ResetSpooler();
            SetLastError(ERROR_FILE_NOT_FOUND);
            r = PrintSpool(spool);
            EXPECT_FALSE(r.result);
            EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_DATA));
            EXPECT_EQ(r.pageCount, 1u);
            ASSERT_EQ(r.documents.size(), 1u);
            if (inMemory > page.size()) {
                EXPECT_EQ(r.documents[0], Unframed(Bytes(spool.begin(), spool.begin() + static_cast<std::ptrdiff_t>(pageAt))));
            }
        }
    }
    SetMachineDword(u"CompressionEMFInMem", std::nullopt);
}

// An exception out of a page - here the image cache's hash pipe failing -
// ends the job: the document is ended (PrintSpool checks), the job's handles
// are closed and the error is the pipe's. (Allocation failures: the failure
// sweep of the host tests.)
TEST_F(GatewayJob, ExceptionsInAPageEndTheJob) {
    SpoolWriter w;
    w.Page(Page(1), SPL_METAFILE);
    w.Page(Page(2), SPL_METAFILE);
    PrintOptions print;
    auto run = [&](const std::string& what, DWORD error) {
        SCOPED_TRACE(what);
        pal::host::ResetSpooler();
        const size_t handles = pal::host::OpenHandles().size();
        const Printed r = PrintSpool(w.Bytes(), u"GWFramed", u"", print);
        EXPECT_EQ(pal::host::OpenHandles().size(), handles);
        EXPECT_FALSE(r.result);
        EXPECT_EQ(r.error, error);
    };

    const struct {
        const char* call;
        DWORD error;
    } crypto[] = {{"CryptAcquireContextW", ERROR_ACCESS_DENIED}, {"CryptHashData", DWORD(NTE_BAD_HASH)}};
    for (const auto& c : crypto) {
        print.faultsAfterOpen = {{.call = c.call, .error = c.error}};
        run(c.call, c.error);
    }
}

TEST_F(GatewayJob, NativePrintingWithoutTheViewLibraryFailsTheJob) {
    SpoolWriter w;
    w.Page(Page(1), SPL_METAFILE);
    const uint64_t eventsBefore = pal::host::LastEventNumber();
    const Printed r = PrintSpool(w.Bytes(), u"GWNative");
    EXPECT_FALSE(r.result);
    const auto events = pal::host::ReadEventLog();
    ASSERT_FALSE(events.empty());
    EXPECT_GT(events.back().number, eventsBefore);
    EXPECT_EQ(events.back().strings, std::vector<std::u16string>{u"QLWinPrn: Agentless Native Printing, no DLL found."});
    ASSERT_EQ(r.documents.size(), 1u);
    EXPECT_TRUE(r.documents[0].empty());  // not even the marker
    EXPECT_EQ(r.pageCount, 0u);
}

TEST_F(GatewayJob, CancelWhilePausedStopsTheJob) {
    qltools::SpoolJobOptions options;
    options.pages = 3;
    const Bytes spool = qltools::GenerateSpoolJob(options);

    OpenedJob job = SubmitAndOpen(Job(u"GW", u"NT EMF 1.008", spool, u"COPIES=3;"));
    HANDLE handle = job.handle;
    ASSERT_NE(handle, nullptr);

    ASSERT_TRUE(ControlPrintProcessor(handle, JOB_CONTROL_PAUSE));
    auto printing = std::async(std::launch::async,
                               [&] { return PrintDocumentOnPrintProcessor(handle, job.readName.data()); });
    EXPECT_EQ(printing.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout) << "paused";

    ASSERT_TRUE(ControlPrintProcessor(handle, JOB_CONTROL_CANCEL));
    ASSERT_EQ(printing.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "cancel must end the job";
    printing.get();
    EXPECT_EQ(static_cast<PPRINTPROCESSORDATA>(handle)->dwPageCount, 0u);
    EXPECT_TRUE(ClosePrintProcessor(handle));

    // No copy ran past the first read.
    const auto docs = pal::host::PortDocuments();
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_TRUE(docs[0].ended);
    EXPECT_LT(pal::host::PortDocumentBytes(docs[0]).size(), spool.size());
}

TEST(GatewayHelpers, AGNPPrinterAllowedComparesServers) {
    EXPECT_TRUE(AGNPPrinterAllowed(u"\\\\SRV1\\Queue", u"\\\\srv1\\Other"));
    EXPECT_FALSE(AGNPPrinterAllowed(u"\\\\SRV1\\Queue", u"\\\\SRV2\\Other"));
    EXPECT_TRUE(AGNPPrinterAllowed(u"\\\\SRV1\\Queue", u"Local"));
    EXPECT_TRUE(AGNPPrinterAllowed(u"Queue", u"\\\\SRV2\\Other"));
    EXPECT_FALSE(AGNPPrinterAllowed(u"Dir\\Queue", u"\\\\SRV2\\Other"));
    EXPECT_FALSE(AGNPPrinterAllowed(nullptr, u"Local"));
    EXPECT_FALSE(AGNPPrinterAllowed(u"Queue", nullptr));
}
