// The EMF walker on hand-built pages: both walkers, the bitmap cache in normal
// and framed output, releasing bytes, and the failure rows (short records,
// records past the page end, bitmaps that do not fit their record). Font data
// moving a page: the gateway round trips.
#include "support/JobMachine.h"

#include "emf/EmfRecords.h"
#include "emf/ParseEMF.h"
#include "fonts/AddFonts.h"
#include "native/JobWriter.h"
#include "printproc/JobContainers.h"
#include "printproc/Util.h"
#include "tools/lib/EmfBuilder.h"
#include "tools/lib/SyntheticImages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>

using namespace qltools;
using Bytes = std::vector<uint8_t>;

namespace {

enum class Walker { Buffer, File, Auto };

uint32_t U32(const Bytes& b, size_t at) { return GetU32(b, at); }
int64_t I64(const Bytes& b, size_t at) {
    int64_t v;
    std::memcpy(&v, b.data() + at, 8);
    return v;
}
void SetU32(Bytes& b, size_t at, uint32_t v) { PutU32(b, at, v); }

// Offsets of the page's records (the EMR_HEADER first).
std::vector<size_t> RecordOffsets(const Bytes& page) {
    std::vector<size_t> offsets;
    for (size_t at = 0; at + 8 <= page.size();) {
        const uint32_t size = U32(page, at + 4);
        if (size < 8 || size > page.size() - at) break;
        offsets.push_back(at);
        at += size;
    }
    return offsets;
}

std::vector<size_t> OffsetsOfType(const Bytes& page, uint32_t type) {
    std::vector<size_t> out;
    for (size_t at : RecordOffsets(page))
        if (U32(page, at) == type) out.push_back(at);
    return out;
}

Dib Logo(uint32_t w = 40, uint32_t h = 30, uint32_t bpp = 24) { return MakeDib(MakeImage(ImageKind::Logo, w, h), bpp, false); }
Dib Noise(uint64_t seed, uint32_t w = 40, uint32_t h = 30) { return MakeDib(MakeNoiseImage(w, h, seed), 24, false); }

// What a walk sent: the raw port bytes, and for framed output the logical
// stream (holes as zeros) and the holes.
struct Output {
    BOOL result = FALSE;
    Bytes port;
    Bytes logical;
    std::vector<std::pair<uint64_t, uint32_t>> holes;  // logical position, length
};

Output Decode(const Bytes& port, bool framed) {
    Output out;
    out.port = port;
    if (!framed) {
        out.logical = port;
        return out;
    }
    for (size_t at = 0; at + 8 <= port.size();) {
        const uint32_t tag = U32(port, at), len = U32(port, at + 4);
        at += 8;
        if (tag == FRAME_HOLE_BLOCK) {
            out.holes.emplace_back(out.logical.size(), len);
            out.logical.insert(out.logical.end(), len, 0);
        } else {
            EXPECT_EQ(tag, FRAME_DATA_BLOCK);
            EXPECT_LE(len, port.size() - at);
            out.logical.insert(out.logical.end(), port.begin() + at, port.begin() + at + len);
            at += len;
        }
    }
    return out;
}

class WalkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        qltest::SetUpJobMachine();
        pal::host::ResetSpooler();
        m_cnf.dwImageRecallMin = DEFAULT_IMAGE_RECALL_MIN;
        m_cnf.dwDPIReductionMin = DEFAULT_DPI_REDUCTION_MIN;
        m_cnf.dwCompressionEMFInMem = DEFAULT_COMPRESSION_EMF_IN_MEM;
        m_cnf.adwCompressionRule[0] = COMPRESSION_RULE_OFF;  // compression off, nothing deleted
        m_tempDir = qltest::MachineRoot() / "walktmp";
        std::filesystem::create_directories(m_tempDir);
        std::memcpy(m_cnf.szTempDir, u"C:\\walktmp", sizeof(u"C:\\walktmp"));
        pal::host::TakeDebugOutput();
    }
    void TearDown() override {
        SetAddFontsHookForTest(nullptr);
        pal::host::ClearFaults();
    }

    // Walks the pages in one document with the given walker; results per page.
    Output Run(const std::vector<Bytes>& pages, Walker walker, std::vector<BOOL>* results = nullptr,
               Bytes* leftInInput = nullptr) {
        pal::host::ResetSpooler();
        Bytes bytes;
        for (const Bytes& page : pages) bytes.insert(bytes.end(), page.begin(), page.end());
        pal::host::JobSpec job;
        job.printer = m_printer;
        job.datatype = u"NT EMF 1.008";
        job.document = u"walk";
        job.data = bytes;
        const DWORD jobId = pal::host::SubmitJob(job);
        std::u16string readName = pal::host::JobReadName(jobId);
        HANDLE hReader = nullptr, hPrinter = nullptr;
        EXPECT_TRUE(OpenPrinterW(readName.data(), &hReader, nullptr));
        EXPECT_TRUE(OpenPrinterW(m_printer.data(), &hPrinter, nullptr));
        m_data->hPrinter = hPrinter;
        m_data->dwJobId = jobId;
        m_data->fFraming = m_framed;
        std::u16string doc = u"walk", type = u"RAW";
        DOC_INFO_1W info{doc.data(), nullptr, type.data()};
        EXPECT_NE(MyStartDocPrinter(m_data, 1, &info, FALSE), 0u);

        Output out;
        out.result = TRUE;
        for (const Bytes& page : pages) {
            BYTE header[8];
            const uint32_t type = 1, size = static_cast<uint32_t>(page.size());
            std::memcpy(header, &type, 4);
            std::memcpy(header + 4, &size, 4);
            BOOL r = FALSE;
            if (walker == Walker::Buffer) {
                r = ParseEMFBuffer(hReader, m_data, header, &m_cnf, nullptr);
            } else if (walker == Walker::File) {
                FILE* temp = tmpfile();
                r = ParseEMFFile(hReader, m_data, header, &m_cnf, temp, nullptr);
                fclose(temp);
            } else {
                r = ParseEMF(hReader, m_data, header, &m_cnf);
            }
            if (results) results->push_back(r);
            if (!r) out.result = FALSE;
        }
        if (leftInInput) {
            BYTE buf[4096];
            DWORD got = 0;
            while (ReadPrinter(hReader, buf, sizeof(buf), &got) && got) leftInInput->insert(leftInInput->end(), buf, buf + got);
        }
        MyEndDocPrinter(m_data, FALSE);
        ClosePrinter(hReader);
        ClosePrinter(hPrinter);
        auto docs = pal::host::PortDocuments();
        EXPECT_EQ(docs.size(), 1u);
        Output decoded = Decode(docs.empty() ? Bytes{} : pal::host::PortDocumentBytes(docs.back()), m_framed);
        decoded.result = out.result;
        return decoded;
    }

    // The page as the logical stream holds it: after the 8-byte page header
    // at `at`.
    static Bytes PageAt(const Output& out, size_t at, size_t size) {
        return Bytes(out.logical.begin() + at + 8, out.logical.begin() + at + 8 + size);
    }

    qltest::HandJobRecord m_job{u"GW"};
    std::u16string& m_printer = m_job.PrinterName();
    PRINTPROCESSORDATA* const m_data = m_job.Data();
    CBitmapCacheMap& m_cache = m_job.Cache();
    ComprCnf m_cnf{};
    bool m_framed = false;
    std::filesystem::path m_tempDir;
};

