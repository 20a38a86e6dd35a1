// Bitmap compression: the decisions of the compression step (each leaves the
// record byte for byte as it was, with its log line), the codec on real
// photographs (size against the target, PSNR of the decoded image), and one
// job through the built-in compressing printer (every bitmap depth) read back
// by the stream inspector.
#include "diag/DbgLog.h"
#include "emf/BitmapCompress.h"
#include "emf/EmfRecords.h"
#include "jpeg2000/Jp2Codec.h"
#include "tools/lib/BitmapTransforms.h"
#include "tools/lib/EmfBuilder.h"
#include "tools/lib/SpoolWriter.h"
#include "tools/lib/StreamReader.h"

#include "palhost.h"
#include "support/TestMachine.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using qltest::Contains;
using qltest::Dump;
using qltools::ImageKind;

class Compress : public ::testing::Test {
protected:
    void SetUp() override {
        qltest::SetUpMachine("compress", qltest::Attach::LogOnly);
        pal::host::TakeDebugOutput();
    }
};

Bytes MakeRecord(const qltools::Dib& dib) {
    return qltools::MakeStretchDIBitsRecord(dib);
}

Bytes PhotoRecord(uint32_t w, uint32_t h, uint32_t bpp) {
    return MakeRecord(qltools::MakeDib(qltools::MakePhotoImage(w, h, 3), bpp, false));
}

ComprCnf Config(DWORD rule, DWORD level = 1, DWORD coder = JPEG2000_CODER_STANDARD) {
    ComprCnf c{};
    c.adwCompressionRule[0] = rule;
    c.dwCompressCompare = level;
    c.dwJpeg2000Coder = coder;
    return c;
}

// The coders this build has, with the name the transform report gives them.
struct CoderCase {
    DWORD value;
    qltools::Jpeg2000Coder coder;
};
// PSNR of a photograph at 20:1: the HT coder's size control lands further
// below the target on a 16-colour one (its size does not follow a power of
// the quantisation step).
double MinPsnr(DWORD coder, uint32_t bpp) {
    return coder == JPEG2000_CODER_HT && bpp == 4 ? 25.0 : 30.0;
}

std::vector<CoderCase> Coders() {
    std::vector<CoderCase> coders{{JPEG2000_CODER_STANDARD, qltools::Jpeg2000Coder::Standard}};
    if (JP2_HT_CODER_AVAILABLE) coders.push_back({JPEG2000_CODER_HT, qltools::Jpeg2000Coder::HighThroughput});
    return coders;
}

uLong DeflateSize(const uint8_t* p, size_t n, int level) {
    Bytes out(compressBound(n));
    uLongf len = out.size();
    compress2(out.data(), &len, p, n, level);
    return len;
}

// A 24-bit bitmap of at least 600 bytes of bits and a percentage p with
// p x assumed size / 100 = Z + delta, Z being the stored (level 0) deflate of
// its bits: the sizes are found by search.
struct Fit {
    Bytes record;
    DWORD percent = 0;
};
Fit FitDeflate(int delta) {
    for (uint32_t h = 8; h < 64; ++h) {
        for (uint32_t w = 8; w < 64; ++w) {
            const qltools::Dib dib = qltools::MakeDib(qltools::MakeGradientImage(w, h), 24, false);
            if (dib.bits.size() < 600) continue;
            const int64_t z = static_cast<int64_t>(DeflateSize(dib.bits.data(), dib.bits.size(), 0));
            for (DWORD p = 1; p < 256; ++p)
                if (int64_t(p) * w * h * 3 / 100 == z + delta) return {MakeRecord(dib), p};
        }
    }
    return {};
}

// Uniform noise, which no codec compresses.
Bytes NoiseRecord(uint32_t w, uint32_t h) {
    qltools::Dib dib = qltools::MakeDib(qltools::MakeFlatImage(w, h, 0, 0, 0), 24, false);
    qltools::SplitMix64 gen(5);
    for (auto& b : dib.bits) b = static_cast<uint8_t>(gen.Next());
    return MakeRecord(dib);
}

