// The toolkit's spool files read back by the inspector, the structure check
// and the spool generator and inspector commands. (The record layouts are
// pinned by static_asserts; the product's readers read the toolkit's output
// in every product suite.)
#include "ToolkitTestUtil.h"

#include "native/Devmode.h"
#include "tools/lib/SpoolWriter.h"
#include "tools/lib/StreamReader.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace qltools;
using namespace toolkittest;

namespace {

TEST(CheckEmf, FindsBrokenStructure) {
    Bytes page = EmfBuilder().Finish();
    EXPECT_TRUE(CheckEmf(page).ok);
    Bytes bad = page;
    PutU32(bad, 108 + 4, 21);  // EMR_EOF size not a multiple of 4
    EXPECT_FALSE(CheckEmf(bad).ok);
    EXPECT_EQ(CheckEmf(bad).problemOffset, 108u);
    bad = page;
    PutU32(bad, 108 + 4, 0x1000);
    EXPECT_FALSE(CheckEmf(bad).ok);
    EXPECT_FALSE(CheckEmf(Bytes(page.begin(), page.begin() + 60)).ok);
    bad = page;
    PutU32(bad, 40, 0);
    EXPECT_FALSE(CheckEmf(bad).ok);
}

// Every record type and every bitmap depth, read back.
TEST(RoundTrip, EveryRecordTypeAndDepth) {
    SpoolJobOptions job;
    job.pages = 2;
    job.images = {ImageKind::Flat, ImageKind::Gradient, ImageKind::Noise, ImageKind::Logo};
    job.bitsPerPixel = {1, 4, 8, 16, 24, 32};
    job.imageWidth = 13, job.imageHeight = 7;  // odd sizes exercise row padding
    job.topDown = true;
    job.clipSource = true;
    job.font = u"Arial";
    job.engineFontBytes = 50;
    job.devmode = DevmodeOptions{};
    job.devmode->extension = true;
    job.devmode->trailerFlags = QL_DM_IMGAREA;
    job.devmodeBeforePage = 2;
    job.extraRecords = {{SPL_TYPE1_FONT, Bytes(12, 0xAB)}, {SPL_DESIGNVECTOR, Bytes(8, 1)}, {99, Bytes{1, 2, 3, 4}}};
    const Bytes spool = GenerateSpoolJob(job);

    const InspectReport r = InspectStream(spool);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_FALSE(r.marker);
    EXPECT_TRUE(r.warnings.empty()) << r.warnings.front();
    std::vector<uint32_t> types;
    for (const SpoolRecord& rec : r.records) types.push_back(rec.type);
    EXPECT_EQ(types, (std::vector<uint32_t>{SPL_FILE_HEADER, 4, 6, 99, 2, 12, 15, 13, 3, 2, 12, 15, 13}));
    EXPECT_EQ(r.pages, 2u);
    const SpoolRecord& page = r.records[5];
    ASSERT_TRUE(page.page);
    EXPECT_EQ(page.page->Count(EMR_STRETCHDIBITS), 24u);
    EXPECT_EQ(page.page->Count(EMR_EXTCREATEFONTINDIRECTW), 1u);
    EXPECT_EQ(page.page->Count(EMR_EXTTEXTOUTW), 1u);
    EXPECT_TRUE(page.page->endsWithEof);
    EXPECT_EQ(r.emfTotals.at(EMR_STRETCHDIBITS), 48u);
    // Extension records lead back to the records they name.
    EXPECT_EQ(r.records[6].targetType, std::optional<uint32_t>(SPL_ENGINE_FONT));
    EXPECT_EQ(r.records[7].target, std::optional<uint64_t>(page.offset));
    EXPECT_EQ(r.records[12].target, std::optional<uint64_t>(r.records[10].offset));
    ASSERT_TRUE(r.records[8].devmode);
    EXPECT_TRUE(r.records[8].devmode->hasExtension);
    EXPECT_EQ(r.records[8].devmode->trailerFlags, QL_DM_IMGAREA);
    EXPECT_EQ(r.records[3].size, 4u);
}

TEST(SpoolGenCommand, WritesReadableFilesAndRejectsBadInput) {
    const TempDir dir("qltoolkit");
    const std::string out = dir.Path("a.spl");
    std::ostringstream o, e;
    const int code = RunSpoolGen(
        {"--pages", "3", "--images", "logo,noise", "--bpp", "24", "--devmode", "--qlex", "--qlpd", "0x20", "--font", "Arial", out},
        o, e);
    EXPECT_EQ(code, 0) << e.str();
    const InspectReport r = InspectStream(ReadFile(out));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.pages, 3u);
    ASSERT_TRUE(r.records.at(1).devmode);
    EXPECT_EQ(r.records[1].devmode->trailerFlags, QL_IGNORE_TRAYS);
    EXPECT_TRUE(r.records[1].devmode->hasExtension);

    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {}, {"--pages", "x", out}, {"--bpp", "3", out}, {"--images", "cat", out}, {"--bogus", out},
             {"--wrap", out}, {"--wrap", dir.Path("missing.emf"), out}, {"--devmode-page", "4", out}}) {
        std::ostringstream bo, be;
        EXPECT_EQ(RunSpoolGen(bad, bo, be), 2) << (bad.empty() ? "" : bad[0]);
        EXPECT_FALSE(be.str().empty());
    }
    std::ostringstream ho, he;
    EXPECT_EQ(RunSpoolGen({dir.Path("no/such/dir.spl")}, ho, he), 1);
}

TEST(InspectCommand, JsonIsWellFormedAndEscaped) {
    SpoolJobOptions job;
    job.documentName = u"a \"quoted\"\\name\x01\u00e9";
    job.bitsPerPixel = {8};
    const InspectReport r = InspectStream(GenerateSpoolJob(job));
    ASSERT_TRUE(r.ok);
    const std::string json = FormatReportJson(r);
    EXPECT_NE(json.find(R"("documentName":"a \"quoted\"\\name\u0001)" "\xC3\xA9\""), std::string::npos) << json;
    EXPECT_NE(json.find(R"("stretchDIBits":1)"), std::string::npos);
    EXPECT_EQ(JsonString("\xFF"), "\"\\ufffd\"");
    EXPECT_EQ(JsonString("tab\there"), "\"tab\\there\"");
}

} // namespace
