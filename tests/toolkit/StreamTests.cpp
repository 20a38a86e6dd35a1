// The inspector on hand-made transport streams: header blocks in each form,
// framed output with holes, malformed streams, and a mutation loop.
#include "ToolkitTestUtil.h"

#include "native/Devmode.h"
#include "tools/lib/SpoolWriter.h"
#include "tools/lib/StreamReader.h"

#include <gtest/gtest.h>

#include <sstream>

#include <unistd.h>

using namespace qltools;
using namespace toolkittest;

namespace {

Bytes SmallJob(uint32_t pages = 2) {
    SpoolJobOptions job;
    job.pages = pages;
    job.images = {ImageKind::Logo, ImageKind::Noise};
    job.bitsPerPixel = {8, 24};
    job.imageWidth = job.imageHeight = 16;
    return GenerateSpoolJob(job);
}

// A framed stream with a watermark and holes in the bits of two bitmaps, and
// the logical stream a receiver rebuilds from it.
struct FramedCase {
    Bytes stream, logical, header;
    std::vector<std::pair<size_t, uint32_t>> holes;  // in logical offsets
};

FramedCase MakeFramed() {
    FramedCase c;
    DevmodeOptions dm;
    dm.trailerFlags = QL_IGNORE_TRAYS;
    c.header = Concat(
        {Marker(), Block(kDevmodeBlockTag, BuildDevmode(dm)), Block(kJdfBlockTag, Bytes{'<', 'J', '/', '>'})});
    const Bytes spool = SmallJob();
    const Bytes payload = Concat({WatermarkBytes(EmfBuilder().Finish()), spool});
    const size_t records = payload.size() - spool.size();

    // Holes in the first and last bitmap's pixels of the first page.
    const InspectReport plain = InspectStream(spool);
    const SpoolRecord& page = plain.records.at(1);
    const Bytes emf(spool.begin() + static_cast<ptrdiff_t>(page.offset + 8),
                    spool.begin() + static_cast<ptrdiff_t>(page.offset + 8 + page.size));
    std::vector<std::pair<size_t, uint32_t>> holes;
    std::vector<size_t> cuts;
    for (size_t at : {RecordsOfType(emf, EMR_STRETCHDIBITS).front(), RecordsOfType(emf, EMR_STRETCHDIBITS).back()}) {
        const auto sd = ReadStruct<EmfStretchDIBits>(emf, at);
        holes.emplace_back(records + page.offset + 8 + at + sd.offBitsSrc + 4, sd.cbBitsSrc - 8);
    }
    for (const SpoolRecord& rec : plain.records) cuts.push_back(records + rec.offset);
    c.stream = Concat({c.header, Frame(payload, holes, cuts)});
    Bytes zeroed = payload;
    for (const auto& [at, len] : holes) {
        std::fill_n(zeroed.begin() + static_cast<ptrdiff_t>(at), len, 0);
        c.holes.emplace_back(c.header.size() + at, len);
    }
    c.logical = Concat({c.header, zeroed});
    return c;
}

TEST(FramedStream, LogicalStreamHasHolesFilledWithZeros) {
    const FramedCase c = MakeFramed();
    InspectOptions keep;
    keep.keepLogical = true;
    const InspectReport r = InspectStream(c.stream, keep);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.marker);
    EXPECT_TRUE(r.framed);
    EXPECT_EQ(r.framingStart, c.header.size());
    EXPECT_EQ(r.holeBlocks, 2u);
    EXPECT_EQ(r.holeBlockBytes, c.holes[0].second + c.holes[1].second);
    EXPECT_EQ(r.dataBlockBytes + r.holeBlockBytes + c.header.size(), c.logical.size());
    EXPECT_EQ(r.logical, c.logical);
    ASSERT_TRUE(r.watermark);
    EXPECT_EQ(r.watermark->page.records, 2u);
    ASSERT_TRUE(r.jdf);
    EXPECT_EQ(r.jdf->length, 9u);
    EXPECT_EQ(r.pages, 2u);
    EXPECT_TRUE(r.warnings.empty()) << r.warnings.front();