qltools::RgbImage NoiseImage(uint32_t w, uint32_t h) {
    qltools::RgbImage image = qltools::MakeFlatImage(w, h, 0, 0, 0);
    qltools::SplitMix64 gen(9);
    for (auto& b : image.rgb) b = static_cast<uint8_t>(gen.Next());
    return image;
}

DWORD Type(const Bytes& rec) { return LoadRecord<StretchDIBitsRecord>(rec.data()).iType; }

std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// Each decision, with the line it logs. 32 x 32 x 3 = 3072 assumed bytes.
TEST_F(Compress, Decisions) {
    struct Case {
        const char* name;
        std::function<Bytes()> record;
        DWORD rule, level;
        bool compressed;
        std::string line;
    };
    const auto withHeader = [](Bytes rec, const std::function<void(BITMAPINFOHEADER&)>& change) {
        auto r = LoadRecord<StretchDIBitsRecord>(rec.data());
        auto h = LoadRecord<BITMAPINFOHEADER>(rec.data() + r.offBmiSrc);
        change(h);
        StoreRecord(rec.data() + r.offBmiSrc, h);
        return rec;
    };
    // Threshold (ZIP percent) and target (lossy percent) placed around Z.
    const Fit atZ = FitDeflate(0), belowZ = FitDeflate(-1), aboveZ = FitDeflate(1);
    ASSERT_FALSE(atZ.record.empty() || belowZ.record.empty() || aboveZ.record.empty());
    // Deflates to far more than the target: with the log off the trial stops
    // early, with it on it logs the size compress2 gives.
    const Bytes photo = PhotoRecord(400, 300, 24);
    const auto bits = LoadRecord<StretchDIBitsRecord>(photo.data());
    const std::string photoZip =
        "ZIP (-1) size: " + std::to_string(DeflateSize(photo.data() + bits.offBitsSrc, bits.cbBitsSrc, 1));
    const Case cases[] = {
        {"ZIP 100", [] { return PhotoRecord(64, 64, 24); }, 0x6405, 1, false, "++ B. to small ZIP == 100"},
        {"target 150 of a bitmap below 500 bytes", [] { return PhotoRecord(10, 10, 24); }, 0x0032, 1, false,
         "++ B. not used (< MinBufferSize (500 Bytes))"},
        {"target raised to 500", [] { return PhotoRecord(20, 20, 24); }, 0x000A, 1, true, "Adjust B. Size 120 -> 500"},
        // Lossy 1 % (target raised to 500, below Z) behind the threshold.
        {"deflate equal to the threshold", [&] { return atZ.record; }, atZ.percent << 8 | 1, 0, false,
         "++ B. not used (use ZIP image is lower than ZIP threshold)"},
        {"deflate one above the threshold", [&] { return belowZ.record; }, belowZ.percent << 8 | 1, 0, true,
         "++ B. will be Rere comressed to: 500 bytes"},
        // ZIP 0 %: only the target counts.
        {"deflate below the target", [&] { return aboveZ.record; }, aboveZ.percent, 0, false,
         "++ B. not used (use ZIP is better)"},
        {"deflate equal to the target", [&] { return atZ.record; }, atZ.percent, 0, true,
         "++ B. will be Rere comressed to: "},
        {"deflate far above the target", [&] { return photo; }, 0x0005, 1, true, photoZip},
        // 5 x 48 pixels in rows padded to 16 bytes, lossy 106 %: a target above
        // the raw size sets no rate limit, and noise outgrows its bits.
        {"stream bigger than the space", [] { return NoiseRecord(5, 48); }, 0x006A, 0, false, "picture cannot be saved, because picture is bigger than space"},
        {"1 bit", [] { return PhotoRecord(256, 256, 1); }, 0x0001, 0, false, " don't support 1 bit B.'s"},
        {"negative height", [] { return MakeRecord(qltools::MakeDib(qltools::MakePhotoImage(64, 64, 1), 24, true)); },
         0x0005, 0, false, "value(2) < 0 ---> return"},
        {"bit fields", [&] { return withHeader(PhotoRecord(64, 64, 16), [](auto& h) { h.biCompression = BI_BITFIELDS; }); },
         0x0005, 0, false, "++ B. not rgb"},
        {"colour index beyond the table", [&] { return withHeader(PhotoRecord(64, 64, 8), [](auto& h) { h.biClrUsed = 2; }); },
         0x0005, 0, false, "Rere Error = -30"},
        {"rows wider than the bits", [&] { return withHeader(PhotoRecord(64, 64, 24), [](auto& h) { h.biWidth = 65; }); },
         0x0005, 0, false, "++ B. not used (rows of 65 x 64 pixels"},
        {"width times height overflows", [&] { return withHeader(PhotoRecord(64, 64, 24), [](auto& h) { h.biWidth = 0x40000000; }); },
         0x0005, 0, false, "++ B. not used (rows of"},
    };
    // Each decision is the same with the log off (the trial deflate may then
    // stop once it has decided).
    for (const Case& c : cases)
    for (const bool fLogged : {true, false}) {
        SCOPED_TRACE(std::string(c.name) + (fLogged ? "" : ", log off"));
        Bytes rec = c.record();
        ASSERT_FALSE(rec.empty());
        const Bytes before = rec;
        const ComprCnf cnf = Config(c.rule, c.level);
        const DWORD dwDebugLevel = g_dwDebugLevel;
        if (!fLogged) g_dwDebugLevel = 0;
        CompressStretchDIBits(rec.data(), static_cast<DWORD>(rec.size()), &cnf, nullptr);
        g_dwDebugLevel = dwDebugLevel;
        const auto lines = pal::host::TakeDebugOutput();
        if (fLogged) {
            EXPECT_TRUE(Contains(lines, U16(c.line))) << Dump(lines);
        }
        EXPECT_EQ(Type(rec), c.compressed ? EMR_COMPRESSEDDIBITS : EMR_STRETCHDIBITS_TYPE);
        if (!c.compressed) {
            EXPECT_TRUE(rec == before);
        }
    }
}

