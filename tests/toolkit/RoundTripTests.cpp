// The toolkit's spool files read back by the inspector, and the layouts of
// what the toolkit writes checked against the product's own readers.
#include "ToolkitTestUtil.h"

#include "native/Devmode.h"
#include "tools/lib/SpoolWriter.h"
#include "tools/lib/StreamReader.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace qltools;
using namespace toolkittest;

namespace {

TEST(SyntheticImages, AreDeterministicAndDistinct) {
    // Pinned: a change here changes every test job built from these images.
    EXPECT_EQ(ImageHash(MakeImage(ImageKind::Flat, 64, 48)), 0xf7684e111589f2d5ull);
    EXPECT_EQ(ImageHash(MakeImage(ImageKind::Gradient, 64, 48)), 0xa8897a960b00c8d2ull);
    EXPECT_EQ(ImageHash(MakeImage(ImageKind::Noise, 64, 48, 7)), 0x07dffc3e4c4cec1cull);
    EXPECT_EQ(ImageHash(MakeImage(ImageKind::Logo, 64, 48)), 0x0811f9dbf9bda9ddull);
    EXPECT_EQ(ImageHash(MakeNoiseImage(33, 17, 7)), ImageHash(MakeNoiseImage(33, 17, 7)));
    EXPECT_NE(ImageHash(MakeNoiseImage(33, 17, 7)), ImageHash(MakeNoiseImage(33, 17, 8)));
    EXPECT_THROW(MakeFlatImage(0, 5, 0, 0, 0), std::invalid_argument);
}

TEST(Dib, RowsColourTablesAndOrientation) {
    RgbImage image = MakeFlatImage(3, 2, 255, 255, 255);
    uint8_t* red = image.Pixel(0, 0);  // top-left red, the rest white
    red[0] = 255, red[1] = 0, red[2] = 0;
    struct Case {
        uint32_t bpp, stride, colors;
    } cases[] = {{1, 4, 2}, {4, 4, 16}, {8, 4, 256}, {16, 8, 0}, {24, 12, 0}, {32, 12, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bpp);
        const Dib up = MakeDib(image, c.bpp, false);
        const Dib down = MakeDib(image, c.bpp, true);
        EXPECT_EQ(up.header.biHeight, 2);
        EXPECT_EQ(down.header.biHeight, -2);
        EXPECT_EQ(DibStride(3, c.bpp), c.stride);
        EXPECT_EQ(up.bits.size(), 2u * c.stride);
        EXPECT_EQ(up.colors.size(), c.colors);
        EXPECT_EQ(up.header.biClrUsed, c.colors);
        EXPECT_EQ(up.BitmapInfo().size(), 40u + 4u * c.colors);
        // Bottom-up stores the top row last; top-down first.
        EXPECT_TRUE(std::equal(up.bits.begin(), up.bits.begin() + c.stride, down.bits.begin() + c.stride));
        EXPECT_TRUE(std::equal(up.bits.begin() + c.stride, up.bits.end(), down.bits.begin()));
    }
    const Dib d24 = MakeDib(image, 24, true);
    EXPECT_EQ((Bytes{d24.bits[0], d24.bits[1], d24.bits[2]}), (Bytes{0, 0, 255}));  // BGR
    const Dib d1 = MakeDib(image, 1, true);
    EXPECT_EQ(d1.bits[0], 0x60);  // red is dark, white pixels are 1
    const Dib d16 = MakeDib(image, 16, true);
    EXPECT_EQ(d16.bits[0] | (d16.bits[1] << 8), 0x7C00);  // 5-5-5 red
    EXPECT_THROW(MakeDib(image, 2, false), std::invalid_argument);
}

// The offsets the product's readers take bitmaps, font requests and text from.
TEST(EmfBuilder, RecordsCarryTheirLayouts) {
    EmfBuilder builder;
    const Dib dib = MakeDib(MakeGradientImage(10, 6), 8, false);
    builder.StretchDIBits(dib, 100, 200, 40, 24, SourceRect{2, 1, 5, 3});
    builder.SelectObject(builder.CreateFont(u"Arial", -50, 700, true));
    builder.TextOut(10, 20, u"Hi!");
    const Bytes page = builder.Finish();
    const auto h = ReadStruct<EmfHeader>(page, 0);
    EXPECT_EQ(h.nBytes, page.size());
    EXPECT_EQ(h.nRecords, 6u);  // header, bitmap, font, select, text, EOF
    EXPECT_EQ(h.nHandles, 2u);
    EXPECT_TRUE(CheckEmf(page).ok);

    const size_t b = RecordsOfType(page, EMR_STRETCHDIBITS).at(0);
    const auto sd = ReadStruct<EmfStretchDIBits>(page, b);
    EXPECT_EQ(sd.xSrc, 2);
    EXPECT_EQ(sd.offBmiSrc, 80u);
    EXPECT_EQ(sd.cbBmiSrc, 40u + 256 * 4);
    EXPECT_EQ(sd.offBitsSrc, sd.offBmiSrc + sd.cbBmiSrc);
    EXPECT_EQ(sd.cbBitsSrc, 6u * 12);
    EXPECT_EQ(sd.nSize, sd.offBitsSrc + sd.cbBitsSrc);
    EXPECT_EQ(ReadStruct<EmfBitmapInfoHeader>(page, b + sd.offBmiSrc).biBitCount, 8);

    const size_t f = RecordsOfType(page, EMR_EXTCREATEFONTINDIRECTW).at(0);
    EXPECT_EQ(ReadStruct<int32_t>(page, f + 28), 700);
    EXPECT_EQ(page[f + 32], 1);
    EXPECT_EQ(ReadStruct<char16_t>(page, f + 40), u'A');
    const size_t t = RecordsOfType(page, EMR_EXTTEXTOUTW).at(0);
    const auto text = ReadStruct<EmfExtTextOutW>(page, t);
    EXPECT_EQ(text.emrtext.nChars, 3u);
    EXPECT_EQ(ReadStruct<char16_t>(page, t + text.emrtext.offString + 4), u'!');
    EXPECT_EQ(text.emrtext.offDx + 12, text.nSize);
    EXPECT_THROW(builder.StretchDIBits(dib, 0, 0, 1, 1, SourceRect{8, 0, 5, 1}), std::invalid_argument);
}

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

TEST(Devmode, ForwardsAndFindersAgree) {
    DevmodeOptions o;
    o.extension = true;
    o.trailerFlags = QL_IGNORE_TRAYS | QL_DONT_MOVE;
    o.compressionRules[2] = 0x1234;
    o.copies = 3;
    Bytes full = BuildDevmode(o);
    ASSERT_EQ(full.size(), QL_DEVMODE_SIZE);
    const auto* dm = reinterpret_cast<const DEVMODEW*>(full.data());
    ASSERT_NE(FindPrivateDevmode(dm, full.size()), nullptr);
    EXPECT_EQ(FindPrivateDevmode(dm, full.size())->dwFlags, QL_IGNORE_TRAYS | QL_DONT_MOVE);
    const PRIVATEDEVMODEEXT* ext = FindDevmodeExtension(dm, full.size());
    ASSERT_NE(ext, nullptr);
    const DWORD rule2 = ext->dwCompressionRule_2;  // packed field: read by value
    EXPECT_EQ(rule2, 0x1234u);
    EXPECT_EQ(dm->dmCopies, 3);

    o.extensionSize = 526;  // too small: no extension for the product either
    Bytes small = BuildDevmode(o);
    EXPECT_EQ(FindDevmodeExtension(reinterpret_cast<const DEVMODEW*>(small.data()), small.size()), nullptr);

    DevmodeOptions t;
    t.trailerFlags = 0;
    EXPECT_EQ(BuildDevmode(t).size(), 228u);
    EXPECT_EQ(BuildDevmode(DevmodeOptions{}).size(), 220u);
}

TEST(SpoolWriter, FileHeaderMatchesWindowsLayout) {
    const Bytes h = MakeSpoolFileHeader(u"test111.txt", std::u16string(u"C:\\out.prn"));
    EXPECT_EQ(GetU32(h, 0), SPL_FILE_HEADER);
    EXPECT_EQ(GetU32(h, 4), h.size());
    EXPECT_EQ(GetU32(h, 8), 16u);
    EXPECT_EQ(GetU32(h, 12), 16u + 12 * 2);
    EXPECT_EQ(h.size() % 4, 0u);
    EXPECT_EQ(GetU32(MakeSpoolFileHeader(u"abc"), 12), 0u);
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

TEST(RoundTrip, PageTypesAndBlackWhiteExtension) {
    for (uint32_t type : {1u, 9u, 10u, 12u}) {
        SpoolJobOptions job;
        job.pageType = type;
        job.blackWhite = true;
        job.bitsPerPixel = {1};
        const InspectReport r = InspectStream(GenerateSpoolJob(job));
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.records.at(1).type, type);
        EXPECT_EQ(r.records.size(), type == 12 ? 3u : 2u);
        if (type == 12) {
            EXPECT_EQ(r.records[2].type, SPL_BW_METAFILE_EXT);
        }
    }
}

TEST(SpoolGenCommand, WritesReadableFilesAndRejectsBadInput) {
    const TempDir dir("qltoolkit");
    const std::string out = dir.Path("a.spl");
    std::ostringstream o, e;
    EXPECT_EQ(RunSpoolGen({"--pages", "3", "--images", "logo,noise", "--bpp", "24", "--devmode", "--qlex", "--qlpd",
                           "0x20", "--font", "Arial", out},
                          o, e),
              0)
        << e.str();
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
    EXPECT_EQ(RunSpoolGen({"--help"}, ho, he), 0);
    EXPECT_NE(ho.str().find("--wrap"), std::string::npos);
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
