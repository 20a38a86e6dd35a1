// Text jobs and EMF playback on ordinary printers, through the entry points:
// what reaches TextOutA, the pixels of rendered pages, every corpus EMF on
// "Office Laser", and the guard around a faulting renderer.
#include "palhost.h"
#include "support/JobMachine.h"
#include "printproc/Winprint.h"
#include "tools/lib/EmfBuilder.h"
#include "tools/lib/SpoolWriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Run = pal::host::DeviceContextRecord::TextRun;

// What a job printed, with the device contexts it drew on.
struct Played : qltest::Printed {
    std::vector<pal::host::DeviceContextRecord> dcs;
};

class Playback : public qltest::JobTest {
public:
    void SetUp() override {
        qltest::SetUpJobMachine(0);  // unlogged, as a production spooler runs
        JobTest::SetUp();
        pal::host::SetPageCapture(false);
    }
    void TearDown() override {
        pal::host::SetPageCapture(false);
        JobTest::TearDown();
    }

    static Played Print(const std::u16string& printer, const std::u16string& datatype, const Bytes& data,
                        const std::u16string& parameters = u"", const std::vector<pal::host::Fault>& faults = {}) {
        pal::host::ResetSpooler();
        Played out{qltest::Print(qltest::Job(printer, datatype, data, parameters), {.faultsAfterOpen = faults})};
        out.dcs = pal::host::DeviceContexts();
        return out;
    }

    // Characters per line and line height of the printer's default font.
    static std::pair<int, int> TextGeometry(const std::u16string& printer) {
        HDC dc = CreateDCW(nullptr, printer.c_str(), nullptr, nullptr);
        TEXTMETRICW tm{};
        EXPECT_TRUE(GetTextMetricsW(dc, &tm));
        const int cpl = GetDeviceCaps(dc, HORZRES) / tm.tmAveCharWidth;
        DeleteDC(dc);
        return {cpl, tm.tmHeight + tm.tmExternalLeading};
    }

    // Pages of the PDF document, by pdfinfo; -1 when it cannot tell.
    static int PdfPages(const pal::host::PortDocument& doc) {
        const Bytes bytes = pal::host::PortDocumentBytes(doc);
        const fs::path file = qltest::MachineRoot() / "page-count.pdf";
        std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        FILE* p = popen(("pdfinfo '" + file.string() + "' 2>/dev/null").c_str(), "r");
        if (!p) return -1;
        char line[512];
        int pages = -1;
        while (fgets(line, sizeof line, p)) std::sscanf(line, "Pages: %d", &pages);
        pclose(p);
        return pages;
    }
};

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::vector<std::string> Describe(const std::vector<Run>& runs, int cyLine) {
    std::vector<std::string> out;
    for (const Run& r : runs) {
        out.push_back(std::to_string(r.page) + ":" + std::to_string(r.y / cyLine) + ":" + r.text);
        EXPECT_EQ(r.x, 0);
        EXPECT_EQ(r.y % cyLine, 0);
    }
    return out;
}