// The page behind its 8-byte page record header.
Bytes WithHeader(const Bytes& page) {
    Bytes out(8);
    SetU32(out, 0, 1);
    SetU32(out, 4, static_cast<uint32_t>(page.size()));
    out.insert(out.end(), page.begin(), page.end());
    return out;
}

TEST_F(WalkerTest, PagesWithoutBitmapWorkPassUnchangedInBothWalkers) {
    EmfBuilder b;
    b.TextOut(10, 10, u"hello");
    b.StretchDIBits(Logo(), 0, 0, 40, 30);  // cache and compression off: unchanged
    const Bytes page = b.Finish();
    Bytes notEmf = page;
    SetU32(notEmf, 0, 70);  // first record is not EMR_HEADER
    Bytes headerOnly(page.begin(), page.begin() + U32(page, 4));
    Bytes badHeader = page;
    SetU32(badHeader, 4, static_cast<uint32_t>(page.size() + 4));

    for (Walker w : {Walker::Buffer, Walker::File}) {
        for (const Bytes* p : std::vector<const Bytes*>{&page, &notEmf, &headerOnly, &badHeader}) {
            Output out = Run({*p}, w);
            EXPECT_TRUE(out.result);
            EXPECT_EQ(out.port, WithHeader(*p));
        }
    }
    // The threshold: exactly dwCompressionEMFInMem goes through the file
    // (deleted after the page), one byte less through memory; both give the
    // same bytes.
    m_cnf.dwCompressionEMFInMem = static_cast<DWORD>(page.size());
    Output viaFile = Run({page}, Walker::Auto);
    const auto lines = pal::host::TakeDebugOutput();
    EXPECT_TRUE(qltest::Contains(lines, u"ParseEMFFile with len"));
    EXPECT_TRUE(qltest::Contains(lines, u"close and delete file <C:\\walktmp\\WPr")) << qltest::Dump(lines);
    EXPECT_TRUE(std::filesystem::is_empty(m_tempDir));
    m_cnf.dwCompressionEMFInMem = static_cast<DWORD>(page.size() + 1);
    Output viaBuffer = Run({page}, Walker::Auto);
    EXPECT_TRUE(qltest::Contains(pal::host::TakeDebugOutput(), u"ParseEMFBuffer with len"));
    EXPECT_EQ(viaFile.port, viaBuffer.port);
    EXPECT_EQ(viaFile.port, WithHeader(page));
}

