// Font embedding end to end: a job whose pages ask for installed, temporary,
// repeated and substituted fonts printed on gateway printers with inclusion
// patterns. The receiver finds each font once per job, whichever walker and
// however many copies, and every extension record's back distance still
// leads to its target record.
#include "support/JobMachine.h"

#include "tools/lib/EmfBuilder.h"
#include "tools/lib/SpoolWriter.h"
#include "tools/lib/StreamReader.h"

#include <filesystem>
#include <set>

using namespace qltest;
using namespace qltools;

namespace {

constexpr char kSerif[] = "/usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf";

class GatewayFonts : public JobTest {
protected:
    void SetUp() override {
        JobTest::SetUp();
        if (!std::filesystem::exists(kSerif)) GTEST_SKIP() << "fonts-dejavu-core not installed";
        ASSERT_TRUE(pal::host::InstallTemporaryFont(kSerif, u"TT.tmp"));
        SetMachineMultiString(u"IncludeFonts", std::vector<std::u16string>{u"DejaVu Sans*", u"AR?AL"});
    }
    void TearDown() override {
        pal::host::RemoveTemporaryFonts();
        SetMachineMultiString(u"IncludeFonts", std::nullopt);
        SetMachineDword(u"CompressionEMFInMem", std::nullopt);
        SetMachineString(u"TempDir", std::nullopt);
        JobTest::TearDown();
    }
};

TEST_F(GatewayFonts, EachFontOncePerJobAndBackDistancesHold) {
    // Two toolkit pages (their title in DejaVu Sans, an engine font record
    // in front and its extension record behind each), then a page asking for
    // DejaVu Sans at a weight that selects the same file, the temporary font
    // and a face that is substituted.
    SpoolJobOptions job;
    job.pages = 2;
    job.images = {ImageKind::Logo};
    job.bitsPerPixel = {24};
    job.font = u"DejaVu Sans";
    job.engineFontBytes = 64;
    EmfBuilder extra;
    extra.CreateFont(u"DejaVu Sans", -40, 500);
    extra.CreateFont(u"TT.tmp", -40);
    extra.CreateFont(u"Arial", -40);
    extra.StretchDIBits(MakeDib(MakeImage(ImageKind::Logo, 40, 30), 24, false), 0, 0, 40, 30);
    job.extraPages.push_back(extra.Finish());
    const Bytes spool = GenerateSpoolJob(job);

    const std::filesystem::path dir = std::filesystem::path(qltest::MachineRoot()) / "qltemp";
    std::filesystem::create_directories(dir);
    for (bool fileWalker : {false, true}) {
        SetMachineDword(u"CompressionEMFInMem", fileWalker ? std::optional<DWORD>(16) : std::nullopt);
        SetMachineString(u"TempDir", fileWalker ? std::optional<std::u16string>(u"C:\\qltemp") : std::nullopt);
        for (const char16_t* printer : {u"GW", u"GWFramed"}) {
            SCOPED_TRACE(pal::host::ToUtf8(printer) + (fileWalker ? " file walker" : " memory walker"));
            pal::host::ResetSpooler();
            const Printed result = PrintSpool(spool, printer, u"COPIES=2;");
            ASSERT_TRUE(result.result) << Dump(result.lines);
            ASSERT_EQ(result.documents.size(), 1u);
            EXPECT_TRUE(Contains(result.lines, u"installed font is not exactly the requested: <Liberation Sans>"))
                << Dump(result.lines);
            InspectOptions all;
            all.allCopies = true;
            const InspectReport report = InspectStream(result.documents.front(), all);
            ASSERT_TRUE(report.ok) << report.error;
            ASSERT_EQ(report.copies.size(), 2u);

            std::multiset<std::string> families;
            std::set<std::string> digests;
            size_t extensions = 0;
            for (const SpoolRecord& rec : report.records) {
                if (rec.font) {
                    ASSERT_EQ(rec.font->files.size(), 1u);
                    const EngineFontFile& f = rec.font->files.front();
                    if (!f.opens) continue;  // the toolkit's own engine font records
                    families.insert(f.family);
                    digests.insert(f.md5);
                    EXPECT_EQ(rec.copy, 0u) << "fonts are sent once per job";
                    EXPECT_TRUE(rec.font->beforePage);
                }
                if (rec.backDistance) {
                    ++extensions;
                    ASSERT_TRUE(rec.target) << "extension record at " << rec.offset;
                    if (rec.type == SPL_ENGINE_FONT_EXT)
                        EXPECT_EQ(*rec.targetType, SPL_ENGINE_FONT);
                    else
                        EXPECT_TRUE(IsSpoolPageRecord(*rec.targetType));
                }
            }
            EXPECT_EQ(families, (std::multiset<std::string>{"DejaVu Sans", "DejaVu Serif"}));
            EXPECT_EQ(digests.size(), 2u);
            EXPECT_EQ(extensions, 2u * 5u);  // per copy: 3 page and 2 engine font extensions
        }
    }
}

} // namespace

namespace {

TEST(EngineFontRecords, SizesThatDoNotAddUpAreMalformed) {
    SpoolWriter w;
    const size_t at = w.EngineFont(Bytes(40, 0xAB));
    const Bytes good = w.Bytes();
    ASSERT_TRUE(InspectStream(good).ok);
    // Body words: font type, file count, file size, filler.
    const std::pair<size_t, uint32_t> patches[] = {{4, 0}, {4, 1000}, {8, 41}, {8, 24}, {8, 0xFFFFFFF0}};
    for (const auto& [word, value] : patches) {
        Bytes bad = good;
        for (int i = 0; i < 4; ++i) bad[at + 8 + word + i] = static_cast<uint8_t>(value >> (8 * i));
        const InspectReport r = InspectStream(bad);
        EXPECT_FALSE(r.ok) << word << " = " << value;
        EXPECT_EQ(r.errorOffset, at) << r.error;
    }
}

} // namespace