// Each real photograph of the corpus (24 bits) compressed at 20:1: the
// coder's stream replaces colour table and bits, within the target and close
// below it; the header is kept; the image decodes at its size with a PSNR of
// at least 30 dB against the bitmap as drawn.
TEST_F(Compress, CorpusPhotographsAtTwentyToOne) {
    const fs::path dir = fs::path(QL_CORPUS_DIR) / "photos";
    if (!fs::is_directory(dir)) GTEST_SKIP() << "corpus folder missing: " << dir;
    for (const CoderCase& coder : Coders()) {
        for (const auto& entry : fs::directory_iterator(dir)) {
            SCOPED_TRACE(std::string(qltools::Jpeg2000CoderName(coder.coder)) + " " + entry.path().filename().string());
            const auto file = qltools::ReadWholeFile(entry.path().string());
            ASSERT_TRUE(file && file->size() > 54);
            // A BMP file is a 14-byte file header, then the DIB as a record holds it.
            const uint32_t offBits = LoadRecord<uint32_t>(file->data() + 10);
            qltools::Dib dib;
            std::memcpy(&dib.header, file->data() + 14, sizeof(dib.header));
            dib.header.biSize = sizeof(dib.header);
            dib.bits.assign(file->begin() + offBits, file->end());
            dib.bits.resize(qltools::DibStride(dib.Width(), 24) * dib.Height());
            Bytes rec = MakeRecord(dib);
            const Bytes before = rec;
            const ComprCnf cnf = Config(0x0005, 1, coder.value);
            CompressStretchDIBits(rec.data(), static_cast<DWORD>(rec.size()), &cnf, nullptr);
            ASSERT_EQ(Type(rec), EMR_COMPRESSEDDIBITS) << Dump(pal::host::TakeDebugOutput());
            std::string why;
            const auto original = qltools::StretchDIBitsToRgb(before, &why);
            ASSERT_TRUE(original) << why;
            const DWORD cb = LoadRecord<StretchDIBitsRecord>(rec.data()).cbBitsSrc;
            const DWORD target = original->width * original->height * 3 / 20;
            EXPECT_LE(cb, target);
            EXPECT_GE(cb, target * 9 / 10);
            EXPECT_TRUE(std::equal(rec.begin() + 80, rec.begin() + 120, before.begin() + 80)) << "header kept";
            EXPECT_EQ(qltools::Jpeg2000CoderOf({rec.data() + 120, cb}), coder.coder);
            uint32_t comps = 0;
            const auto decoded = qltools::DecodeJpeg2000({rec.data() + 120, cb}, &comps, &why);
            ASSERT_TRUE(decoded) << why;
            EXPECT_EQ(decoded->width, original->width);
            EXPECT_EQ(decoded->height, original->height);
            EXPECT_GE(qltools::Psnr(decoded->rgb, original->rgb), 30.0);
        }
    }
}