    // Every record header is found where the stream carries it.
    for (const SpoolRecord& rec : r.records) {
        ASSERT_TRUE(rec.streamOffset);
        EXPECT_EQ(GetU32(c.stream, *rec.streamOffset), rec.type);
        EXPECT_EQ(GetU32(c.stream, *rec.streamOffset + 4), rec.size);
    }
    // The same stream without framing (holes as zeros) lists the same records.
    const InspectReport unframed = InspectStream(c.logical);
    ASSERT_TRUE(unframed.ok) << unframed.error;
    EXPECT_FALSE(unframed.framed);
    ASSERT_EQ(unframed.records.size(), r.records.size());
    for (size_t i = 0; i < r.records.size(); ++i) {
        EXPECT_EQ(unframed.records[i].offset, r.records[i].offset);
        EXPECT_EQ(unframed.records[i].size, r.records[i].size);
    }
    EXPECT_EQ(unframed.emfTotals, r.emfTotals);
}

TEST(FramedStream, BrokenRecordInsideAHoleAndPrivateRecordCounts) {
    // A hole over an EMF record header (the sender never makes one) leaves a
    // record of size 0: reported at its logical offset, inside the hole.
    const Bytes spool = SmallJob(1);
    const size_t bitmap = InspectStream(spool).records.at(1).offset + 8 + 108;
    const InspectReport r = InspectStream(Concat({Marker(), Frame(spool, {{bitmap, 12}})}));
    ASSERT_FALSE(r.ok);
    EXPECT_NE(r.error.find("logical offset " + std::to_string(5 + bitmap) + " (inside a hole)"), std::string::npos)
        << r.error;

    // Private bitmap record types are counted by type.
    EmfBuilder b;
    b.Record(EMR_COMPRESSEDDIBITS, Bytes(72, 0));
    b.Record(EMR_DELETEDDIBITS, Bytes(72, 0));
    b.Record(EMR_CACHEDDIBITS, Bytes(72, 0));
    b.Record(EMR_CACHEDDIBITS, Bytes(72, 0));
    SpoolWriter w;
    w.Page(b.Finish(), SPL_METAFILE);
    const InspectReport priv = InspectStream(Concat({Marker(), Frame(w.Bytes(), {})}));
    ASSERT_TRUE(priv.ok) << priv.error;
    EXPECT_EQ(priv.records.at(1).page->Count(EMR_COMPRESSEDDIBITS), 1u);
    EXPECT_EQ(priv.records.at(1).page->Count(EMR_DELETEDDIBITS), 1u);
    EXPECT_EQ(priv.records.at(1).page->Count(EMR_CACHEDDIBITS), 2u);
    EXPECT_NE(FormatReportJson(priv).find("\"cachedDIBits\":2"), std::string::npos);
}

TEST(DevmodeBlock, FourFormsAreTold) {
    DevmodeOptions publicOnly;
    DevmodeOptions plus8;  // eight bytes as the driver sent them, no trailer
    plus8.driverExtra = 8;
    DevmodeOptions trailer;
    trailer.trailerFlags = QL_IGNORE_TRAYS | QL_DONT_RESIZE | 0x40;
    DevmodeOptions full;
    full.extension = true;
    full.trailerFlags = QL_DM_IMGAREA;
    full.compressionRules[0] = 7;
    struct Case {
        DevmodeOptions options;
        DevmodeForm form;
        bool trailer, extension;
    } cases[] = {{publicOnly, DevmodeForm::PublicOnly, false, false},
                 {plus8, DevmodeForm::PublicPlus8, false, false},
                 {trailer, DevmodeForm::PublicPlus8, true, false},
                 {full, DevmodeForm::Full, true, true}};
    for (const Case& c : cases) {
        const Bytes dm = BuildDevmode(c.options);
        const InspectReport r = InspectStream(Concat({Marker(), Block(kDevmodeBlockTag, dm), SmallJob(1)}));
        ASSERT_TRUE(r.ok) << r.error;
        ASSERT_TRUE(r.devmode);
        EXPECT_EQ(r.devmode->length, dm.size() + 5);
        EXPECT_EQ(r.devmode->form, c.form);
        EXPECT_EQ(r.devmode->devmode.hasTrailer, c.trailer);
        EXPECT_EQ(r.devmode->devmode.hasExtension, c.extension);
        EXPECT_FALSE(r.framed);
        EXPECT_EQ(r.pages, 1u);
    }
    EXPECT_EQ(DevmodeFlagNames(QL_IGNORE_TRAYS | QL_DONT_RESIZE | 0x40), "QL_DONT_RESIZE QL_IGNORE_TRAYS 0x40");
    const Bytes dm = BuildDevmode(full);
    const InspectReport r = InspectStream(Concat({Marker(), Block(kDevmodeBlockTag, dm)}));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.devmode->devmode.compressionRules[0], 7u);
    EXPECT_NE(FormatReportText(r).find("form full"), std::string::npos);
    EXPECT_NE(FormatReportJson(r).find("\"names\":[\"QL_DM_IMGAREA\"]"), std::string::npos);
}

