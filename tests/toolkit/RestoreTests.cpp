// Cached bitmap references in hand-made transport streams, as the reader
// resolves them and the restore expands them: normal and framed output,
// references that do not resolve, copies, inserted fonts, and a mutation loop.
#include "ToolkitTestUtil.h"

#include "tools/lib/SpoolRestore.h"
#include "tools/lib/SpoolWriter.h"
#include "tools/lib/StreamReader.h"

#include <gtest/gtest.h>

#include <sstream>

#include <unistd.h>

using namespace qltools;
using namespace toolkittest;

namespace {

// Two pages, each drawing the logo twice and a noise image once: bitmaps 1-3
// on page 1, 4-6 on page 2, with 1, 2, 4, 5 identical.
Bytes RepeatingSpool() {
    const Dib logo = MakeDib(MakeImage(ImageKind::Logo, 24, 16), 8, false);
    SpoolWriter w;
    for (uint64_t page = 1; page <= 2; ++page) {
        EmfBuilder b;
        b.StretchDIBits(logo, 10, 10, 48, 32);
        b.StretchDIBits(MakeDib(MakeImage(ImageKind::Noise, 8, 8, page), 24, false), 100, 10, 16, 16);
        b.StretchDIBits(logo, 10, 200, 48, 32);
        w.Page(b.Finish(), SPL_METAFILE);
    }
    return w.Take();
}

// Spool file offsets of the bitmap records, in image number order.
std::vector<size_t> BitmapOffsets(const Bytes& spool) {
    std::vector<size_t> found;
    for (const SpoolRecord& rec : InspectStream(spool).records) {
        if (!rec.page) continue;
        const Bytes emf(spool.begin() + static_cast<ptrdiff_t>(rec.offset + 8),
                        spool.begin() + static_cast<ptrdiff_t>(rec.offset + 8 + rec.size));
        for (size_t at : RecordsOfType(emf, EMR_STRETCHDIBITS)) found.push_back(rec.offset + 8 + at);
    }
    return found;
}

// A spool file as the sender sends it with the bitmap cache on: "%%EMF", the
// records (framed or not) with the listed bitmaps turned into references.
struct Sent {
    Bytes stream;
    std::vector<size_t> bitmaps;  // spool offsets
    size_t header = 5;            // bytes in front of the records
    bool framed = false;
    Bytes payload;  // the records as the receiver sees them
    std::vector<std::pair<size_t, uint32_t>> holes;