// The codec alone on an image, rows read from `image`: the stream, or the
// codec's error.
struct Encoded {
    int rc = 0;
    Bytes stream;
};
Encoded EncodeImage(const qltools::RgbImage& image, uint32_t target, int coder) {
    struct Sink {
        Bytes bytes;
        uint32_t capacity;
    } sink{{}, target + JP2_HT_SIZE_SLACK};
    const auto output = [](const unsigned char* p, uint32_t at, uint32_t n, void* ctx) {
        auto* s = static_cast<Sink*>(ctx);
        if (uint64_t(at) + n > s->capacity) return -3;
        if (s->bytes.size() < at + n) s->bytes.resize(at + n);
        std::memcpy(s->bytes.data() + at, p, n);
        return 0;
    };
    const auto reader = [](unsigned char* dest, int comp, uint32_t y, uint32_t x, uint32_t n, void* ctx) {
        const auto* img = static_cast<const qltools::RgbImage*>(ctx);
        for (uint32_t i = 0; i < n; ++i) dest[i] = img->rgb[(size_t(y) * img->width + x + i) * 3 + comp];
        return 0;
    };
    JP2_HANDLE h = nullptr;
    Encoded out;
    out.rc = Jp2Create(&h, [](size_t cb, void*) { return std::malloc(cb); }, nullptr, [](void* p, void*) { std::free(p); },
                       nullptr, JP2_COMPONENTS_RGB);
    const std::pair<int, intptr_t> options[] = {
        {JP2_OPT_WIDTH, image.width}, {JP2_OPT_HEIGHT, image.height}, {JP2_OPT_TARGET_SIZE, target},
        {JP2_OPT_CODER, coder}, {JP2_OPT_THREADS, 1},
        {JP2_OPT_OUTPUT, reinterpret_cast<intptr_t>(+output)}, {JP2_OPT_OUTPUT_CONTEXT, reinterpret_cast<intptr_t>(&sink)},
        {JP2_OPT_ROW_READER, reinterpret_cast<intptr_t>(+reader)},
        {JP2_OPT_ROW_READER_CONTEXT, reinterpret_cast<intptr_t>(&image)}};
    for (const auto& [id, value] : options) out.rc = out.rc ? out.rc : Jp2SetOption(h, id, -1, -1, value);
    out.rc = out.rc ? out.rc : Jp2Encode(h);
    if (h) Jp2Destroy(h);
    out.stream = std::move(sink.bytes);
    return out;
}