TEST_F(WalkerTest, ShortRecordEndsTheWalkAndTheRestGoesUnchanged) {
    m_cnf.fBitmapCaching = TRUE;
    m_cnf.dwImageRecallMin = 8;
    EmfBuilder b;
    b.StretchDIBits(Logo(), 0, 0, 40, 30);
    b.Record(70, Bytes(8, 0));  // becomes the short record
    b.StretchDIBits(Logo(), 50, 0, 40, 30);  // would be a hit if it were walked
    Bytes page = b.Finish();
    const size_t shortAt = RecordOffsets(page)[2];
    SetU32(page, shortAt + 4, 4);
    for (Walker w : {Walker::Buffer, Walker::File}) {
        m_cache.Clear();
        Output out = Run({page}, w);
        EXPECT_TRUE(out.result);
        EXPECT_EQ(out.port, WithHeader(page));
        if (w == Walker::Buffer) {
            EXPECT_TRUE(qltest::Contains(pal::host::TakeDebugOutput(), u"illegal Size detected = 4"));
        }
    }
}

TEST_F(WalkerTest, RecordPastThePageEndFailsThePage) {
    EmfBuilder b;
    b.TextOut(0, 0, u"a");
    b.TextOut(0, 0, u"b");
    Bytes page = b.Finish();
    const size_t at = RecordOffsets(page)[2];
    SetU32(page, at + 4, static_cast<uint32_t>(page.size()));  // runs past the end
    const Bytes next = [] {
        EmfBuilder n;
        n.TextOut(0, 0, u"next");
        return n.Finish();
    }();

    // Memory: the page was read whole and is dropped; the next page follows.
    std::vector<BOOL> results;
    Output buffer = Run({page, next}, Walker::Buffer, &results);
    EXPECT_EQ(results, (std::vector<BOOL>{FALSE, TRUE}));
    EXPECT_EQ(buffer.port, WithHeader(next));
    EXPECT_TRUE(qltest::Contains(pal::host::TakeDebugOutput(), u"Stop parsing: pEnhMetaRecord->nSize("));

    // Temporary file: the walk stopped at the record header, so the rest of
    // the page is still in the job input.
    Bytes left;
    Output file = Run({page}, Walker::File, nullptr, &left);
    EXPECT_FALSE(file.result);
    EXPECT_TRUE(file.port.empty());
    EXPECT_EQ(left, Bytes(page.begin() + at + 8, page.end()));
    EXPECT_TRUE(qltest::Contains(pal::host::TakeDebugOutput(), u"Stop parsing: Header.nSize("));
}

