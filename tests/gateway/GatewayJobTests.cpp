// The gateway job driver end to end: what reaches the port, byte for byte,
// and what the port monitor is told, for toolkit-made spool jobs.
#include "GatewayTest.h"

#include "gateway/QLEMFJob.h"
#include "native/JobWriter.h"
#include "native/ViewLibrary.h"
#include "printproc/FontList.h"
#include "printproc/Util.h"
#include "tools/lib/SpoolWriter.h"
#include "tools/lib/StreamReader.h"

#include <cstring>

using namespace gwtest;
using namespace qltools;

namespace {

Bytes Page(uint32_t n) {
    SpoolJobOptions options;
    return GenerateEmfPage(options, n);
}

// The stream one copy produces when nothing is transformed.
Bytes Unframed(const Bytes& spool) {
    return Concat({Text("%%EMF"), spool});
}

// The same with the bitmap cache on: each record in a data block of its own.
// The file header record's size counts its header, every other one's not.
Bytes Framed(const Bytes& spool) {
    Bytes out = Text("%%EMF");
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

std::vector<QuilmonCall> CallsOf(const std::vector<QuilmonCall>& calls, DWORD fn) {
    std::vector<QuilmonCall> out;
    for (const auto& c : calls) {
        if (c.dwFunction == fn) out.push_back(c);
    }
    return out;
}

Bytes DevmodeWith(uint32_t fields, int16_t copies) {
    DevmodeOptions options;
    options.fields = fields;
    options.copies = copies;
    return BuildDevmode(options);
}

class GatewayJob : public GatewayTest {};

} // namespace

TEST_F(GatewayJob, TwoPagesTwoCopiesCountFourPages) {
    SpoolJobOptions options;
    options.pages = 2;
    const Bytes spool = GenerateSpoolJob(options);  // each page: data record 12 and extension 13

    PrintOptions print;
    print.parameters = u"COPIES=2;";
    const PrintResult r = PrintSpool(spool, print);
    EXPECT_TRUE(r.printed) << Joined(r.lines);
    EXPECT_EQ(r.pageCount, 4u);
    const auto pages = CallsOf(r.calls, QUILMON_FN_INCREMENT_PAGE_COUNT);
    EXPECT_EQ(pages.size(), 4u);
    for (const auto& c : pages) {
        EXPECT_EQ(std::u16string(c.szArg1), u"");  // "GW" is no \\server\port name
        EXPECT_EQ(std::u16string(c.szArg2), u"");
    }
    EXPECT_TRUE(HasLine(r.lines, u"Adopt compression settings"));
    EXPECT_TRUE(HasLine(r.lines, u"Spooling to ComputerName=, PortName="));
    EXPECT_TRUE(HasLine(r.lines, u"Increment Page Count: , "));

    ASSERT_EQ(r.documents.size(), 1u);
    EXPECT_EQ(r.documents[0], Concat({Unframed(spool), Unframed(spool)}));
}

TEST_F(GatewayJob, FramedAndUnframedOutputByteForByte) {
    SpoolJobOptions options;
    options.pages = 3;
    options.images = {ImageKind::Noise};  // a new bitmap on every page: nothing for the cache
    options.extraRecords.push_back({SPL_PRESTARTPAGE, Bytes{1, 2, 3, 4}});
    const Bytes spool = GenerateSpoolJob(options);

    const PrintResult plain = PrintSpool(spool);
    ASSERT_EQ(plain.documents.size(), 1u);
    EXPECT_EQ(plain.documents[0], Unframed(spool));

    pal::host::ResetSpooler();
    PrintOptions framedPrint;
    framedPrint.printer = u"GWFramed";
    const PrintResult framed = PrintSpool(spool, framedPrint);
    ASSERT_EQ(framed.documents.size(), 1u);
    EXPECT_EQ(framed.documents[0], Framed(spool));

    const InspectReport report = InspectStream(framed.documents[0]);
    EXPECT_TRUE(report.ok) << report.error;
    EXPECT_TRUE(report.framed);
    EXPECT_EQ(report.pages, 3u);
}

TEST_F(GatewayJob, PortMonitorNamesComeFromAServerPrinterName) {
    SpoolWriter w;
    w.Page(Page(1), SPL_METAFILE);
    w.Devmode(DevmodeWith(0x100, 2));

    PrintOptions print;
    print.printerArg = u"\\\\SRV1\\GW";
    const PrintResult r = PrintSpool(w.Bytes(), print);
    EXPECT_TRUE(HasLine(r.lines, u"Spooling to ComputerName=SRV1, PortName=GW")) << Joined(r.lines);
    ASSERT_EQ(r.calls.size(), 2u);
    EXPECT_EQ(r.calls[0].dwFunction, static_cast<DWORD>(QUILMON_FN_INCREMENT_PAGE_COUNT));
    EXPECT_EQ(std::u16string(r.calls[0].szArg1), u"GW");  // port name first
    EXPECT_EQ(std::u16string(r.calls[0].szArg2), u"SRV1");
    EXPECT_EQ(r.calls[1].dwFunction, static_cast<DWORD>(QUILMON_FN_SET_PRINT_COPY_COUNT));
    EXPECT_EQ(std::u16string(r.calls[1].szArg1), u"GW");
    EXPECT_EQ(std::u16string(r.calls[1].szArg2), u"SRV1");
    EXPECT_EQ(r.calls[1].dwValue, 2u);
    EXPECT_TRUE(HasLine(r.lines, u"Copy Count sent: SRV1, GW 2"));
    EXPECT_TRUE(HasLine(r.lines, u"Increment Page Count: SRV1, GW"));
}

TEST_F(GatewayJob, ShortDevmodeRecordIsCopiedWithoutCopyCount) {
    Bytes shortDevmode = DevmodeWith(0x100, 5);
    shortDevmode.resize(100);
    SpoolWriter w;
    w.Devmode(shortDevmode);
    w.Page(Page(1), SPL_METAFILE);

    const PrintResult r = PrintSpool(w.Bytes());
    EXPECT_TRUE(CallsOf(r.calls, QUILMON_FN_SET_PRINT_COPY_COUNT).empty());
    EXPECT_FALSE(HasLine(r.lines, u"Copy Count found"));
    ASSERT_EQ(r.documents.size(), 1u);
    EXPECT_EQ(r.documents[0], Unframed(w.Bytes()));
}

TEST_F(GatewayJob, CopyCountGoesOutOncePerCopyForTheFirstDevmodeRecord) {
    {
        SpoolWriter w;
        w.Devmode(DevmodeWith(0x1 | 0x2 | 0x100, 3));
        w.Page(Page(1), SPL_METAFILE);
        w.Devmode(DevmodeWith(0x100, 7));  // a later record of the same copy is not sent
        w.Page(Page(2), SPL_METAFILE);
        PrintOptions print;
        print.parameters = u"COPIES=2;";
        const PrintResult r = PrintSpool(w.Bytes(), print);
        const auto sent = CallsOf(r.calls, QUILMON_FN_SET_PRINT_COPY_COUNT);
        ASSERT_EQ(sent.size(), 2u) << Joined(r.lines);
        EXPECT_EQ(sent[0].dwValue, 3u);
        EXPECT_EQ(sent[1].dwValue, 3u);
        EXPECT_TRUE(HasLine(r.lines, u"Copy Count found: 7"));
        EXPECT_EQ(r.pageCount, 4u);
        // Both copies are the same stream, each one a whole transport stream.
        const Bytes& doc = r.documents.at(0);
        ASSERT_EQ(doc.size() % 2, 0u);
        const Bytes copy(doc.begin(), doc.begin() + static_cast<ptrdiff_t>(doc.size() / 2));
        EXPECT_EQ(Concat({copy, copy}), doc);
        const InspectReport report = InspectStream(copy);
        EXPECT_TRUE(report.ok) << report.error;
        EXPECT_EQ(report.records.size(), 5u);
    }
    {
        // Without DM_COPIES in dmFields the count is only logged.
        pal::host::ResetSpooler();
        SpoolWriter w;
        w.Devmode(DevmodeWith(0x1 | 0x2, 4));
        w.Page(Page(1), SPL_METAFILE);
        const PrintResult r = PrintSpool(w.Bytes());
        EXPECT_TRUE(CallsOf(r.calls, QUILMON_FN_SET_PRINT_COPY_COUNT).empty());
        EXPECT_TRUE(HasLine(r.lines, u"Copy Count found: 4"));
    }
}

TEST_F(GatewayJob, ZeroSizeRecordEndsTheRecordLoop) {
    SpoolWriter w;
    const size_t first = w.Page(Page(1), SPL_METAFILE);
    const size_t stop = w.RecordWithSize(SPL_SUBSET_FONT, 0, {});
    w.Page(Page(2), SPL_METAFILE);
    (void)first;

    const PrintResult r = PrintSpool(w.Bytes());
    EXPECT_TRUE(r.printed);
    EXPECT_EQ(r.pageCount, 1u);
    ASSERT_EQ(r.documents.size(), 1u);
    const Bytes& spool = w.Bytes();
    EXPECT_EQ(r.documents[0], Unframed(Bytes(spool.begin(), spool.begin() + static_cast<ptrdiff_t>(stop))));
}

TEST_F(GatewayJob, ExtensionRecordsCountFontsInsertedAfterTheirTarget) {
    SpoolWriter w;
    const size_t pageA = w.Page(Page(1));
    const size_t pageB = w.Page(Page(2));
    const size_t extA = w.Extension(SPL_METAFILE_EXT, pageA);
    const size_t extB = w.Extension(SPL_BW_METAFILE_EXT, pageB);
    const Bytes spool = w.Bytes();

    OpenedJob job = OpenJob(spool, u"GW");
    ASSERT_NE(job.handle, nullptr);
    PPRINTPROCESSORDATA pData = job.Data();

    // Fonts handled with page A (at its position: in front of it, not counted
    // for A) and with page B (after A's position: counted for A, not for B).
    auto addFont = [pData](DWORD dwPos, DWORD dwLen) {
        auto* pNode = static_cast<FONTENTRY*>(MemAlloc(sizeof(FONTENTRY)));
        ASSERT_NE(pNode, nullptr);
        pNode->dwPos = dwPos;
        pNode->dwLen = dwLen;
        FONTENTRY** ppTail = &pData->pFontList;
        while (*ppTail) ppTail = &(*ppTail)->pNext;
        *ppTail = pNode;
    };
    addFont(static_cast<DWORD>(pageA), 1000);
    addFont(static_cast<DWORD>(pageB), 2000);

    DOC_INFO_1W docInfo = {pData->pDocumentName, nullptr, const_cast<LPWSTR>(u"RAW")};
    ASSERT_NE(MyStartDocPrinter(pData, 1, &docInfo, FALSE), 0u);
    HANDLE hJob = nullptr;
    ASSERT_TRUE(OpenPrinterW(job.readName.data(), &hJob, nullptr));
    ComprCnf cnf = {};
    cnf.dwCompressionEMFInMem = DEFAULT_COMPRESSION_EMF_IN_MEM;
    cnf.adwCompressionRule[0] = COMPRESSION_RULE_OFF;
    PRINTABLEAREACACHE cache = {};
    const GATEWAYPORTNAMES names = {u"", u""};
    TakeMonitorCalls();
    EXPECT_TRUE(PrintSpoolRecords(pData, hJob, &cnf, &cache, names));
    ClosePrinter(hJob);
    MyEndDocPrinter(pData, FALSE);
    EXPECT_EQ(pData->dwPageCount, 2u);  // the two extension records
    EXPECT_EQ(CallsOf(TakeMonitorCalls(), QUILMON_FN_INCREMENT_PAGE_COUNT).size(), 2u);
    EXPECT_TRUE(ClosePrintProcessor(job.handle));

    Bytes expected = spool;
    for (auto [ext, value] : {std::pair{extA, static_cast<uint32_t>(extA - pageA + 2000)},
                              std::pair{extB, static_cast<uint32_t>(extB - pageB)}}) {
        for (int i = 0; i < 4; ++i) expected[ext + 8 + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    const auto docs = pal::host::PortDocuments();
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_EQ(pal::host::PortDocumentBytes(docs[0]), expected);
}

TEST_F(GatewayJob, FailuresEndTheDocument) {
    SpoolWriter w;
    const size_t pageAt = w.Page(Page(1), SPL_METAFILE);

    // The copy cannot open the job's data: the document still ends.
    PrintOptions print;
    print.parameters = u"COPIES=2;";
    print.faultsAfterOpen.push_back({.call = "OpenPrinterW", .afterCalls = 1, .error = ERROR_ACCESS_DENIED});
    PrintResult r = PrintSpool(w.Bytes(), print);
    EXPECT_FALSE(r.printed);
    EXPECT_TRUE(HasLine(r.lines, u"OpenPrinter: 5")) << Joined(r.lines);
    ASSERT_EQ(r.documents.size(), 1u);
    EXPECT_TRUE(r.documents[0].empty());

    // A page whose data ends early fails the job: the page is not sent, the
    // document with what came before it is.
    pal::host::ResetSpooler();
    Bytes cut = w.Bytes();
    cut.resize(cut.size() - 10);
    r = PrintSpool(cut);
    EXPECT_FALSE(r.printed);
    EXPECT_EQ(r.pageCount, 1u);
    ASSERT_EQ(r.documents.size(), 1u);
    EXPECT_EQ(r.documents[0], Unframed(Bytes(cut.begin(), cut.begin() + static_cast<std::ptrdiff_t>(pageAt))));
}

TEST_F(GatewayJob, NativePrintingWithoutTheViewLibraryFailsTheJob) {
    std::string error;
    ASSERT_TRUE(pal::host::LoadRegistryText(R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\GWNative]
"Printer Driver"="QL Spool Bridge"
"Port"="QLGW1:"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\GWNative\PrinterDriverData]
"AGNP"="GW"
)", "agnp.reg", &error)) << error;
    SetViewFunctionsForTest(nullptr);

    SpoolWriter w;
    w.Page(Page(1), SPL_METAFILE);
    PrintOptions print;
    print.printer = u"GWNative";
    const PrintResult r = PrintSpool(w.Bytes(), print);
    EXPECT_FALSE(r.printed);
    EXPECT_TRUE(HasLine(r.lines, u"QLWinPrn: Agentless Native Printing, no DLL found.")) << Joined(r.lines);
    ASSERT_EQ(r.documents.size(), 1u);
    EXPECT_TRUE(r.documents[0].empty());  // not even the marker
    EXPECT_EQ(r.pageCount, 0u);
}

TEST(GatewayHelpers, AdjustSpoolOffsetCountsFontsBehindTheTarget) {
    FONTENTRY second = {};
    second.dwPos = 500;
    second.dwLen = 2000;
    FONTENTRY first = {};
    first.dwPos = 100;
    first.dwLen = 1000;
    first.pNext = &second;
    EXPECT_EQ(AdjustSpoolOffset(&first, 600, 550), 3550u);
    EXPECT_EQ(AdjustSpoolOffset(&first, 600, 100), 100u);  // font at the target itself
    EXPECT_EQ(AdjustSpoolOffset(nullptr, 600, 550), 550u);
    // Unsigned arithmetic: a distance reaching before the file start wraps
    // to a target beyond every font.
    EXPECT_EQ(AdjustSpoolOffset(&first, 600, 700), 700u);
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
