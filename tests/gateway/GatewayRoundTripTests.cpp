// Round trips through the gateway: a spool file is printed on "GW" (normal
// output) and "GWFramed" (bitmap cache on, framed output), the port output is
// turned back into a spool file as the receiver does (framing removed, cached
// bitmaps expanded) and compared with what was printed.
//
// What the gateway changes on purpose is not compared byte for byte: the body
// of a device mode record (type 3, patched for the receiver: paper size and
// printable area, private flags, or its private bytes cleared) only keeps its
// size; embedded font records inserted in front of a page are dropped by the
// restore. Everything else (file header, pages, extension records, records of
// other types) must come back unchanged, for the in-memory walker and for the
// temporary-file walker alike.
#include "support/JobMachine.h"

#include "fonts/AddFonts.h"
#include "native/JobWriter.h"
#include "tools/lib/SpoolRestore.h"
#include "tools/lib/SpoolWriter.h"
#include "tools/lib/StreamReader.h"

#include <filesystem>
#include <fstream>

using namespace qltest;
using namespace qltools;

namespace {


// The records of a spool file as the gateway's record loop takes them: it
// stops at a record of size 0 (file header: below 8; device mode records
// excepted) and at one that runs past the end of the data.
struct LoopRecord {
    size_t offset = 0, length = 0;
    uint32_t type = 0;
};
std::vector<LoopRecord> LoopRecords(const Bytes& spool) {
    std::vector<LoopRecord> records;
    for (size_t pos = 0; spool.size() - pos >= 8;) {
        const uint32_t type = GetU32(spool, pos), size = GetU32(spool, pos + 4);
        const bool header = type == SPL_FILE_HEADER;
        if ((header && size < 8) || (!header && type != SPL_DEVMODE && size == 0)) break;
        const uint64_t length = header ? size : 8ull + size;
        if (length > spool.size() - pos) break;
        records.push_back({pos, static_cast<size_t>(length), type});
        pos += static_cast<size_t>(length);
    }
    return records;
}

// `restored` holds the records of `input` in order, byte for byte except the
// bodies of device mode records.
void ExpectSameRecords(const Bytes& input, const Bytes& restored) {
    const auto want = LoopRecords(input), got = LoopRecords(restored);
    ASSERT_EQ(got.size(), want.size());
    size_t total = 0;
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE("record " + std::to_string(i) + " of type " + std::to_string(want[i].type));
        ASSERT_EQ(got[i].type, want[i].type);
        ASSERT_EQ(got[i].length, want[i].length);
        const size_t compared = want[i].type == SPL_DEVMODE ? 8 : want[i].length;
        EXPECT_TRUE(std::equal(input.begin() + static_cast<ptrdiff_t>(want[i].offset),
                               input.begin() + static_cast<ptrdiff_t>(want[i].offset + compared),
                               restored.begin() + static_cast<ptrdiff_t>(got[i].offset)));
        total += got[i].length;
    }
    EXPECT_EQ(total, restored.size()) << "nothing after the last record";
}

struct RoundTrip {
    Printed print;
    Bytes output;
    InspectReport report;
    RestoreResult restored;
};

RoundTrip PrintAndRestore(const Bytes& spool, const std::u16string& printer, bool dropFonts = false, uint32_t copy = 0,
              const std::u16string& parameters = u"") {
    pal::host::ResetSpooler();
    RoundTrip t;
    t.print = PrintSpool(spool, printer, parameters);
    EXPECT_EQ(t.print.documents.size(), 1u);
    if (t.print.documents.empty()) return t;
    t.output = t.print.documents.front();
    InspectOptions all;
    all.allCopies = true;
    all.keepLogical = true;
    t.report = InspectStream(t.output, all);
    RestoreOptions restore;
    restore.copy = copy;
    restore.dropEngineFonts = dropFonts;
    t.restored = RestoreSpool(t.output, restore);
    return t;
}

// The round trip holds: well-formed, every reference resolves, nothing left
// unrestored, the records back as they were.
void ExpectRoundTrip(const Bytes& spool, const RoundTrip& t) {
    EXPECT_TRUE(t.print.result) << Dump(t.print.lines);
    ASSERT_TRUE(t.report.ok) << t.report.error;
    EXPECT_TRUE(t.report.ReferencesResolve()) << FormatReportText(t.report, false);
    ASSERT_TRUE(t.restored.ok) << t.restored.error;
    EXPECT_TRUE(t.restored.Complete());
    ExpectSameRecords(spool, t.restored.spool);
}

