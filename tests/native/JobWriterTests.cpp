// The job writer: framing, short counts and failed sends, the statistics a
// document reports, and the native branch that writes to the view library's jobs.
#include "WriterTest.h"

#include "host/quilmon/QuilmonRecord.h"
#include "native/JobWriter.h"
#include "native/ViewLibrary.h"
#include "printproc/Util.h"
#include "support/TestMachine.h"
#include "support/ViewLibrary.h"

#include <map>

using namespace writertest;

namespace {

// Framed output: holes become hole blocks, everything else data blocks; a
// record header opens a block its body (WRITE_CONTINUE) extends.
TEST_F(WriterTest, FramingCutsWritesAtTheHoles) {
    struct Step {
        Bytes bytes;
        DWORD mode = WRITE_DATA;
    };
    struct Case {
        const char* name;
        uint64_t startPos;
        std::vector<std::pair<uint64_t, uint32_t>> holes;
        std::vector<Step> writes;
        Bytes expected;
        size_t holesLeft;
    };
    const Bytes a = Pattern(10, 0), b = Pattern(10, 10), c = Pattern(10, 20);
    const Bytes header = {0x51, 0, 0, 0, 100, 0, 0, 0}, body = Pattern(100, 7);
    const Case cases[] = {
        {"no holes: one data block", 0, {}, {{a}}, Concat({DataHeader(10), a}), 0},
        {"hole inside one write", 0, {{4, 3}}, {{a}},
         Concat({DataHeader(4), Slice(a, 0, 4), HoleHeader(3), DataHeader(3), Slice(a, 7, 3)}), 0},
        {"hole spanning three writes", 0, {{4, 20}}, {{a}, {b}, {c}},
         Concat({DataHeader(4), Slice(a, 0, 4), HoleHeader(20), DataHeader(6), Slice(c, 4, 6)}), 0},
        // A hole at the current position, one right after it, one that ends
        // with the write; a hole already passed is dropped unseen.
        {"holes at the start, back to back and at the end", 100, {{50, 10}, {100, 2}, {102, 3}, {110, 5}},
         {{Pattern(15), WRITE_DATA_HEADER}},
         Concat({HoleHeader(2), HoleHeader(3), DataHeader(5), Slice(Pattern(15), 5, 5), HoleHeader(5)}), 0},
        {"record header and body are one block", 0, {{2, 40}}, {{header, WRITE_RECORD_HEADER}, {body, WRITE_CONTINUE}},
         Concat({DataHeader(108), header, body}), 1},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        pal::host::ResetSpooler();
        Holes().Clear();
        ASSERT_NE(Start(), 0u);
        Data()->fFraming = TRUE;
        Data()->qwOutputPos = k.startPos;
        for (const auto& [at, length] : k.holes) Holes().Add(at, length);
        uint64_t written = 0;
        for (const Step& w : k.writes) {
            EXPECT_TRUE(Write(w.bytes, w.mode));
            written += w.bytes.size();
        }
        EXPECT_EQ(Data()->qwOutputPos, k.startPos + written);
        EXPECT_EQ(Holes().Count(), k.holesLeft);
        MyEndDocPrinter(Data(), FALSE);
        EXPECT_EQ(DocumentBytes(), k.expected);
    }

    // A cut record header fails without aborting; an empty write is fine.
    pal::host::ResetSpooler();
    ASSERT_NE(Start(), 0u);
    Data()->fFraming = TRUE;
    Bytes cut = {1, 0, 0, 0, 9};
    EXPECT_FALSE(Write(cut, WRITE_RECORD_HEADER));
    EXPECT_FALSE(Data()->fJobAborted);
    EXPECT_TRUE(WriteJobOutput(Data(), cut.data(), 0, WRITE_DATA));
    EXPECT_EQ(Data()->qwOutputPos, 0u);
    MyEndDocPrinter(Data(), FALSE);
    EXPECT_TRUE(DocumentBytes().empty());

    // Framing off: every mode passes its bytes unchanged, holes untouched.
    pal::host::ResetSpooler();
    ASSERT_NE(Start(), 0u);
    Data()->fFraming = FALSE;
    Holes().Clear();
    Holes().Add(1, 9);
    Bytes all;
    for (DWORD mode = 0; mode < 4; ++mode) {
        Bytes in = {static_cast<uint8_t>(mode), 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x42};
        EXPECT_TRUE(Write(in, mode));
        all.insert(all.end(), in.begin(), in.end());
    }
    EXPECT_EQ(Data()->qwOutputPos, 36u);
    MyEndDocPrinter(Data(), FALSE);
    EXPECT_EQ(DocumentBytes(), all);
    EXPECT_EQ(Holes().Count(), 1u);
}

TEST_F(WriterTest, ShortCountsAreRepeatedUntilTakenOrNothingIsTaken) {
    ASSERT_NE(Start(), 0u);
    pal::host::InjectFault({.call = "WritePrinter", .atByte = 1000, .shortCount = true, .once = true});
    Bytes in = Pattern(4096, 5);
    EXPECT_TRUE(Write(in));
    MyEndDocPrinter(Data(), FALSE);
    EXPECT_EQ(Document().writeSizes, (std::vector<uint64_t>{2048, 1048, 2048}));
    EXPECT_EQ(DocumentBytes(), in);

    // Every call takes half: 1024, 512, ... 1, then 0 fails the send.
    pal::host::ResetSpooler();
    ASSERT_NE(Start(), 0u);
    pal::host::InjectFault({.call = "WritePrinter", .shortCount = true});
    EXPECT_FALSE(Write(Pattern(2048)));
    EXPECT_TRUE(Data()->fJobAborted);
    EXPECT_EQ(Document().writeSizes.size(), 12u);
    EXPECT_TRUE(Contains(Lines(), u"WritePrinter took 0 of 1 bytes"));
}

TEST_F(WriterTest, FailedSendRefusesLaterWritesButTheDocumentStillEnds) {
    ASSERT_NE(Start(), 0u);
    pal::host::InjectFault({.call = "WritePrinter", .atByte = 3000});
    Bytes in = Pattern(5000);
    EXPECT_FALSE(Write(in));
    EXPECT_TRUE(Data()->fJobAborted);
    EXPECT_TRUE(Contains(Lines(), u"!(fRtn == 0)"));

    EXPECT_FALSE(Write(Pattern(10)));
    EXPECT_TRUE(Contains(Lines(), u"!(lpData->fJobAborted != 0)"));
    EXPECT_EQ(Document().writeSizes.size(), 2u);  // nothing more was tried

    pal::host::ClearFaults();
    MyEndDocPrinter(Data(), FALSE);
    auto doc = Document();
    EXPECT_TRUE(doc.ended);
    EXPECT_EQ(doc.writeSizes.back(), 904u);  // the staging buffer is still flushed
    EXPECT_EQ(DocumentBytes(), Concat({Slice(in, 0, 3000), Slice(in, 4096, 904)}));

    // A missing job or buffer is refused outright.
    EXPECT_FALSE(WriteJobOutput(nullptr, in.data(), 4, 0));
    EXPECT_TRUE(Contains(Lines(), u"!(lpData == 0)"));
    EXPECT_FALSE(WriteJobOutput(Data(), nullptr, 4, 0));
    EXPECT_TRUE(Contains(Lines(), u"!(lpBuf == 0)"));
}

TEST_F(WriterTest, StartResetsTheDocumentState) {
    Cache().Map()[CBitmapCacheMap::Digest{}] = ImageCacheEntry{3, 77};
    Data()->dwImageCount = 5;
    Data()->qwOutputPos = 99;
    EXPECT_NE(Start(), 0u);
    EXPECT_EQ(Cache().Count(), 0u);
    EXPECT_EQ(Data()->dwImageCount, 0u);
    EXPECT_EQ(Data()->qwOutputPos, 0u);
    EXPECT_TRUE(Contains(Lines(), u"StartDocPrinter is called with Type=RAW, Name=Doc, OutputFile=NULL"));
}

TEST(StatisticsNames, SplitLikeTheServerPrinterPattern) {
    struct Case {
        std::u16string name, server, printer;
    } cases[] = {
        {u"\\\\SRV1\\Queue", u"SRV1", u"Queue"},
        {u"\\\\SRV1\\Queue,XcvPort x", u"SRV1", u"Queue"},
        {u"\\\\SRV1\\a\\b", u"SRV1", u"a\\b"},
        {u"Queue", u"", u""},
        {u"\\\\\\Queue", u"", u""},
        {u"\\\\SRV1", u"", u""},
        {u"\\\\SRV1\\", u"", u""},
        {u"\\\\SRV1\\,x", u"", u""},
        {u"\\\\" + std::u16string(255, u's') + u"\\Q", std::u16string(255, u's'), u"Q"},
        {u"\\\\" + std::u16string(256, u's') + u"\\Q", u"", u""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(pal::host::ToUtf8(c.name));
        WCHAR server[STAT_NAME_CCH] = {u'x'}, printer[STAT_NAME_CCH] = {u'x'};
        BOOL ok = SplitServerPrinterName(c.name.c_str(), server, printer);
        EXPECT_EQ(ok != FALSE, !c.server.empty());
        EXPECT_EQ(std::u16string(server), c.server);
        EXPECT_EQ(std::u16string(printer), c.printer);
    }
}

// A spooler document on \\server\printer reports its logical size to the port monitor.
TEST_F(WriterTest, OnlyFramedSpoolerDocumentsReportTheirLogicalSize) {
    const HMODULE quilmon = LoadLibraryW(QUILMON_DLL);
    ASSERT_NE(quilmon, nullptr) << "build the simulated port monitor (target quilmon)";
    m_printerName = u"\\\\SRV1\\Plain";
    Data()->pPrinterName = m_printerName.data();
    qltest::TakeMonitorCalls();
    ASSERT_NE(Start(), 0u);
    Data()->fFraming = TRUE;
    Holes().Add(10, 30);
    EXPECT_TRUE(Write(Pattern(50)));
    MyEndDocPrinter(Data(), FALSE);
    auto calls = qltest::TakeMonitorCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].dwFunction, static_cast<DWORD>(QUILMON_FN_UPDATE_STATISTICS));
    EXPECT_EQ(std::u16string(calls[0].szArg1), u"Plain");
    EXPECT_EQ(std::u16string(calls[0].szArg2), u"SRV1");
    EXPECT_EQ(calls[0].dwValue, 50u);  // the hole's bytes count, the block headers do not
    EXPECT_EQ(Document().bytes, 8u + 10 + 8 + 8 + 10);