    // The sender's position of a spool offset: the marker counts, and so
    // does the block header in front of the file header record when framed.
    int64_t Position(size_t spoolOffset) const {
        return static_cast<int64_t>(header + spoolOffset + (framed ? 8 : 0));
    }
    // Bitmap `index` (0-based) becomes a reference naming `number` at `distance`.
    void Refer(size_t index, uint32_t number, int64_t distance) {
        const size_t at = bitmaps.at(index);
        const auto sd = ReadStruct<EmfStretchDIBits>(payload, at);
        if (!framed) {
            Bytes bih(payload.begin() + static_cast<ptrdiff_t>(at + sd.offBmiSrc),
                      payload.begin() + static_cast<ptrdiff_t>(at + sd.offBmiSrc + 40));
            std::fill_n(payload.begin() + static_cast<ptrdiff_t>(at + 80), sd.nSize - 80, 0);
            std::copy(bih.begin(), bih.end(), payload.begin() + static_cast<ptrdiff_t>(at + sd.offBmiSrc));
        } else if (sd.nSize - sd.offBmiSrc - 48 > 8) {
            holes.emplace_back(at + sd.offBmiSrc + 48, sd.nSize - sd.offBmiSrc - 48);
        }
        PutU32(payload, at, EMR_CACHEDDIBITS);
        PutU32(payload, at + sd.offBmiSrc + 16, static_cast<uint32_t>(-static_cast<int64_t>(number)));
        std::memcpy(payload.data() + at + sd.offBmiSrc + 40, &distance, 8);
    }
    // The reference to the earlier bitmap `target`, as the sender makes it.
    void Cache(size_t index, size_t target) {
        Refer(index, static_cast<uint32_t>(target + 1), Position(bitmaps.at(target)) - Position(bitmaps.at(index)));
    }
    Bytes Finish() {
        std::vector<size_t> cuts;
        for (const SpoolRecord& rec : InspectStream(payload).records) cuts.push_back(rec.offset);
        stream = Concat({Marker(), framed ? Frame(payload, holes, cuts) : payload});
        return stream;
    }
};

Sent Sending(const Bytes& spool, bool framed) {
    Sent s;
    s.payload = spool;
    s.framed = framed;
    s.bitmaps = BitmapOffsets(spool);
    return s;
}

TEST(CachedBitmaps, ResolveAndRestoreInNormalAndFramedOutput) {
    const Bytes spool = RepeatingSpool();
    for (bool framed : {false, true}) {
        SCOPED_TRACE(framed ? "framed" : "normal");
        Sent s = Sending(spool, framed);
        ASSERT_EQ(s.bitmaps.size(), 6u);
        s.Cache(2, 0);  // same page
        s.Cache(3, 0);  // the next page, back to the first occurrence
        s.Cache(5, 0);
        const InspectReport r = InspectStream(s.Finish());
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.bitmapRecords, 6u);
        ASSERT_EQ(r.references.size(), 3u);
        EXPECT_EQ(r.resolvedReferences, 3u) << FormatReportText(r);
        EXPECT_EQ(r.references[0].imageNumber, 1u);
        EXPECT_EQ(r.references[1].ownNumber, 4u);
        EXPECT_EQ(*r.references[2].target, 5 + s.bitmaps[0]);
        EXPECT_EQ(r.holeBlocks, framed ? 3u : 0u);
        EXPECT_NE(FormatReportText(r).find("cached references: 3, resolved: 3"), std::string::npos);
        EXPECT_NE(FormatReportJson(r).find("\"resolvedReferences\":3"), std::string::npos);

        const RestoreResult restored = RestoreSpool(s.stream);
        ASSERT_TRUE(restored.ok) << restored.error;
        EXPECT_TRUE(restored.Complete());
        EXPECT_EQ(restored.expanded, 3u);
        EXPECT_EQ(restored.spool, spool);
    }
}