// The HT coder's size control (no rate allocation: a quantisation step
// estimated from a sample of rows, one encode, one correction): on images no
// codec compresses, on flat ones and on photographs, small and large enough
// to be sampled, at high and low rates, the stream stays within the target
// (within target + 65,535 bytes where the target is below what the coder can
// reach), a photograph lands close below it, and the stream decodes with the
// standard decoder.
TEST_F(Compress, HighThroughputSizeControl) {
    if (!JP2_HT_CODER_AVAILABLE) GTEST_SKIP() << "no HT coder in this build";
    struct Case {
        const char* name;
        qltools::RgbImage image;
        uint32_t percent;   // target in percent of the 24-bit size, 0: 500 bytes
        bool slack;         // may use the slack beyond the target
        double closeBelow;  // the stream is at least this part of the target
        double minPsnr;
    };
    const Case cases[] = {
        {"photo 640 x 480 at 20:1", qltools::MakePhotoImage(640, 480, 2), 5, false, 0.9, 30},
        {"photo 2480 x 2000 at 20:1 (sampled)", qltools::MakePhotoImage(2480, 2000, 3), 5, false, 0.85, 30},
        {"photo 2480 x 2000 at 100:1 (sampled)", qltools::MakePhotoImage(2480, 2000, 4), 1, false, 0.8, 25},
        {"photo 2480 x 2000 at 4:1 (sampled)", qltools::MakePhotoImage(2480, 2000, 5), 25, false, 0.9, 35},
        {"photo 300 x 200 at 500 bytes", qltools::MakePhotoImage(300, 200, 6), 0, true, 0, 15},
        {"noise 2480 x 2000 at 2:1 (sampled)", NoiseImage(2480, 2000), 50, false, 0, 0},
        {"noise 640 x 480 at 20:1", NoiseImage(640, 480), 5, false, 0, 0},
        {"flat 2480 x 2000 at 20:1", qltools::MakeFlatImage(2480, 2000, 40, 90, 200), 5, false, 0, 50},
        {"flat 64 x 64 at 500 bytes", qltools::MakeFlatImage(64, 64, 255, 255, 255), 0, true, 0, 50},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const uint32_t raw = c.image.width * c.image.height * 3;
        const uint32_t target = c.percent ? raw / 100 * c.percent : MIN_BUFFER_SIZE;
        const Encoded e = EncodeImage(c.image, target, JP2_CODER_HT);
        ASSERT_EQ(e.rc, 0);
        EXPECT_LE(e.stream.size(), target + (c.slack ? JP2_HT_SIZE_SLACK : 0));
        EXPECT_GE(double(e.stream.size()), c.closeBelow * target);
        EXPECT_EQ(qltools::Jpeg2000CoderOf(e.stream), qltools::Jpeg2000Coder::HighThroughput);
        uint32_t comps = 0;
        std::string why;
        const auto decoded = qltools::DecodeJpeg2000(e.stream, &comps, &why);
        ASSERT_TRUE(decoded) << why;
        ASSERT_EQ(decoded->rgb.size(), c.image.rgb.size());
        EXPECT_GE(qltools::Psnr(decoded->rgb, c.image.rgb), c.minPsnr);
    }
}

