// Raw jobs end to end: the spooler queues the job, the print processor prints
// it, and the bytes the port received are compared byte for byte.
#include "RawTest.h"

#include "native/ViewLibrary.h"
#include "printproc/raw.h"
#include "tools/lib/EmzPack.h"

#include <atomic>
#include <chrono>
#include <thread>

using namespace rawtest;

namespace {

const Bytes kHello = ToBytes("Hello printer, abc");

} // namespace

class PrintRaw : public RawTest {};

TEST_F(PrintRaw, RawCopiesTheDataUnchanged) {
    Bytes data = Text(1000);
    data[10] = 0x00;
    data[20] = 0x0C;
    data[30] = 0x1B;
    auto printed = Print(Job(u"Plain", u"RAW", data));
    EXPECT_TRUE(printed.result) << Dump(printed.lines);
    EXPECT_EQ(OnlyDocumentBytes(printed), data);
    ASSERT_EQ(printed.docs.size(), 1u);
    EXPECT_EQ(printed.docs[0].printer, u"Plain");
    EXPECT_EQ(printed.docs[0].document, u"Doc on Plain");
    EXPECT_EQ(printed.docs[0].datatype, u"RAW");
    EXPECT_TRUE(Contains(printed.lines, u"PrintRawJob <")) << Dump(printed.lines);
}

TEST_F(PrintRaw, FormFeedDatatypes) {
    struct Case {
        const char16_t* datatype;
        std::string data;
        bool formFeed;
    } cases[] = {
        {u"RAW [FF appended]", "Hello printer, abc", true},
        {u"RAW [FF appended]", "Hello printer\x0c", true},
        {u"RAW [FF appended]", "Hello printer\x1b" "E", false},
        {u"RAW [FF auto]", "Hello printer, abc", true},
        {u"RAW [FF auto]", "Hello printer\x0c", false},
        {u"RAW [FF auto]", "Hello printer\x0c\r\n", false},
        {u"RAW [FF auto]", "Hello\x0c\x1bK\x03\x00xyz", false},
        {u"RAW", "Hello printer, abc", false},
    };
    for (const auto& c : cases) {
        pal::host::ResetSpooler();
        Bytes data = ToBytes(c.data);
        auto printed = Print(Job(u"Plain", c.datatype, data));
        EXPECT_TRUE(printed.result);
        Bytes expected = data;
        if (c.formFeed) expected.push_back(0x0C);
        EXPECT_EQ(OnlyDocumentBytes(printed), expected) << pal::host::ToUtf8(c.datatype) << " " << c.data;
        ASSERT_EQ(printed.docs.size(), 1u);
        EXPECT_EQ(printed.docs[0].datatype, c.datatype);
    }
}

TEST_F(PrintRaw, BlockBoundaries) {
    // Exactly one block: the second read finds nothing and the job ends.
    for (size_t size : {size_t{4096}, size_t{8192}, size_t{8193}, size_t{4095}}) {
        pal::host::ResetSpooler();
        Bytes data = Text(size);
        auto printed = Print(Job(u"Plain", u"RAW [FF appended]", data));
        Bytes expected = data;
        expected.push_back(0x0C);
        EXPECT_EQ(OnlyDocumentBytes(printed), expected) << size;
    }

    // An escape sequence split across two blocks still hides its bytes.
    Bytes data = Text(4094);
    data.push_back(0x0C);
    data.push_back(0x1B);
    for (char c : std::string("K\x03\x00xyz", 6)) data.push_back(static_cast<uint8_t>(c));
    pal::host::ResetSpooler();
    auto printed = Print(Job(u"Plain", u"RAW [FF auto]", data));
    EXPECT_EQ(OnlyDocumentBytes(printed), data);
}

TEST_F(PrintRaw, CopiesMakeOneDocument) {
    auto printed = Print(Job(u"Plain", u"RAW", kHello, u"COPIES=3;"));
    EXPECT_TRUE(printed.result);
    EXPECT_EQ(OnlyDocumentBytes(printed), Repeat(kHello, 3));

    pal::host::ResetSpooler();
    Bytes withFF = kHello;
    withFF.push_back(0x0C);
    printed = Print(Job(u"Plain", u"RAW [FF appended]", kHello, u"COPIES=2;"));
    EXPECT_EQ(OnlyDocumentBytes(printed), Repeat(withFF, 2));

    // Larger than a block, so every copy reads several blocks from the start.
    pal::host::ResetSpooler();
    Bytes big = Text(10000);
    printed = Print(Job(u"Plain", u"RAW", big, u"COPIES=2;"));
    EXPECT_EQ(OnlyDocumentBytes(printed), Repeat(big, 2));
}