    pal::host::ResetSpooler();
    ASSERT_NE(Start(), 0u);
    Data()->fFraming = FALSE;
    EXPECT_TRUE(Write(Pattern(5)));
    MyEndDocPrinter(Data(), FALSE);
    Data()->hAGNPPrinter = OpenPrinter(u"Other");  // framed, but on the native target
    ASSERT_NE(Start(), 0u);
    Data()->fFraming = TRUE;
    EXPECT_TRUE(Write(Pattern(5)));
    MyEndDocPrinter(Data(), FALSE);
    EXPECT_TRUE(qltest::TakeMonitorCalls().empty());
    auto docs = pal::host::PortDocuments();
    ASSERT_EQ(docs.size(), 2u);
    EXPECT_EQ(docs[1].printer, u"Other");
    EXPECT_TRUE(docs[1].ended);
    FreeLibrary(quilmon);
}

// Native jobs of the simulated view library: the main job on "Plain", virtual
// copies on "Other" (slot 0) and "Plain" (slot 2).
class NativeBranch : public WriterTest {
protected:
    void SetUp() override {
        WriterTest::SetUp();
        qltest::SetViewLibraryAvailable(true);
        ASSERT_TRUE(EnsureViewLibrary());
        pal::host::JobSpec jobSpec;
        jobSpec.printer = u"Plain";
        jobSpec.data = Pattern(16);
        Data()->dwJobId = pal::host::SubmitJob(jobSpec);
        Data()->hViewJob = Open(u"Plain");
        Data()->ahVirtualCopyJobs[0] = Open(u"Other");
        Data()->ahVirtualCopyJobs[2] = Open(u"Plain");
        qltest::TakeMonitorCalls();
    }
    void TearDown() override {
        qltest::SetViewFault(QUILMON_VIEW_FAULT_NONE);
        if (Data()->hViewJob) MyEndDocPrinter(Data(), TRUE);
        WriterTest::TearDown();
    }
    static HANDLE Open(LPCWSTR printer) {
        AGNPOPENJOBPARAMS params = {};
        params.dwVersion = AGNP_OPENJOB_VERSION;
        params.pDestination = printer;
        return GetViewFunctions().pfnOpenJob(nullptr, 0, QLVIEW_OPEN_BASE, &params);
    }
    // Bytes each native job had received when it was closed, by printer.
    static std::multimap<std::u16string, DWORD> Closed() {
        std::multimap<std::u16string, DWORD> closed;
        for (const QuilmonCall& c : qltest::TakeMonitorCalls())
            if (c.dwFunction == QUILMON_FN_VIEW_CLOSE) closed.emplace(c.szArg1, c.dwValue);
        return closed;
    }
};