TEST_F(Playback, LineReaderCasesReachTextOut) {
    const auto [cpl, cy] = TextGeometry(u"Coarse");
    ASSERT_GT(cpl, 20);
    const std::string full(size_t(cpl), 'w');
    // A tab at the last column owes the continued line the rest of its width.
    const int stop = ((cpl - 1) / 8 + 1) * 8;
    const std::string owed(size_t(stop - cpl), ' ');
    struct Case {
        const char* name;
        std::string text;
        std::u16string params;
        std::vector<std::string> runs;  // page:line:text
        size_t pages;
    };
    const std::vector<Case> cases = {
        {"tab", "alpha\tb\n", u"", {"1:0:alpha   b"}, 1},
        {"tabs=4", "a\tbc\tdef\n", u"TABS=4;", {"1:0:a   bc  def"}, 1},
        {"tabs=0 keeps 8", "a\tbcdefg\n", u"TABS=0;", {"1:0:a       bcdefg"}, 1},
        {"crlf and lone cr", "one\r\ntwo\rthree\n\nfive", u"", {"1:0:one", "1:1:two", "1:2:three", "1:4:five"}, 1},
        {"form feed mid page", "aaaa\fbbbb\r\n", u"", {"1:0:aaaa", "2:0:bbbb"}, 2},
        {"form feed last", "aaaa\r\nbbbb\f", u"", {"1:0:aaaa", "1:1:bbbb"}, 1},
        {"exact width", full + "\nnext\n", u"", {"1:0:" + full, "1:1:next"}, 1},
        {"wrap", full + "xy\n", u"", {"1:0:" + full, "1:1:xy"}, 1},
        {"tab across the end", std::string(size_t(cpl - 1), 'v') + "\tX\n", u"",
         {"1:0:" + std::string(size_t(cpl - 1), 'v') + " ", "1:1:" + owed + "X"}, 1},
        {"8-bit and NUL", std::string("caf\xE9 \0x\n", 8), u"", {std::string("1:0:caf\xE9 \0x", 11)}, 1},
    };
    pal::host::SetPageCapture(true);
    for (const Case& c : cases) {
        Played p = Print(u"Coarse", u"TEXT", B(c.text), c.params);
        EXPECT_TRUE(p.result) << c.name;
        ASSERT_EQ(p.dcs.size(), 1u) << c.name;
        EXPECT_EQ(Describe(p.dcs[0].texts, cy), c.runs) << c.name;
        EXPECT_EQ(p.dcs[0].pages.size(), c.pages) << c.name;
        ASSERT_EQ(p.docs.size(), 1u) << c.name;
        EXPECT_EQ(PdfPages(p.docs[0]), int(c.pages)) << c.name;
    }
    // Fewer than eight bytes are never printed.
    Played empty = Print(u"Coarse", u"TEXT", B("abc"));
    EXPECT_TRUE(empty.result);
    EXPECT_TRUE(empty.docs.empty());
}

TEST_F(Playback, HostileTextStaysBounded) {
    const auto [cpl, cy] = TextGeometry(u"Coarse");
    (void)cy;
    Bytes feeds(5000, 0x0C);
    feeds.insert(feeds.begin(), {'s', 't', 'a', 'r', 't', '\n', 'x', 'y'});
    Played p = Print(u"Coarse", u"TEXT", feeds);
    EXPECT_TRUE(p.result);
    ASSERT_EQ(p.docs.size(), 1u);
    EXPECT_EQ(PdfPages(p.docs[0]), 1);  // form feeds with nothing after them print no pages
    Played longLine = Print(u"Coarse", u"TEXT", Bytes(200000, 'q'));
    ASSERT_EQ(longLine.dcs.size(), 1u);
    EXPECT_EQ(longLine.dcs[0].texts.size(), (200000 + size_t(cpl) - 1) / size_t(cpl));
}

// Dark pixels inside a rectangle of a captured page.
size_t Ink(const pal::host::DeviceContextRecord::PageImage& img, int x0, int y0, int x1, int y1) {
    size_t n = 0;
    for (int y = std::max(0, y0); y < std::min(img.height, y1); ++y)
        for (int x = std::max(0, x0); x < std::min(img.width, x1); ++x) n += img.grey[size_t(y) * img.width + x] < 128;
    return n;
}

TEST_F(Playback, TextAndEmfPagesHaveInkWhereTheyDraw) {
    pal::host::SetPageCapture(true);
    HDC dc = CreateDCW(nullptr, u"Coarse", nullptr, nullptr);
    const int offX = GetDeviceCaps(dc, PHYSICALOFFSETX), offY = GetDeviceCaps(dc, PHYSICALOFFSETY);
    const int w = GetDeviceCaps(dc, PHYSICALWIDTH), h = GetDeviceCaps(dc, PHYSICALHEIGHT);
    TEXTMETRICW tm{};
    GetTextMetricsW(dc, &tm);
    DeleteDC(dc);

    Played text = Print(u"Coarse", u"TEXT", B("\n\nMMMMMMMMMM\n"));
    ASSERT_EQ(text.dcs.size(), 1u);
    ASSERT_EQ(text.dcs[0].pages.size(), 1u);
    const auto& page = text.dcs[0].pages[0];
    ASSERT_EQ(page.width, w);
    const int top = offY + 2 * tm.tmHeight, right = offX + 10 * tm.tmAveCharWidth;
    EXPECT_GT(Ink(page, offX, top, right, top + tm.tmHeight), size_t(10 * 10));
    EXPECT_EQ(Ink(page, 0, 0, w, top), 0u);
    EXPECT_EQ(Ink(page, right + 2, 0, w, h), 0u);
    EXPECT_EQ(Ink(page, 0, top + tm.tmHeight + 1, w, h), 0u);

    // An EMF page of the sheet's size: a black rectangle and a line of text.
    qltools::EmfPageOptions options;
    options.devicePixelsX = w;
    options.devicePixelsY = h;
    qltools::EmfBuilder emf(options);
    emf.SelectObject(0x80000004);  // BLACK_BRUSH
    const int32_t rect[4] = {100, 100, 300, 200};
    emf.Record(43 /* EMR_RECTANGLE */, {reinterpret_cast<const uint8_t*>(rect), sizeof rect});
    emf.SelectObject(emf.CreateFont(u"Arial", -40));
    emf.TextOut(100, 400, u"Hello");
    qltools::SpoolWriter spool(u"pixels");
    spool.Page(emf.Finish());
    Played played = Print(u"Coarse", u"NT EMF 1.008", spool.Take());
    EXPECT_TRUE(played.result) << qltest::Dump(played.lines);
    ASSERT_EQ(played.dcs.size(), 1u);
    ASSERT_EQ(played.dcs[0].pages.size(), 1u);
    const auto& sheet = played.dcs[0].pages[0];
    EXPECT_GT(Ink(sheet, 110, 110, 290, 190), size_t(170 * 80 * 9 / 10));
    EXPECT_GT(Ink(sheet, 100, 400, 220, 450), 50u);
    EXPECT_EQ(Ink(sheet, 0, 0, w, 90), 0u);
    EXPECT_EQ(Ink(sheet, 0, 210, w, 390), 0u);
    EXPECT_EQ(Ink(sheet, 0, 470, w, h), 0u);
}

