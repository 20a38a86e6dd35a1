// The inspector on hand-made transport streams: framed output with holes,
// malformed streams, and cached bitmap references that do not resolve or
// cannot be restored. (Streams the product really sends, cached references
// and copies included: the gateway round trips and the host's gateway jobs;
// mutated streams: the stream fuzz target.) Also the spool generator command,
// the JSON report's escaping and the wrapping of the corpus's real EMF files.
#include "native/Devmode.h"
#include "tools/lib/EmfBuilder.h"
#include "tools/lib/SpoolRestore.h"
#include "tools/lib/SpoolWriter.h"
#include "tools/lib/StreamReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

using namespace qltools;

namespace {

using Bytes = std::vector<uint8_t>;

std::filesystem::path CorpusDir(const char* sub) { return std::filesystem::path(QL_CORPUS_DIR) / sub; }

Bytes ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    Bytes data(in ? static_cast<size_t>(in.tellg()) : 0);
    in.seekg(0);
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return data;
}

std::vector<std::filesystem::path> FilesIn(const std::filesystem::path& dir) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

// A temporary folder for command tests, removed with the object.
struct TempDir {
    std::filesystem::path dir;
    explicit TempDir(const char* name)
        : dir(std::filesystem::temp_directory_path() / (std::string(name) + "-" + std::to_string(::getpid()))) {
        std::filesystem::create_directories(dir);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string Path(const std::string& name) const { return (dir / name).string(); }
    std::string Write(const std::string& name, const Bytes& b) const {
        std::ofstream(dir / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
        return Path(name);
    }
};

// Offsets of the EMF records of one type in a page.
std::vector<size_t> RecordsOfType(const Bytes& emf, uint32_t type) {
    std::vector<size_t> found;
    for (size_t p = 0; p + 8 <= emf.size();) {
        const uint32_t t = qltools::GetU32(emf, p), size = qltools::GetU32(emf, p + 4);
        if (t == type) found.push_back(p);
        if (size < 8) break;
        p += size;
    }
    return found;
}

template <typename T>
T ReadStruct(const Bytes& b, size_t offset) {
    T v{};
    if (offset + sizeof(T) <= b.size()) std::memcpy(&v, b.data() + offset, sizeof(T));
    return v;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Frames `payload` as the job writer does: every range in `holes` (offset in
// the payload, length) becomes a hole block, every other range a data block;
// a data range is further cut at `cuts` (payload offsets, e.g. record starts).
Bytes Frame(const Bytes& payload, std::vector<std::pair<size_t, uint32_t>> holes,
                   std::vector<size_t> cuts = {}) {
    std::sort(holes.begin(), holes.end());
    std::sort(cuts.begin(), cuts.end());
    Bytes out;
    auto data = [&](size_t from, size_t to) {
        while (from < to) {
            size_t end = to;
            for (size_t c : cuts)
                if (c > from && c < end) end = c;
            qltools::AppendU32(out, 0x08080000);
            qltools::AppendU32(out, static_cast<uint32_t>(end - from));
            out.insert(out.end(), payload.begin() + static_cast<ptrdiff_t>(from),
                       payload.begin() + static_cast<ptrdiff_t>(end));
            from = end;
        }
    };
    size_t pos = 0;
    for (const auto& [at, length] : holes) {
        data(pos, at);
        qltools::AppendU32(out, 0x80800000);
        qltools::AppendU32(out, length);
        pos = at + length;
    }
    data(pos, payload.size());
    return out;
}

// The marker a transport stream begins with, and a header block.
Bytes Marker() { return Bytes{'%', '%', 'E', 'M', 'F'}; }

Bytes Block(uint8_t tag, const Bytes& payload) {
    Bytes b{tag};
    qltools::AppendU32(b, static_cast<uint32_t>(payload.size() + 5));
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

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
};

FramedCase MakeFramed() {
    FramedCase c;
    DevmodeOptions dm;
    dm.trailerFlags = QL_IGNORE_TRAYS;
    c.header = Concat(
        {Marker(), Block(kDevmodeBlockTag, BuildDevmode(dm)), Block(kJdfBlockTag, Bytes{'<', 'J', '/', '>'})});
    const Bytes spool = SmallJob();
    // The watermark block without framing: u32 0, u32 0x40000000, u32 L, the page.
    const Bytes watermark = EmfBuilder().Finish();
    Bytes payload = {0, 0, 0, 0, 0, 0, 0, 0x40};
    AppendU32(payload, static_cast<uint32_t>(watermark.size()));
    payload = Concat({payload, watermark, spool});
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
    for (const auto& [at, len] : holes) std::fill_n(zeroed.begin() + static_cast<ptrdiff_t>(at), len, 0);
    c.logical = Concat({c.header, zeroed});
    return c;
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
    const size_t bitmap = InspectStream(spool).records.at(1).offset + 8 + 108;
    PutU32(badEmf, bitmap + 4, 6);

    struct Case {
        const char* what;
        Bytes stream;
        uint64_t offset;
        std::string reason;
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
        {"EMF record size", badEmf, bitmap, "not a multiple of 4"},
        // A hole over an EMF record header (the sender never makes one) leaves a record of size 0.
        {"record inside a hole", Concat({Marker(), Frame(spool, {{bitmap, 12}})}), 13 + bitmap,
         "logical offset " + std::to_string(5 + bitmap) + " (inside a hole)"},
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

    // A page record of size 0 ends the record loop: the rest is not read.
    const InspectReport ended = InspectStream(Concat({spool, Bytes{3, 0, 0, 0, 0, 0, 0, 0}, Bytes(16, 0)}));
    EXPECT_TRUE(ended.ok && ended.records.back().endsLoop) << ended.error;
    EXPECT_NE(ended.warnings.at(0).find("ends the record loop"), std::string::npos);

    // A 2 GiB hole is only indexed; filling the logical stream in is refused
    // past the configured limit.
    const Bytes holey = Concat({Marker(), Frame(Bytes(16, 1), {{8, 0x7FFFFFFF}})});
    InspectOptions small;
    small.maxLogicalBytes = 4096;
    EXPECT_EQ(InspectStream(holey, small).error.find("grow past"), std::string::npos);
    small.keepLogical = true;
    const InspectReport big = InspectStream(holey, small);
    EXPECT_FALSE(big.ok);
    EXPECT_NE(big.error.find("grow past"), std::string::npos);
    RestoreOptions capped;
    capped.maxBytes = 4096;
    EXPECT_FALSE(RestoreSpool(holey, capped).ok);
}

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

TEST(CachedBitmaps, ReferencesThatDoNotResolveAndPrivateRecords) {
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

    // A deleted bitmap and a reference to it cannot be restored: both are left
    // as they are and listed.
    Sent deleted = base;
    deleted.Cache(2, 0);
    PutU32(deleted.payload, deleted.bitmaps[0], EMR_DELETEDDIBITS);
    const RestoreResult left = RestoreSpool(deleted.Finish());
    ASSERT_TRUE(left.ok) << left.error;
    EXPECT_FALSE(left.Complete());
    EXPECT_EQ(left.leftPrivate, 2u);
    ASSERT_EQ(left.left.size(), 2u);
    EXPECT_NE(left.left[0].find("0x8001 (deleted)"), std::string::npos);
}

// The inspect command: the logical stream and the restored file written out,
// text and JSON reports, and the exit codes (1: a broken stream, 2: bad use).
TEST(InspectCommand, FilesReportsAndExitCodes) {
    const TempDir dir("qlinspect");
    const FramedCase c = MakeFramed();
    const std::string in = dir.Write("framed.bin", c.stream), bad = dir.Write("bad.bin", Bytes{'%', '%', 'E', 'M', 'F', 2, 1});
    const std::string logical = dir.Path("logical.bin");
    std::ostringstream o, e;
    EXPECT_EQ(RunInspect({"--logical", logical, in}, o, e), 0) << e.str();
    EXPECT_EQ(ReadFile(logical), c.logical);
    for (const char* text : {"hole", "form public+8", "QL_IGNORE_TRAYS", "(4 ticket bytes): \"<J/>\"", "EMF page of "})
        EXPECT_NE(o.str().find(text), std::string::npos) << text;
    std::ostringstream bo, be;
    EXPECT_EQ(RunInspect({"--logical", dir.Path("x"), bad}, bo, be), 1);
    EXPECT_NE(be.str().find("offset 5"), std::string::npos) << be.str();
    EXPECT_FALSE(std::filesystem::exists(dir.Path("x")));

    // Restoring a stream with cached bitmaps, and failing on one whose
    // reference does not resolve.
    const Bytes spool = RepeatingSpool();
    Sent good = Sending(spool, true);
    good.Cache(2, 0);
    Sent broken = Sending(spool, false);
    broken.Refer(2, 2, -8);
    const std::string cached = dir.Write("good.bin", good.Finish()), unresolved = dir.Write("unres.bin", broken.Finish());
    const std::string out = dir.Path("out.spl");
    std::ostringstream ro, re;
    EXPECT_EQ(RunInspect({"--restore", out, cached}, ro, re), 0) << re.str();
    EXPECT_EQ(ReadFile(out), spool);
    EXPECT_NE(ro.str().find("1 cached bitmaps expanded"), std::string::npos) << ro.str();
    std::ostringstream uo, ue;
    EXPECT_EQ(RunInspect({unresolved}, uo, ue), 1);
    EXPECT_NE(ue.str().find("1 of 1 cached bitmaps do not resolve; first: "), std::string::npos) << ue.str();

    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"--bogus", in}, {dir.Path("missing")}, {in, in}, {"--logical"},
             {"--copy", "1", cached},  // --copy goes with --restore
             {"--restore", out, "--copy", "2", cached}}) {
        std::ostringstream ao, ae;
        EXPECT_EQ(RunInspect(args, ao, ae), 2);
    }
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

// Wrapping refuses an EMF whose record structure is broken, naming the file
// and the byte; a file whose records tile cleanly is wrapped byte for byte.
// Every *bad_corrupted* file of the corpus has a broken structure and is
// refused; every other file is wrapped and inspects cleanly.
TEST(CorpusEmf, WrappingEveryRealEmfFile) {
    const auto dir = CorpusDir("emf");
    if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no corpus at " << dir;
    std::vector<Bytes> good;
    std::vector<std::string> names;
    int refused = 0, corruptFiles = 0;
    for (const auto& path : FilesIn(dir)) {
        const std::string name = path.filename().string();
        SCOPED_TRACE(name);
        const Bytes emf = ReadFile(path);
        const bool corrupt = name.find("bad_corrupted") != std::string::npos;
        corruptFiles += corrupt;
        Bytes spool;
        try {
            spool = WrapEmfPages({emf}, {name}, u"corpus");
        } catch (const std::invalid_argument& e) {
            EXPECT_TRUE(corrupt) << e.what();
            EXPECT_NE(std::string(e.what()).find(name), std::string::npos);
            ++refused;
            continue;
        }
        const InspectReport r = InspectStream(spool);
        ASSERT_TRUE(r.ok) << r.error;
        ASSERT_EQ(r.records.size(), 3u);
        EXPECT_EQ(r.records[1].size, (emf.size() + 3) / 4 * 4);
        ASSERT_TRUE(r.records[1].page);
        EXPECT_EQ(r.records[1].page->records, CheckEmf(emf).records);
        EXPECT_EQ(r.records[2].target, std::optional<uint64_t>(r.records[1].offset));
        if (!corrupt) {
            good.push_back(emf);
            names.push_back(name);
        }
    }
    EXPECT_EQ(refused, corruptFiles);
    ASSERT_FALSE(good.empty());
    const InspectReport all = InspectStream(WrapEmfPages(good, names, u"all"));
    ASSERT_TRUE(all.ok) << all.error;
    EXPECT_EQ(all.pages, good.size());
}

} // namespace