TEST_F(NativeBranch, WritesGoToTheNativeJobsAndTheEndCancelsTheSpoolerJob) {
    qltest::SetViewFault(QUILMON_VIEW_FAULT_WRITE, u"Other");  // a virtual copy that fails is only logged
    ASSERT_EQ(Start(TRUE), 1u);
    EXPECT_TRUE(Write(Pattern(5000, 2)));
    EXPECT_FALSE(Data()->fJobAborted);
    qltest::ExpectLines(Lines(), {u"MyStartDocPrinter not called: 'Agentless Native Printing' mode", u"(fVirtCopyRtn)"});

    MyEndDocPrinter(Data(), TRUE);
    const std::multimap<std::u16string, DWORD> expected = {{u"Plain", 5000}, {u"Plain", 5000}, {u"Other", 0}};
    EXPECT_EQ(Closed(), expected);
    EXPECT_EQ(Data()->hViewJob, nullptr);
    for (HANDLE h : Data()->ahVirtualCopyJobs) EXPECT_EQ(h, nullptr);
    EXPECT_EQ(pal::host::JobCommands(Data()->dwJobId), (std::vector<DWORD>{JOB_CONTROL_CANCEL}));
    EXPECT_TRUE(pal::host::PortDocuments().empty());
    EXPECT_TRUE(Contains(Lines(), u"MyEndDocPrinter not called: in 'Agentless Native Printing' mode"));
}

TEST_F(NativeBranch, FailedMainWriteAbortsTheJob) {
    qltest::SetViewFault(QUILMON_VIEW_FAULT_WRITE, u"Plain");
    ASSERT_EQ(Start(TRUE), 1u);
    EXPECT_FALSE(Write(Pattern(10)));
    EXPECT_TRUE(Data()->fJobAborted);
    EXPECT_TRUE(Contains(Lines(), u"(fRtn)"));
    EXPECT_FALSE(Write(Pattern(10)));  // refused without reaching the view library
    MyEndDocPrinter(Data(), TRUE);
    const std::multimap<std::u16string, DWORD> expected = {{u"Plain", 0}, {u"Plain", 0}, {u"Other", 10}};
    EXPECT_EQ(Closed(), expected);
}

} // namespace