TEST(CachedBitmaps, ReferencesThatDoNotResolve) {
    const Bytes spool = RepeatingSpool();
    const Sent base = Sending(spool, false);
    const int64_t back = base.Position(base.bitmaps[0]) - base.Position(base.bitmaps[2]);
    struct Case {
        const char* name;
        uint32_t number;
        int64_t distance;
        const char* problem;
    } cases[] = {
        {"wrong image number", 2, back, "is image 1"},
        {"into the middle of a record", 1, back + 4, "is not the first byte of an earlier bitmap record"},
        {"forward", 1, -back, "does not lead back"},
        {"before the stream", 1, -1000000, "before the start of the stream"},
        {"not a number", 0, back, "not a negative number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sent s = base;
        s.Refer(2, c.number, c.distance);
        const InspectReport r = InspectStream(s.Finish());
        ASSERT_TRUE(r.ok) << r.error;  // the structure is fine, the reference is not
        ASSERT_EQ(r.references.size(), 1u);
        EXPECT_EQ(r.resolvedReferences, 0u);
        EXPECT_NE(r.references[0].problem.find(c.problem), std::string::npos) << r.references[0].problem;
        EXPECT_NE(FormatReportText(r).find("unresolved: "), std::string::npos);
        const RestoreResult restored = RestoreSpool(s.stream);
        EXPECT_FALSE(restored.ok);
        EXPECT_NE(restored.error.find(c.problem), std::string::npos) << restored.error;
    }
    // A reference to a reference: only bitmap records that carry their data
    // are targets.
    Sent s = base;
    s.Cache(2, 0);
    s.Refer(3, 3, s.Position(s.bitmaps[2]) - s.Position(s.bitmaps[3]));
    const InspectReport r = InspectStream(s.Finish());
    ASSERT_EQ(r.references.size(), 2u);
    EXPECT_TRUE(r.references[0].problem.empty());
    EXPECT_NE(r.references[1].problem.find("(it is the reference at logical offset " + std::to_string(5 + s.bitmaps[2])),
              std::string::npos)
        << r.references[1].problem;
}

TEST(CachedBitmaps, CopiesCountOnFromTheFirst) {
    // The second copy's logo refers into the first copy: the sender counts
    // positions and image numbers once per job.
    const Bytes spool = RepeatingSpool();
    Sent first = Sending(spool, true);
    first.Cache(2, 0);
    first.Finish();
    Sent second = Sending(spool, true);
    const size_t copyStart = first.payload.size() + 5 + 8;  // the first copy as the sender counted it
    second.header = copyStart + 5;
    const int64_t target = first.Position(first.bitmaps[0]);
    second.Refer(0, 1, target - second.Position(second.bitmaps[0]));
    second.Refer(2, 1, target - second.Position(second.bitmaps[2]));
    second.Refer(5, 10, second.Position(second.bitmaps[3]) - second.Position(second.bitmaps[5]));
    const Bytes both = Concat({first.stream, second.Finish()});

    InspectOptions all;
    all.allCopies = true;
    const InspectReport r = InspectStream(both, all);
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.copies.size(), 2u);
    EXPECT_EQ(r.copies[1].offset, first.stream.size());
    EXPECT_EQ(r.copies[1].position, copyStart);
    EXPECT_EQ(r.bitmapRecords, 12u);
    ASSERT_EQ(r.references.size(), 4u);
    EXPECT_EQ(r.resolvedReferences, 4u) << FormatReportText(r);
    EXPECT_NE(FormatReportText(r).find("copy 2 at " + std::to_string(first.stream.size())), std::string::npos);

    // Without allCopies the second marker ends the stream where it stands.
    const InspectReport one = InspectStream(both);
    EXPECT_FALSE(one.ok);
    EXPECT_EQ(one.errorOffset, first.stream.size());

    RestoreOptions copy2;
    copy2.copy = 1;
    const RestoreResult restored = RestoreSpool(both, copy2);
    ASSERT_TRUE(restored.ok) << restored.error;
    EXPECT_EQ(restored.copies, 2u);
    EXPECT_EQ(restored.spool, spool);
    copy2.copy = 2;
    EXPECT_NE(RestoreSpool(both, copy2).error.find("there is no copy 3"), std::string::npos);

    // Counted per copy the second copy's own numbers no longer match.
    all.imagesPerCopy = true;
    EXPECT_EQ(InspectStream(both, all).resolvedReferences, 1u);
}