TEST_F(WalkerTest, BitmapsThatDoNotFitTheirRecordAreLeftAlone) {
    m_cnf.fBitmapCaching = TRUE;
    m_cnf.dwImageRecallMin = 8;
    m_cnf.adwCompressionRule[0] = COMPRESSION_RULE_DELETE;  // would zero every good bitmap
    EmfBuilder b;
    for (int i = 0; i < 6; ++i) b.StretchDIBits(Logo(), 0, 0, 40, 30);
    Bytes page = b.Finish();
    const auto bitmaps = OffsetsOfType(page, 81);
    const uint32_t size = U32(page, bitmaps[0] + 4);
    SetU32(page, bitmaps[0] + 48, size);               // offBmiSrc at the end
    SetU32(page, bitmaps[1] + 52, size);               // cbBmiSrc too large
    SetU32(page, bitmaps[2] + 56, 0xFFFFFFF0u);        // offBitsSrc wraps
    SetU32(page, bitmaps[3] + 60, size);               // cbBitsSrc too large
    SetU32(page, bitmaps[4] + 52, 20);                 // header shorter than BITMAPINFOHEADER
    for (Walker w : {Walker::Buffer, Walker::File}) {
        Output out = Run({page}, w);
        Bytes sent = PageAt(out, 0, page.size());
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(Bytes(sent.begin() + bitmaps[i], sent.begin() + bitmaps[i] + size),
                      Bytes(page.begin() + bitmaps[i], page.begin() + bitmaps[i] + size));
        }
        EXPECT_EQ(U32(sent, bitmaps[5]), ::EMR_DELETEDDIBITS);  // the good one was deleted
        EXPECT_EQ(U32(sent, bitmaps[5] + 60), U32(page, bitmaps[5] + 60));  // cbBitsSrc as received
    }
}

TEST_F(WalkerTest, ImageRecallMinimumAndRoomForTheDistance) {
    m_cnf.fBitmapCaching = TRUE;
    EmfBuilder b;
    b.StretchDIBits(Logo(), 0, 0, 40, 30);
    b.StretchDIBits(Logo(), 0, 0, 40, 30);
    const Bytes page = b.Finish();
    const auto bitmaps = OffsetsOfType(page, 81);
    const uint32_t nSize = U32(page, bitmaps[0] + 4);
    for (uint32_t min : {nSize, nSize + 1}) {
        m_cache.Clear();
        m_cnf.dwImageRecallMin = min;
        Output out = Run({page}, Walker::Buffer);
        EXPECT_EQ(U32(PageAt(out, 0, page.size()), bitmaps[1]), min == nSize ? ::EMR_CACHEDDIBITS : 81u);
    }
    // A 1x1 bitmap whose record ends 44 bytes after offBmiSrc: no room
    // for the distance, not cached.
    m_cnf.dwImageRecallMin = 8;
    EmfBuilder tiny;
    Dib dib = MakeDib(MakeFlatImage(1, 1, 1, 2, 3), 24, false);
    tiny.StretchDIBits(dib, 0, 0, 1, 1);
    tiny.StretchDIBits(dib, 0, 0, 1, 1);
    const Bytes small = tiny.Finish();
    const auto at = OffsetsOfType(small, 81);
    ASSERT_EQ(U32(small, at[1] + 4) - U32(small, at[1] + 48), 44u);
    m_cache.Clear();
    Output out = Run({small}, Walker::Buffer);
    EXPECT_EQ(PageAt(out, 0, small.size()), small);
}