TEST(MalformedStream, RejectedWithOffsetAndReason) {
    const Bytes spool = SmallJob(1);
    const Bytes dm = BuildDevmode(DevmodeOptions{});
    Bytes badLength = Block(kDevmodeBlockTag, dm);
    PutU32(badLength, 1, static_cast<uint32_t>(dm.size() + 5 + 8));  // claims 8 bytes the devmode lacks
    badLength.resize(badLength.size() + 8, 0);
    const size_t headerBytes = GetU32(spool, 4);
    Bytes unknownTag = Frame(spool, {}, {headerBytes});  // the second block's tag is unknown
    PutU32(unknownTag, 8 + headerBytes, 0x12345678);
    Bytes pastEnd = Frame(spool, {});
    PutU32(pastEnd, 4, static_cast<uint32_t>(spool.size() + 1));
    Bytes shortRecord = spool;
    shortRecord.resize(spool.size() - 3);
    Bytes badEmf = spool;
    PutU32(badEmf, InspectStream(spool).records.at(1).offset + 8 + 108 + 4, 6);

    struct Case {
        const char* what;
        Bytes stream;
        uint64_t offset;
        const char* reason;
    } cases[] = {
        {"empty", {}, 0, "empty"},
        {"garbage", Bytes{'P', 'K', 3, 4, 0, 0}, 0, "not the file header"},
        {"devmode length", Concat({Marker(), badLength}), 5, "does not match dmSize"},
        {"devmode cut", Concat({Marker(), Bytes{2, 0xFF, 0, 0, 0}}), 5, "runs past the end"},
        {"second devmode", Concat({Marker(), Block(2, dm), Block(2, dm)}), 5 + dm.size() + 5, "second device mode"},
        {"unknown tag", Concat({Marker(), unknownTag}), 5 + 8 + headerBytes, "unknown block tag 0x12345678"},
        {"data past end", Concat({Marker(), pastEnd}), 5, "runs past the end"},
        {"block header cut", Concat({Marker(), Frame(spool, {}), Bytes{0, 0, 8}}), 5 + spool.size() + 8,
         "block header"},
        {"record cut", shortRecord, InspectStream(spool).records.back().offset, "runs past the end"},
        {"EMF record size", badEmf, InspectStream(spool).records.at(1).offset + 8 + 108, "not a multiple of 4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const InspectReport r = InspectStream(c.stream);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.errorOffset, c.offset);
        EXPECT_NE(r.error.find(c.reason), std::string::npos) << r.error;
        EXPECT_EQ(r.error.rfind("offset " + std::to_string(c.offset) + ":", 0), 0u) << r.error;
        EXPECT_NE(FormatReportJson(r).find("\"ok\":false"), std::string::npos);
    }

    // A hole larger than the configured limit is refused before it is filled.
    InspectOptions small;
    small.maxLogicalBytes = 4096;
    const InspectReport big = InspectStream(Concat({Marker(), Frame(Bytes(16, 1), {{8, 0x7FFFFFFF}})}), small);
    EXPECT_FALSE(big.ok);
    EXPECT_NE(big.error.find("grow past"), std::string::npos);
}

// Truncations, byte flips and planted block tags and sizes over framed and
// plain streams: the inspector never reads out of bounds (run under the
// sanitizers) and always reports where a rejected stream went wrong.
TEST(MutatedStream, NeverCrashes) {
    std::vector<Bytes> seeds = {MakeFramed().stream, SmallJob(2)};
    const auto real = CorpusDir("spl") / "hughbe_EmfSpoolReader__EMF_SPL-to-EMF_00035.spl";
    if (std::filesystem::exists(real)) seeds.push_back(ReadFile(real));
    const uint32_t planted[] = {0, 0xFFFFFFFF, 0x08080000, 0x80800000, 0x40000000, 0x00010000, 8, 7};
    SplitMix64 rng(20240601);
    InspectOptions options;
    options.keepLogical = true;
    options.maxLogicalBytes = 16u << 20;
    int rejected = 0;
    for (int i = 0; i < 450; ++i) {
        Bytes s = seeds[i % seeds.size()];
        switch (rng.Below(3)) {
        case 0: s.resize(rng.Below(static_cast<uint32_t>(s.size()))); break;
        case 1:
            for (uint32_t k = 1 + rng.Below(4); k > 0; --k)
                s[rng.Below(static_cast<uint32_t>(s.size()))] ^= static_cast<uint8_t>(1u << rng.Below(8));
            break;
        default: {
            const size_t at = rng.Below(static_cast<uint32_t>(s.size() - 4)) & ~size_t{3};
            PutU32(s, at, planted[rng.Below(8)]);
        }
        }
        const InspectReport r = InspectStream(s, options);
        if (!r.ok) {
            ++rejected;
            EXPECT_FALSE(r.error.empty());
            EXPECT_LE(r.errorOffset, s.size());
            EXPECT_TRUE(r.logical.empty());
        }
        (void)FormatReportText(r);
        (void)FormatReportJson(r);
    }
    EXPECT_GT(rejected, 50);
}

TEST(InspectCommand, LogicalFileExitCodesAndText) {
    const auto dir = std::filesystem::temp_directory_path() / ("qlstream-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const FramedCase c = MakeFramed();
    const auto in = dir / "framed.bin", logical = dir / "logical.bin", bad = dir / "bad.bin";
    std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char*>(c.stream.data()), c.stream.size());
    std::ofstream(bad, std::ios::binary).write("%%EMF\x02\x01", 7);

    std::ostringstream o, e;
    EXPECT_EQ(RunInspect({"--logical", logical.string(), in.string()}, o, e), 0) << e.str();
    EXPECT_EQ(ReadFile(logical), c.logical);
    EXPECT_NE(o.str().find("hole"), std::string::npos);
    EXPECT_NE(o.str().find("form public+8"), std::string::npos);
    EXPECT_NE(o.str().find("QL_IGNORE_TRAYS"), std::string::npos);

    std::ostringstream jo, je;
    EXPECT_EQ(RunInspect({"--json", in.string()}, jo, je), 0);
    EXPECT_EQ(jo.str().front(), '{');
    EXPECT_NE(jo.str().find("\"framed\":true"), std::string::npos);

    std::ostringstream bo, be;
    EXPECT_EQ(RunInspect({"--logical", (dir / "x").string(), bad.string()}, bo, be), 1);
    EXPECT_NE(be.str().find("offset 5"), std::string::npos) << be.str();
    EXPECT_FALSE(std::filesystem::exists(dir / "x"));

    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"--bogus", in.string()}, {(dir / "missing").string()}, {in.string(), in.string()}, {"--logical"}}) {
        std::ostringstream ao, ae;
        EXPECT_EQ(RunInspect(args, ao, ae), 2);
    }
    std::filesystem::remove_all(dir);
}

} // namespace