TEST(CachedBitmaps, PrivateTargetsStayAndInsertedFontsAreDropped) {
    // An engine font inserted in front of page 2 moves it; the extension
    // record of page 2 points back across nothing, the one of page 1 across
    // the font. A deleted bitmap and a reference to it cannot be restored.
    const Bytes logoPage = [] {
        EmfBuilder b;
        b.StretchDIBits(MakeDib(MakeImage(ImageKind::Logo, 24, 16), 24, false), 0, 0, 24, 16);
        return b.Finish();
    }();
    SpoolWriter in;
    const size_t page1 = in.Page(logoPage, SPL_METAFILE_DATA);
    const size_t page2 = in.Page(logoPage, SPL_METAFILE_DATA);
    in.Extension(SPL_METAFILE_EXT, page1);
    SpoolWriter out;
    const size_t sent1 = out.Page(logoPage, SPL_METAFILE_DATA);
    out.EngineFont(Bytes(36, 0xF0));
    out.Page(logoPage, SPL_METAFILE_DATA);
    out.Extension(SPL_METAFILE_EXT, sent1);
    (void)page2;

    Sent s = Sending(out.Bytes(), false);
    s.Cache(1, 0);
    const InspectReport r = InspectStream(s.Finish());
    ASSERT_EQ(r.resolvedReferences, 1u) << FormatReportText(r);
    RestoreOptions drop;
    drop.dropEngineFonts = true;
    RestoreResult restored = RestoreSpool(s.stream, drop);
    ASSERT_TRUE(restored.ok) << restored.error;
    EXPECT_EQ(restored.droppedFonts, 1u);
    EXPECT_EQ(restored.spool, in.Bytes());
    EXPECT_EQ(RestoreSpool(s.stream).spool.size(), in.Bytes().size() + 8 + 16 + 36);

    PutU32(s.payload, s.bitmaps[0], EMR_DELETEDDIBITS);
    restored = RestoreSpool(s.Finish(), drop);
    ASSERT_TRUE(restored.ok) << restored.error;
    EXPECT_FALSE(restored.Complete());
    EXPECT_EQ(restored.leftPrivate, 2u);
    ASSERT_EQ(restored.left.size(), 2u);
    EXPECT_NE(restored.left[0].find("0x8001 (deleted)"), std::string::npos);
}

TEST(CachedBitmaps, MutatedStreamsNeverCrash) {
    Sent s = Sending(RepeatingSpool(), true);
    s.Cache(2, 0);
    s.Cache(3, 0);
    const Bytes stream = s.Finish();
    SplitMix64 rng(7);
    InspectOptions all;
    all.allCopies = true;
    for (int i = 0; i < 400; ++i) {
        Bytes m = i % 3 == 0 ? Concat({stream, stream}) : stream;
        for (int k = 0; k < 1 + i % 4; ++k) {
            const size_t at = rng.Below(static_cast<uint32_t>(m.size()));
            m[at] = static_cast<uint8_t>(i % 2 ? rng.Below(256) : m[at] ^ 0x80);
        }
        if (i % 5 == 0) m.resize(rng.Below(static_cast<uint32_t>(m.size())));
        const InspectReport r = InspectStream(m, all);
        (void)FormatReportText(r);
        (void)FormatReportJson(r);
        RestoreOptions second;
        second.copy = i % 3 == 0 ? 1 : 0;
        const RestoreResult restored = RestoreSpool(m, second);
        if (restored.ok) {
            EXPECT_TRUE(r.ok);
        }
    }
}

TEST(CachedBitmaps, CommandRestoresAndFailsOnUnresolvedReferences) {
    const Bytes spool = RepeatingSpool();
    Sent good = Sending(spool, true);
    good.Cache(2, 0);
    Sent bad = Sending(spool, false);
    bad.Refer(2, 2, -8);
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("ql_restore_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    auto write = [&](const char* name, const Bytes& b) {
        std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(b.data()),
                                                          static_cast<std::streamsize>(b.size()));
        return (dir / name).string();
    };
    const std::string in = write("good.bin", good.Finish()), broken = write("bad.bin", bad.Finish());
    const std::string out = (dir / "out.spl").string();

    std::ostringstream o, e;
    EXPECT_EQ(RunInspect({"--restore", out, in}, o, e), 0) << e.str();
    EXPECT_EQ(ReadFile(out), spool);
    EXPECT_NE(o.str().find("1 cached bitmaps expanded"), std::string::npos) << o.str();

    std::ostringstream bo, be;
    EXPECT_EQ(RunInspect({broken}, bo, be), 1);
    EXPECT_NE(be.str().find("1 of 1 cached bitmaps do not resolve; first: "), std::string::npos) << be.str();
    std::ostringstream ao, ae;
    EXPECT_EQ(RunInspect({"--copy", "1", in}, ao, ae), 2);  // --copy goes with --restore
    EXPECT_EQ(RunInspect({"--restore", out, "--copy", "2", in}, ao, ae), 2);
    std::filesystem::remove_all(dir);
}

} // namespace