TEST_F(WalkerTest, FramedReferencesLeaveHolesAndShortRangesStayData) {
    m_framed = true;
    m_cnf.fBitmapCaching = TRUE;
    m_cnf.dwImageRecallMin = 8;
    // With 32-bit pixels the bits follow the header directly; a record ends
    // with its bits padded to 4 bytes, so 16 bytes of bits release exactly
    // 8 bytes (sent as data) and 20 bytes release 12 (a hole).
    for (uint32_t cbBits : {16u, 20u, 400u}) {
        Dib dib = MakeDib(MakeFlatImage(4, 1, 9, 9, 9), 32, false);
        dib.bits.resize(cbBits, 0x5A);
        EmfBuilder b;
        b.StretchDIBits(dib, 0, 0, 4, 1);
        b.StretchDIBits(dib, 9, 9, 4, 1);
        const Bytes page = b.Finish();
        const auto bitmaps = OffsetsOfType(page, 81);
        m_cache.Clear();
        Output out = Run({page}, Walker::Buffer);
        SCOPED_TRACE(cbBits);
        const uint32_t offBmi = U32(page, bitmaps[1] + 48);
        const uint32_t released = U32(page, bitmaps[1] + 4) - offBmi - 48;
        const uint64_t holeAt = 8 + bitmaps[1] + offBmi + 48;
        if (released <= 8) {
            EXPECT_TRUE(out.holes.empty());
        } else {
            ASSERT_EQ(out.holes.size(), 1u);
            EXPECT_EQ(out.holes[0], std::make_pair(holeAt, released));
        }
        // In framed output the reference keeps every byte but the released ones.
        const Bytes sent = PageAt(out, 0, page.size());
        EXPECT_EQ(U32(sent, bitmaps[1]), ::EMR_CACHEDDIBITS);
        if (released <= 8) {
            EXPECT_TRUE(std::equal(sent.begin() + holeAt - 8, sent.begin() + holeAt - 8 + released,
                                   page.begin() + holeAt - 8));
        }
        EXPECT_TRUE(std::equal(sent.begin() + bitmaps[1] + 80, sent.begin() + bitmaps[1] + offBmi + 16,
                               page.begin() + bitmaps[1] + 80));
    }
}

// Checks every reference of the logical stream: it names the first byte of
// an earlier bitmap record with the right image number.
void ExpectReferencesResolve(const Bytes& logical, const std::vector<size_t>& pageStarts) {
    std::map<size_t, uint32_t> imageAt;  // stream position -> image number
    uint32_t images = 0;
    size_t references = 0;
    for (size_t start : pageStarts) {
        const uint32_t size = U32(logical, start + 4);
        Bytes page(logical.begin() + start + 8, logical.begin() + start + 8 + size);
        for (size_t at : RecordOffsets(page)) {
            const uint32_t type = U32(page, at);
            if (type != 81 && (type < 0x8000 || type > 0x8002)) continue;
            ++images;
            const size_t pos = start + 8 + at;
            if (type != ::EMR_CACHEDDIBITS) {
                imageAt[pos] = images;
                continue;
            }
            ++references;
            const uint32_t offBmi = U32(page, at + 48);
            const int64_t distance = I64(page, at + offBmi + 40);
            auto target = imageAt.find(static_cast<size_t>(static_cast<int64_t>(pos) + distance));
            ASSERT_NE(target, imageAt.end()) << "reference at " << pos << " points nowhere";
            EXPECT_EQ(static_cast<int32_t>(U32(page, at + offBmi + 16)), -static_cast<int32_t>(target->second));
        }
    }
    EXPECT_GT(references, 0u);
}