// One job through "QL Spool Bridge (compressed)" of the built-in machine:
// photographs at every depth on two pages (the second page's are cached
// references), read back with the inspector's transform report, restored
// lossily and printed again.
TEST_F(Compress, JobThroughTheCompressingPrinter) {
    for (const CoderCase& coder : Coders()) {
    SCOPED_TRACE(qltools::Jpeg2000CoderName(coder.coder));
    const fs::path dir = qltest::MachineRoot() / ("e2e-" + std::to_string(coder.value));
    fs::create_directories(dir);
    qltools::SpoolJobOptions job;
    job.images = {ImageKind::Photo};
    job.bitsPerPixel = {1, 4, 8, 16, 24, 32};
    job.imageWidth = 480;
    job.imageHeight = 360;
    job.seed = 7;
    job.extraPages.push_back(qltools::GenerateEmfPage(job, 1));  // the same bitmaps again
    const Bytes spool = qltools::GenerateSpoolJob(job);
    const fs::path spl = dir / "job.spl";
    std::ofstream(spl, std::ios::binary).write(reinterpret_cast<const char*>(spool.data()), spool.size());

    const std::string qlspool = std::string(QL_BIN_DIR) + "/qlspool";
    const std::string root = (dir / "machine").string(), reg = (dir / "machine.reg").string();
    const auto run = [&](const std::string& args) {
        return std::system((qlspool + " " + args + " --quiet > /dev/null").c_str());
    };
    // The built-in machine, with the trial deflate of the compressing printer
    // at level 0: at 20:1 a palettised photograph deflates below its target
    // and would stay as it is.
    ASSERT_EQ(std::system((qlspool + " machine > '" + reg + "'").c_str()), 0);
    std::ofstream(reg, std::ios::app) << "\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\"
                                         "QL Spool Bridge (compressed)\\PrinterDriverData]\n"
                                         "\"CompressCompare\"=dword:00000000\n"
                                         "\"JPEG2000Coder\"=dword:0000000"
                                      << coder.value << "\n";
    const std::string machine = " --machine '" + reg + "' --drive-root '" + root + "' ";
    ASSERT_EQ(run("print" + machine + "--printer 'QL Spool Bridge (compressed)' '" + spl.string() + "'"), 0);
    const auto port = qltools::ReadWholeFile(root + "/ports/QLPORT3_");
    ASSERT_TRUE(port);

    qltools::InspectOptions options;
    options.keepLogical = true;
    const auto report = qltools::InspectStream(*port, options);
    ASSERT_TRUE(report.ok) << report.error;
    const auto t = qltools::AnalyseBitmaps(report, spool, false);
    ASSERT_TRUE(t.ok) << t.error;
    ASSERT_EQ(t.bitmaps.size(), 12u) << qltools::FormatTransformText(t);
    for (size_t i = 0; i < 6; ++i) {
        const auto& b = t.bitmaps[i];
        SCOPED_TRACE("bpp " + std::to_string(b.bitCount));
        if (b.bitCount == 1) {
            EXPECT_EQ(b.action, qltools::BitmapAction::Kept);
            continue;
        }
        ASSERT_EQ(b.action, qltools::BitmapAction::Compressed);
        EXPECT_EQ(b.components, 3u);
        EXPECT_EQ(b.coder, coder.coder);
        EXPECT_LE(b.streamBytes, 480u * 360 * 3 / 20);
        ASSERT_TRUE(b.psnr);
        EXPECT_GE(*b.psnr, MinPsnr(coder.value, b.bitCount));
        EXPECT_EQ(t.bitmaps[i + 6].action, qltools::BitmapAction::Cached);
        EXPECT_EQ(t.bitmaps[i + 6].cachedImage, b.image);
    }
    EXPECT_EQ(t.bytesOnWire + t.savedByCompression + t.savedByCache, t.bytesIn);

    std::ostringstream out, err;
    const std::string restored = (dir / "restored.spl").string();
    EXPECT_EQ(qltools::RunInspect({"--report", "--input", spl.string(), "--restore", restored, "--lossy",
                                   root + "/ports/QLPORT3_"},
                                  out, err),
              0)
        << err.str();
    EXPECT_NE(out.str().find("compressed to "), std::string::npos) << out.str();
    const auto back = qltools::ReadWholeFile(restored);
    ASSERT_TRUE(back);
    const auto again = qltools::InspectStream(*back);
    ASSERT_TRUE(again.ok) << again.error;
    EXPECT_EQ(again.emfTotals.count(EMR_COMPRESSEDDIBITS) + again.emfTotals.count(EMR_CACHEDDIBITS), 0u);
    EXPECT_EQ(again.emfTotals.at(EMR_STRETCHDIBITS_TYPE), 12u);
    for (const char* printer : {"QL Spool Bridge", "QL Spool Bridge (cached)"})
        EXPECT_EQ(run("print" + machine + "--printer '" + printer + "' '" + restored + "'"), 0) << printer;
    }
}

} // namespace
