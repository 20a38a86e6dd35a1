// Raw jobs through the print processor where the host suite's end-to-end runs
// do not reach: escapes split across read blocks, a copy that cannot be
// opened, the AGNP target and client-side rendering.
#include "support/JobMachine.h"
#include "support/ViewLibrary.h"
#include "printproc/raw.h"

using namespace qltest;

namespace {

const Bytes kHello = ToBytes("Hello printer, abc");

} // namespace

class PrintRaw : public JobTest {};

TEST_F(PrintRaw, EscapeSplitAcrossBlocksStillHidesItsBytes) {
    // Block sizes around one read block, then an escape whose count and
    // hidden bytes arrive with the second block.
    for (size_t size : {size_t{4095}, size_t{4096}, size_t{8193}}) {
        pal::host::ResetSpooler();
        Bytes data = Text(size);
        auto printed = Print(Job(u"Plain", u"RAW [FF appended]", data));
        data.push_back(0x0C);
        EXPECT_EQ(OnlyDocument(printed), data) << size;
    }
    Bytes data = Text(4094);
    data.push_back(0x0C);
    data.push_back(0x1B);
    for (char c : std::string("K\x03\x00xyz", 6)) data.push_back(static_cast<uint8_t>(c));
    pal::host::ResetSpooler();
    EXPECT_EQ(OnlyDocument(Print(Job(u"Plain", u"RAW [FF auto]", data))), data);
}

TEST_F(PrintRaw, JobThatCannotBeOpenedForACopyEndsTheDocument) {
    auto job = SubmitAndOpen(Job(u"Plain", u"RAW", kHello, u"COPIES=3;"));
    ASSERT_NE(job.handle, nullptr);
    // OpenPrinterW calls from here: the read-ahead, copy 1, copy 2 (fails).
    pal::host::InjectFault({.call = "OpenPrinterW", .afterCalls = 2, .error = ERROR_ACCESS_DENIED, .once = true});
    auto printed = PrintOpened(job);
    EXPECT_FALSE(printed.result);
    EXPECT_EQ(printed.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(OnlyDocument(printed), kHello) << "one copy, then the document is ended";
    EXPECT_TRUE(ClosePrintProcessor(job.handle));
}

TEST_F(PrintRaw, AgnpTargetNeedsTheViewLibrary) {
    // View library unavailable: the job prints on its own printer.
    auto printed = Print(Job(u"Agnp", u"RAW", kHello));
    EXPECT_TRUE(printed.result);
    EXPECT_EQ(OnlyDocument(printed), kHello);
    ASSERT_EQ(printed.docs.size(), 1u);
    EXPECT_EQ(printed.docs[0].printer, u"Agnp");
    ExpectLines(printed.lines, {u"szAgentlessNativePrinting is set to <Target>"}, {u"Raw jab detected for AGNP"});

    // Available: the document is started and written on the AGNP printer.
    qltest::SetViewLibraryAvailable(true);
    pal::host::ResetSpooler();
    auto job = SubmitAndOpen(Job(u"Agnp", u"RAW", kHello, u"COPIES=2;"));
    ASSERT_NE(job.handle, nullptr);
    printed = PrintOpened(job);
    EXPECT_TRUE(printed.result);
    EXPECT_TRUE(Contains(printed.lines, u"Raw jab detected for AGNP, printer=<Target>")) << Dump(printed.lines);
    EXPECT_EQ(OnlyDocument(printed), Concat({kHello, kHello}));
    ASSERT_EQ(printed.docs.size(), 1u);
    EXPECT_EQ(printed.docs[0].printer, u"Target");
    EXPECT_NE(job.Data()->hAGNPPrinter, nullptr);
    EXPECT_TRUE(ClosePrintProcessor(job.handle));

    // A target that cannot be opened fails the job without a document.
    pal::host::ResetSpooler();
    printed = Print(Job(u"AgnpMissing", u"RAW", kHello));
    EXPECT_FALSE(printed.result);
    EXPECT_TRUE(printed.docs.empty());
    EXPECT_TRUE(Contains(printed.lines, u"cannot open AGNP printer: <Nowhere>, ")) << Dump(printed.lines);
}

TEST_F(PrintRaw, ClientSideRenderedJobIgnoresAgnp) {
    qltest::SetViewLibraryAvailable(true);
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