// Page starts in a logical stream of page records and font records.
std::vector<size_t> PageStarts(const Bytes& logical) {
    std::vector<size_t> starts;
    for (size_t at = 0; at + 8 <= logical.size(); at += 8 + U32(logical, at + 4)) {
        if (U32(logical, at) == 1) starts.push_back(at);
    }
    return starts;
}

TEST_F(WalkerTest, AFailedPageLeavesNothingToReferTo) {
    m_cnf.fBitmapCaching = TRUE;
    EmfBuilder b1;
    b1.StretchDIBits(Logo(), 0, 0, 40, 30);
    b1.TextOut(0, 0, u"x");
    Bytes bad = b1.Finish();
    SetU32(bad, OffsetsOfType(bad, 84).front() + 4, static_cast<uint32_t>(bad.size()));
    EmfBuilder b2;
    b2.StretchDIBits(Logo(), 0, 0, 40, 30);
    b2.StretchDIBits(Logo(), 0, 0, 40, 30);
    const Bytes good = b2.Finish();

    std::vector<BOOL> results;
    Output out = Run({bad, good}, Walker::Buffer, &results);
    EXPECT_EQ(results, (std::vector<BOOL>{FALSE, TRUE}));
    const Bytes sent = PageAt(out, 0, good.size());
    const auto bitmaps = OffsetsOfType(good, 81);
    EXPECT_EQ(U32(sent, bitmaps[0]), 81u);  // sent in full, not a reference into the lost page
    ASSERT_EQ(U32(sent, bitmaps[1]), ::EMR_CACHEDDIBITS);
    ExpectReferencesResolve(out.logical, PageStarts(out.logical));
}

TEST_F(WalkerTest, DeletionZeroesBitmapsAndKeepsTheirFixedFields) {
    m_cnf.adwCompressionRule[0] = COMPRESSION_RULE_DELETE;
    m_cnf.fBitmapCaching = TRUE;  // deletion wins over the cache
    EmfBuilder b;
    b.StretchDIBits(Logo(), 0, 0, 40, 30);
    b.StretchDIBits(Logo(), 0, 0, 40, 30);
    const Bytes page = b.Finish();
    for (bool framed : {false, true}) {
        m_framed = framed;
        Output out = Run({page}, Walker::File);
        const Bytes sent = PageAt(out, 0, page.size());
        for (size_t at : OffsetsOfType(page, 81)) {
            const uint32_t nSize = U32(page, at + 4);
            EXPECT_EQ(U32(sent, at), ::EMR_DELETEDDIBITS);
            EXPECT_TRUE(std::equal(sent.begin() + at + 4, sent.begin() + at + 80, page.begin() + at + 4));
            for (size_t i = at + 80; i < at + nSize; ++i) ASSERT_EQ(sent[i], 0);
        }
        EXPECT_EQ(out.holes.size(), framed ? 2u : 0u);
        EXPECT_EQ(m_cache.Count(), 0u);
    }
}

