// Bitmap compression: the decisions of the compression step (each leaves the
// record byte for byte as it was, with its log line), the codec on every
// bitmap depth and on real photographs (size against the target, PSNR of the
// decoded image), and one job through the built-in compressing printer read
// back by the stream inspector.
#include "emf/BitmapCompress.h"
#include "emf/EmfRecords.h"
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

constexpr char kMachine[] = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Quillon\QLWinPrn]
"DebugLevel"=dword:00020001
)";

class Compress : public ::testing::Test {
protected:
    void SetUp() override {
        qltest::SetUpMachine(kMachine, "compress", qltest::Attach::LogOnly);
        pal::host::TakeDebugOutput();
    }
};

Bytes MakeRecord(const qltools::Dib& dib) {
    return qltools::MakeStretchDIBitsRecord(dib);
}

Bytes PhotoRecord(uint32_t w, uint32_t h, uint32_t bpp) {
    return MakeRecord(qltools::MakeDib(qltools::MakePhotoImage(w, h, 3), bpp, false));
}

ComprCnf Config(DWORD rule, DWORD level = 1) {
    ComprCnf c{};
    c.adwCompressionRule[0] = rule;
    c.dwCompressCompare = level;
    return c;
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
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes rec = c.record();
        ASSERT_FALSE(rec.empty());
        const Bytes before = rec;
        const ComprCnf cnf = Config(c.rule, c.level);
        CompressStretchDIBits(rec.data(), static_cast<DWORD>(rec.size()), &cnf, nullptr);
        const auto lines = pal::host::TakeDebugOutput();
        EXPECT_TRUE(Contains(lines, U16(c.line))) << Dump(lines);
        EXPECT_EQ(Type(rec), c.compressed ? EMR_COMPRESSEDDIBITS : EMR_STRETCHDIBITS_TYPE);
        if (!c.compressed) {
            EXPECT_TRUE(rec == before);
        }
    }
}

// Every depth the row readers handle, at 20:1: the stream replaces colour
// table and bits, the header is kept, the image decodes with a PSNR of at
// least 30 dB against the bitmap as drawn.
TEST_F(Compress, EveryDepthAtTwentyToOne) {
    for (uint32_t bpp : {4u, 8u, 16u, 24u, 32u}) {
        SCOPED_TRACE("bpp " + std::to_string(bpp));
        Bytes rec = PhotoRecord(400, 300, bpp);
        const Bytes before = rec;
        const ComprCnf cnf = Config(0x0005, 0);
        CompressStretchDIBits(rec.data(), static_cast<DWORD>(rec.size()), &cnf, nullptr);
        ASSERT_EQ(Type(rec), EMR_COMPRESSEDDIBITS) << Dump(pal::host::TakeDebugOutput());
        const auto r = LoadRecord<StretchDIBitsRecord>(rec.data());
        const DWORD target = 400 * 300 * 3 / 20;
        EXPECT_LE(r.cbBitsSrc, target);
        EXPECT_GE(r.cbBitsSrc, target * 9 / 10);
        EXPECT_TRUE(std::equal(rec.begin() + 80, rec.begin() + 120, before.begin() + 80)) << "header kept";
        uint32_t comps = 0;
        std::string why;
        const auto decoded = qltools::DecodeJpeg2000({rec.data() + 120, r.cbBitsSrc}, &comps, &why);
        ASSERT_TRUE(decoded) << why;
        const auto original = qltools::StretchDIBitsToRgb(before, &why);
        ASSERT_TRUE(original) << why;
        EXPECT_EQ(decoded->width, 400u);
        EXPECT_EQ(decoded->height, 300u);
        EXPECT_GE(qltools::Psnr(decoded->rgb, original->rgb), 30.0);
    }
}

// Real photographs from the corpus, 24 bits, at 20:1.
TEST_F(Compress, CorpusPhotographs) {
    const fs::path dir = fs::path(QL_CORPUS_DIR) / "photos";
    if (!fs::is_directory(dir)) GTEST_SKIP() << "corpus photos not found at " << dir;
    for (const auto& entry : fs::directory_iterator(dir)) {
        SCOPED_TRACE(entry.path().filename().string());
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
        const ComprCnf cnf = Config(0x0005);
        CompressStretchDIBits(rec.data(), static_cast<DWORD>(rec.size()), &cnf, nullptr);
        ASSERT_EQ(Type(rec), EMR_COMPRESSEDDIBITS) << Dump(pal::host::TakeDebugOutput());
        const auto r = LoadRecord<StretchDIBitsRecord>(rec.data());
        const DWORD target = dib.Width() * dib.Height() * 3 / 20;
        EXPECT_LE(r.cbBitsSrc, target);
        EXPECT_GE(r.cbBitsSrc, target * 9 / 10);
        uint32_t comps = 0;
        const auto decoded = qltools::DecodeJpeg2000({rec.data() + 120, r.cbBitsSrc}, &comps, nullptr);
        const auto original = qltools::StretchDIBitsToRgb(before, nullptr);
        ASSERT_TRUE(decoded && original);
        EXPECT_GE(qltools::Psnr(decoded->rgb, original->rgb), 30.0);
    }
}

// One job through "QL Spool Bridge (compressed)" of the built-in machine:
// photographs at every depth on two pages (the second page's are cached
// references), read back with the inspector's transform report, restored
// lossily and printed again.
TEST_F(Compress, JobThroughTheCompressingPrinter) {
    const fs::path dir = qltest::MachineRoot() / "e2e";
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
                                         "\"CompressCompare\"=dword:00000000\n";
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
        EXPECT_LE(b.streamBytes, 480u * 360 * 3 / 20);
        ASSERT_TRUE(b.psnr);
        EXPECT_GE(*b.psnr, 30.0);
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

} // namespace