// Pages that draw the logo several times, and other images once.
Bytes LogoJob(uint32_t pages, const std::u16string& font = u"") {
    SpoolJobOptions job;
    job.pages = pages;
    job.images = {ImageKind::Logo, ImageKind::Noise, ImageKind::Logo};
    job.bitsPerPixel = {24, 8};
    job.font = font;
    job.devmode = DevmodeOptions{};
    job.devmode->trailerFlags = 0;
    job.devmode->driverExtra = 8;
    return GenerateSpoolJob(job);
}

class GatewayRoundTrip : public JobTest {
protected:
    void TearDown() override {
        SetMachineDword(u"CompressionEMFInMem", std::nullopt);
        SetMachineString(u"TempDir", std::nullopt);
        SetAddFontsHookForTest(nullptr);
        JobTest::TearDown();
    }
    // Pages of `bytes` bytes or more go through the temporary-file walker.
    void FileWalkerFrom(DWORD bytes) {
        const std::filesystem::path dir = std::filesystem::path(qltest::MachineRoot()) / "qltemp";
        std::filesystem::create_directories(dir);
        SetMachineDword(u"CompressionEMFInMem", bytes);
        SetMachineString(u"TempDir", u"C:\\qltemp");
    }
};

constexpr const char16_t* kPrinters[] = {u"GW", u"GWFramed"};

TEST_F(GatewayRoundTrip, ToolkitJobsComeBackUnchanged) {
    std::vector<std::pair<std::string, SpoolJobOptions>> jobs(4);
    jobs[0] = {"every depth, type 1 pages", {.pages = 2, .pageType = SPL_METAFILE}};
    jobs[0].second.images = {ImageKind::Gradient, ImageKind::Flat};
    jobs[0].second.bitsPerPixel = {1, 4, 8, 16, 24, 32};
    jobs[1] = {"device mode with extension, clipped top-down bitmaps", {.pages = 2}};
    jobs[1].second.topDown = jobs[1].second.clipSource = true;
    jobs[1].second.devmode = DevmodeOptions{.extension = true, .trailerFlags = 0};
    jobs[2] = {"engine fonts and black-and-white pages", {.pages = 2}};
    jobs[2].second.engineFontBytes = 100;
    jobs[2].second.blackWhite = true;
    jobs[2].second.font = u"Arial";
    jobs[3].first = "extra records";
    jobs[3].second.extraRecords = {{SPL_PRESTARTPAGE, Bytes{1, 2, 3, 4}}, {99, Bytes(12, 7)}};
    for (const auto& [name, options] : jobs) {
        const Bytes spool = GenerateSpoolJob(options);
        for (const char16_t* printer : kPrinters) {
            SCOPED_TRACE(name + " on " + pal::host::ToUtf8(printer));
            ExpectRoundTrip(spool, PrintAndRestore(spool, printer));
        }
    }
}

// Font data written in the middle of a page, as the font embedding does: an
// engine-font record in front of the page that uses the font.
uint32_t g_fontsWritten = 0;
void InsertFont(const BYTE*, DWORD, PPRINTPROCESSORDATA pData) {
    SpoolWriter w;
    const uint32_t n = g_fontsWritten++;
    const Bytes font(40 + 4 * (n % 3), static_cast<uint8_t>(0xA0 + n));
    w.EngineFont(font);
    const Bytes& bytes = w.Bytes();
    const size_t at = LoopRecords(bytes).back().offset;  // after the file header the writer starts with
    WriteJobOutput(pData, bytes.data() + at, static_cast<DWORD>(bytes.size() - at), WRITE_DATA_HEADER);
}