TEST_F(WalkerTest, StatisticsFileIsUsedOnlyWhenItExists) {
    const auto statPath = qltest::MachineRoot() / "qlwinprn-stat.txt";
    std::filesystem::remove(statPath);
    m_cnf.adwCompressionRule[0] = COMPRESSION_RULE_DELETE;
    EmfBuilder b;
    b.StretchDIBits(Logo(), 0, 0, 40, 30);
    b.StretchDIBits(Noise(2), 0, 0, 40, 30);
    const Bytes page = b.Finish();
    Run({page}, Walker::Auto);
    EXPECT_FALSE(std::filesystem::exists(statPath));

    std::ofstream(statPath) << "before\n";
    Run({page}, Walker::Auto);
    std::ifstream in(statPath);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();  // text mode, as on Windows
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "before");
    const uint32_t nSize = U32(page, OffsetsOfType(page, 81)[0] + 4);
    char expect[64];
    snprintf(expect, sizeof(expect), "IMGHASH:   81 %10u ", nSize - 8);
    EXPECT_EQ(lines[1].substr(0, strlen(expect)), expect);
    EXPECT_EQ(lines[1].size(), strlen(expect) + 32);
    EXPECT_EQ(lines[1].find_first_not_of("0123456789abcdef", strlen(expect)), std::string::npos);
    snprintf(expect, sizeof(expect), "IMGCMPR:      %10u", nSize - 80);
    EXPECT_EQ(lines[2], expect);
    std::filesystem::remove(statPath);
}

} // namespace

namespace {

TEST_F(WalkerTest, FineBitmapsAreReducedToThePrinterResolution) {
    // A 400 x 300 bitmap drawn on about 40 x 30 mm of an A4 page of 4960 x
    // 7016 reference pixels: at 75 dpi that area takes about 118 x 88 pixels.
    DEVMODEW dm{};
    dm.dmSize = sizeof(DEVMODEW);
    dm.dmFields = DM_PRINTQUALITY;
    dm.dmPrintQuality = 75;
    m_data->pDevMode = &dm;
    m_cnf.fDPIReduction = TRUE;
    EmfBuilder b;
    const int32_t cx = 4960 * 40 / 210, cy = 7016 * 30 / 297;
    b.StretchDIBits(MakeDib(MakeImage(ImageKind::Gradient, 400, 300), 8, false), 100, 100, cx, cy);
    b.StretchDIBits(MakeDib(MakeImage(ImageKind::Gradient, 40, 30), 8, false), 100, 100, cx, cy);  // coarse already
    const Bytes page = b.Finish();
    const auto bitmaps = OffsetsOfType(page, 81);
    for (bool framed : {false, true}) {
        m_framed = framed;
        Output out = Run({page}, Walker::Buffer);
        const Bytes sent = PageAt(out, 0, page.size());
        const size_t at = bitmaps[0];
        const uint32_t offBmi = U32(sent, at + 48), offBits = U32(sent, at + 56);
        const uint32_t width = U32(sent, at + offBmi + 4), height = U32(sent, at + offBmi + 8);
        const auto target = [&](size_t bound, double mm, double px) {
            const double covered = static_cast<uint32_t>(U32(page, at + bound + 8) - U32(page, at + bound));
            return static_cast<uint32_t>(75 / 2.54 / 10.0 * (covered * mm / px));
        };
        EXPECT_EQ(width, target(8, 210, 4960));   // rclBounds left/right
        EXPECT_EQ(height, target(12, 297, 7016));  // top/bottom
        EXPECT_NEAR(width, 118, 1);
        EXPECT_NEAR(height, 88, 1);
        EXPECT_EQ(U32(sent, at + 40), width);   // cxSrc
        EXPECT_EQ(U32(sent, at + 44), height);  // cySrc
        EXPECT_EQ(U32(sent, at + 60), U32(page, at + 60));  // cbBitsSrc as received
        const uint32_t newBits = ((width * 8 + 31) / 32 * 4) * height;
        const uint32_t released = U32(page, at + 60) - newBits;
        if (framed) {
            ASSERT_EQ(out.holes.size(), 1u);
            EXPECT_EQ(out.holes[0], std::make_pair(uint64_t(8 + at + offBits + newBits), released));
        } else {
            for (size_t i = at + offBits + newBits; i < at + offBits + newBits + released; ++i) ASSERT_EQ(sent[i], 0);
        }
        // The coarse bitmap is left as it is.
        EXPECT_TRUE(std::equal(sent.begin() + bitmaps[1], sent.end(), page.begin() + bitmaps[1]));
    }
    m_data->pDevMode = nullptr;
}

} // namespace