// Every corpus EMF, in three shards so each test stays well inside its time
// limit under the sanitizers.
void PlayCorpusShard(int shard) {
    const fs::path dir = fs::path(QL_CORPUS_DIR) / "emf";
    if (!fs::is_directory(dir)) GTEST_SKIP() << "corpus missing: " << dir;
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir)) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    size_t played = 0, failed = 0;
    for (size_t i = size_t(shard); i < files.size(); i += 3) {
        const fs::path& file = files[i];
        std::ifstream in(file, std::ios::binary);
        const Bytes emf((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        qltools::SpoolWriter spool(u"corpus");
        spool.Page(emf);  // byte for byte, broken files included
        Played p = Playback::Print(u"Office Laser", u"NT EMF 1.008", spool.Take());
        const std::string name = file.filename().string();
        if (p.result) {
            ++played;
            ASSERT_EQ(p.docs.size(), 1u) << name;
            EXPECT_EQ(Playback::PdfPages(p.docs[0]), 1) << name;
        } else {
            ++failed;
            EXPECT_TRUE(p.docs.empty()) << name << ": a failed playback leaves no document";
        }
    }
    EXPECT_GT(played, failed) << played << " played, " << failed << " failed";
    std::printf("corpus shard %d: %zu played, %zu failed cleanly\n", shard, played, failed);
}

TEST_F(Playback, CorpusEmfPrintsOnePageOrFailsCleanly0) { PlayCorpusShard(0); }
TEST_F(Playback, CorpusEmfPrintsOnePageOrFailsCleanly1) { PlayCorpusShard(1); }
TEST_F(Playback, CorpusEmfPrintsOnePageOrFailsCleanly2) { PlayCorpusShard(2); }

TEST_F(Playback, CopiesAndFaults) {
    qltools::SpoolJobOptions options;
    options.pages = 2;
    const Bytes job = qltools::GenerateSpoolJob(options);
    Played two = Print(u"Office Laser", u"NT EMF 1.008", job, u"COPIES=2;");
    EXPECT_TRUE(two.result);
    ASSERT_EQ(two.docs.size(), 2u);
    EXPECT_EQ(PdfPages(two.docs[1]), 2);

    pal::host::Fault fault;
    fault.call = "GdiPlayEMF";
    fault.afterCalls = 1;  // the second copy's renderer crashes
    Played crashed = Print(u"Office Laser", u"NT EMF 1.008", job, u"COPIES=3;", {fault});
    EXPECT_FALSE(crashed.result);
    EXPECT_EQ(crashed.docs.size(), 1u);
    EXPECT_TRUE(qltest::Contains(crashed.lines, u"GdiPlayEMF gave an exception\n")) << qltest::Dump(crashed.lines);

    Bytes truncated = job;
    truncated.resize(job.size() / 2);
    Played cut = Print(u"Office Laser", u"NT EMF 1.008", truncated);
    EXPECT_TRUE(cut.result);  // the pages that are whole print
}

} // namespace