TEST_F(GatewayRoundTrip, FontsInsertedMidPageAreDroppedAndReferencesStillResolve) {
    const Bytes spool = LogoJob(3, u"Arial");
    SetAddFontsHookForTest(InsertFont);
    for (bool fileWalker : {false, true}) {
        if (fileWalker) FileWalkerFrom(16);
        for (const char16_t* printer : kPrinters) {
            SCOPED_TRACE(pal::host::ToUtf8(printer) + (fileWalker ? " file walker" : " memory walker"));
            g_fontsWritten = 0;
            const RoundTrip t = PrintAndRestore(spool, printer, true, 1, u"COPIES=2;");
            EXPECT_GT(g_fontsWritten, 0u);
            EXPECT_EQ(t.restored.droppedFonts * 2, g_fontsWritten);
            EXPECT_EQ(t.restored.copies, 2u);
            EXPECT_TRUE(Contains(t.print.lines, fileWalker ? u"ParseEMFFile with len" : u"ParseEMFBuffer with len"));
            ExpectRoundTrip(spool, t);
            if (printer == std::u16string(u"GWFramed")) {
                EXPECT_GT(t.restored.expanded, 0u);  // the second copy refers into the first
                EXPECT_GT(t.report.holeBlocks, 0u);
            }
        }
    }
}

// Every EMF of the corpus as a one-page job. The deliberately broken ones
// only have to come back: their outcome is recorded as a test property.
// Both walkers: pages from 3 MiB through the temporary file (the default),
// and every page of 4 KiB or more.
class GatewayCorpusRoundTrip : public GatewayRoundTrip, public ::testing::WithParamInterface<DWORD> {};
INSTANTIATE_TEST_SUITE_P(Walkers, GatewayCorpusRoundTrip, ::testing::Values(0x300000, 4096));

TEST_P(GatewayCorpusRoundTrip, Pages) {
    const std::filesystem::path dir = std::filesystem::path(QL_CORPUS_DIR) / "emf";
    if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "corpus folder missing: " << dir;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.path().extension() == ".emf") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty());
    FileWalkerFrom(GetParam());
    for (const auto& path : files) {
        const std::string name = path.filename().string();
        const Bytes emf = *ReadWholeFile(path.string());
        const bool broken = name.find("bad_corrupted") != std::string::npos;
        SpoolWriter w(u"corpus");
        w.Page(emf, SPL_METAFILE);
        for (const char16_t* printer : kPrinters) {
            SCOPED_TRACE(name + " on " + pal::host::ToUtf8(printer));
            const RoundTrip t = PrintAndRestore(w.Bytes(), printer);
            if (!broken) {
                ExpectRoundTrip(w.Bytes(), t);
                continue;
            }
            ASSERT_GE(t.output.size(), 5u);
            EXPECT_EQ(std::string(t.output.begin(), t.output.begin() + 5), "%%EMF");
            const size_t records = t.restored.ok ? LoopRecords(t.restored.spool).size() : 0;
            RecordProperty(name + (printer == std::u16string(u"GW") ? "" : " framed"),
                           std::string(t.print.result ? "printed" : "failed") + ", " +
                               std::to_string(t.output.size()) + " bytes, " +
                               (t.report.ok ? "well-formed" : "malformed: " + t.report.error) + ", " +
                               std::to_string(records) + " records restored");
            // A page the walker refuses is left out; one it passes comes back.
            if (t.restored.ok && records == 2) ExpectSameRecords(w.Bytes(), t.restored.spool);
        }
    }
}

TEST_F(GatewayRoundTrip, CorpusSpoolFiles) {
    const std::filesystem::path dir = std::filesystem::path(QL_CORPUS_DIR) / "spl";
    if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "corpus folder missing: " << dir;
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const Bytes spool = *ReadWholeFile(entry.path().string());
        if (spool.size() < 8 || GetU32(spool, 0) != SPL_FILE_HEADER) continue;  // not a spool file
        ++files;
        for (const char16_t* printer : kPrinters) {
            SCOPED_TRACE(entry.path().filename().string() + " on " + pal::host::ToUtf8(printer));
            const RoundTrip t = PrintAndRestore(spool, printer);
            ASSERT_TRUE(t.report.ok) << t.report.error;
            EXPECT_TRUE(t.report.ReferencesResolve()) << FormatReportText(t.report, false);
            ASSERT_TRUE(t.restored.ok) << t.restored.error;
            ExpectSameRecords(spool, t.restored.spool);
        }
    }
    EXPECT_GT(files, 0u);
}

} // namespace