TEST_F(PrintRaw, ReadyMadeStreamOfAnEmfJobPrintsAsRaw) {
    Bytes data = ToBytes("%%EMF ready-made transport stream");
    auto printed = Print(Job(u"Bridge", u"NT EMF 1.008", data));
    EXPECT_TRUE(printed.result) << Dump(printed.lines);
    EXPECT_EQ(OnlyDocumentBytes(printed), data);
    ASSERT_EQ(printed.docs.size(), 1u);
    EXPECT_EQ(printed.docs[0].datatype, u"RAW");
}

TEST_F(PrintRaw, PausedJobWaitsAndCancelStopsEveryCopy) {
    auto job = SubmitAndOpen(Job(u"Plain", u"RAW", Text(10000), u"COPIES=3;"));
    ASSERT_NE(job.handle, nullptr);
    ASSERT_TRUE(ControlPrintProcessor(job.handle, JOB_CONTROL_PAUSE));

    std::atomic<bool> done{false};
    BOOL result = FALSE;
    std::thread printer([&] {
        result = PrintDocumentOnPrintProcessor(job.handle, const_cast<LPWSTR>(job.readName.c_str()));
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(done) << "a paused job waits";
    ASSERT_TRUE(ControlPrintProcessor(job.handle, JOB_CONTROL_CANCEL));
    printer.join();

    EXPECT_TRUE(result);
    auto docs = pal::host::PortDocuments();
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_TRUE(docs[0].ended) << "the document is still ended";
    EXPECT_EQ(docs[0].bytes, 0u) << "nothing after the cancel";
    EXPECT_EQ(job.Data()->pDecompressor, nullptr);
    EXPECT_TRUE(ClosePrintProcessor(job.handle));
}

TEST_F(PrintRaw, ResumeLetsThePausedJobFinish) {
    Bytes data = Text(9000);
    auto job = SubmitAndOpen(Job(u"Plain", u"RAW", data));
    ASSERT_NE(job.handle, nullptr);
    ASSERT_TRUE(ControlPrintProcessor(job.handle, JOB_CONTROL_PAUSE));

    std::atomic<bool> done{false};
    std::thread printer([&] {
        PrintDocumentOnPrintProcessor(job.handle, const_cast<LPWSTR>(job.readName.c_str()));
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(done);
    ASSERT_TRUE(ControlPrintProcessor(job.handle, JOB_CONTROL_RESUME));
    printer.join();

    auto docs = pal::host::PortDocuments();
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_EQ(pal::host::PortDocumentBytes(docs[0]), data);
    EXPECT_TRUE(ClosePrintProcessor(job.handle));
}

TEST_F(PrintRaw, JobThatCannotBeOpenedForACopyEndsTheDocument) {
    auto job = SubmitAndOpen(Job(u"Plain", u"RAW", kHello, u"COPIES=3;"));
    ASSERT_NE(job.handle, nullptr);
    // OpenPrinterW calls from here: the read-ahead, copy 1, copy 2 (fails).
    pal::host::InjectFault({.call = "OpenPrinterW", .afterCalls = 2, .error = ERROR_ACCESS_DENIED, .once = true});
    auto printed = PrintOpened(job);
    EXPECT_FALSE(printed.result);
    EXPECT_EQ(printed.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(OnlyDocumentBytes(printed), kHello) << "one copy, then the document is ended";
    EXPECT_TRUE(ClosePrintProcessor(job.handle));
}

TEST_F(PrintRaw, FailedWriteStopsTheCopyAndTheRestIsRefused) {
    Bytes data = Text(10000);
    auto job = SubmitAndOpen(Job(u"Plain", u"RAW [FF appended]", data, u"COPIES=2;"));
    ASSERT_NE(job.handle, nullptr);
    pal::host::InjectFault({.call = "WritePrinter", .atByte = 5000});
    auto printed = PrintOpened(job);
    EXPECT_TRUE(printed.result) << "a failed write does not fail the job";
    EXPECT_EQ(OnlyDocumentBytes(printed), Bytes(data.begin(), data.begin() + 5000));
    EXPECT_EQ(job.Data()->fJobAborted, 1u);
    EXPECT_TRUE(ClosePrintProcessor(job.handle));
}

TEST_F(PrintRaw, AgnpTargetNeedsTheViewLibrary) {
    // View library unavailable: the job prints on its own printer.
    auto printed = Print(Job(u"Agnp", u"RAW", kHello));
    EXPECT_TRUE(printed.result);
    EXPECT_EQ(OnlyDocumentBytes(printed), kHello);
    ASSERT_EQ(printed.docs.size(), 1u);
    EXPECT_EQ(printed.docs[0].printer, u"Agnp");
    EXPECT_TRUE(Contains(printed.lines, u"szAgentlessNativePrinting is set to <Target>")) << Dump(printed.lines);
    EXPECT_FALSE(Contains(printed.lines, u"Raw jab detected for AGNP"));

    // Available: the document is started and written on the AGNP printer.
    ViewFunctions view;
    SetViewFunctionsForTest(&view);
    pal::host::ResetSpooler();
    auto job = SubmitAndOpen(Job(u"Agnp", u"RAW", kHello, u"COPIES=2;"));
    ASSERT_NE(job.handle, nullptr);
    printed = PrintOpened(job);
    EXPECT_TRUE(printed.result);
    EXPECT_TRUE(Contains(printed.lines, u"Raw jab detected for AGNP, printer=<Target>")) << Dump(printed.lines);
    EXPECT_EQ(OnlyDocumentBytes(printed), Repeat(kHello, 2));
    ASSERT_EQ(printed.docs.size(), 1u);
    EXPECT_EQ(printed.docs[0].printer, u"Target");
    EXPECT_NE(job.Data()->hAGNPPrinter, nullptr);
    EXPECT_TRUE(ClosePrintProcessor(job.handle));
}

TEST_F(PrintRaw, AgnpTargetThatCannotBeOpenedFailsWithoutADocument) {
    ViewFunctions view;
    SetViewFunctionsForTest(&view);
    auto printed = Print(Job(u"AgnpMissing", u"RAW", kHello));
    EXPECT_FALSE(printed.result);
    EXPECT_TRUE(printed.docs.empty());
    EXPECT_TRUE(Contains(printed.lines, u"cannot open AGNP printer: <Nowhere>, ")) << Dump(printed.lines);
}

TEST_F(PrintRaw, ClientSideRenderedJobIgnoresAgnp) {
    ViewFunctions view;
    SetViewFunctionsForTest(&view);
    auto job = SubmitAndOpen(Job(u"Agnp", u"RAW", kHello));
    ASSERT_NE(job.handle, nullptr);
    job.Data()->fClientSideRendering = 1;
    EXPECT_TRUE(PrintRawJob(job.Data(), const_cast<LPWSTR>(job.readName.c_str()), JOBTYPE_RAW));
    auto docs = pal::host::PortDocuments();
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_EQ(docs[0].printer, u"Agnp");
    EXPECT_EQ(job.Data()->hAGNPPrinter, nullptr);
    EXPECT_TRUE(ClosePrintProcessor(job.handle));
}

TEST_F(PrintRaw, PackedJobIsDecodedForEveryCopy) {
    Bytes data = Text(20000);
    data[100] = 0x0C;
    qltools::EmzPackOptions options;
    options.blockSize = 1000;
    options.streamInputSize = 7000;
    Bytes packed = qltools::EmzPack(data, options);
    ASSERT_EQ(std::string(packed.begin(), packed.begin() + 5), "%%EMZ");

    auto printed = Print(Job(u"Plain", u"RAW [FF auto]", packed, u"COPIES=2;"));
    EXPECT_TRUE(printed.result) << Dump(printed.lines);
    Bytes withFF = data;
    withFF.push_back(0x0C);
    EXPECT_EQ(OnlyDocumentBytes(printed), Repeat(withFF, 2));
    EXPECT_TRUE(Contains(printed.lines, u"pNPDecompress allocated, compressed Printjob found")) << Dump(printed.lines);
}
