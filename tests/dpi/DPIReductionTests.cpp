// Resolution reduction of bitmap records: the decision (resolution mapping,
// covered area, clamp, saving threshold, the records never reduced) and the
// in-place resampling (record fields after a reduction, pixel content, the
// failures that leave the record as it was).
#include "emf/DPIReduction.h"
#include "emf/EmfRecords.h"

#include "palhost.h"
#include "support/TestMachine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using qltest::Contains;
using qltest::Dump;

std::vector<std::u16string> TakeLog() { return pal::host::TakeDebugOutput(); }

class Dpi : public ::testing::Test {
protected:
    void SetUp() override {
        qltest::SetUpMachine("dpi", qltest::Attach::LogOnly);
        TakeLog();
    }
};

std::u16string Utf16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

uint32_t Stride(uint32_t width, WORD bpp) { return (width * bpp + 31) / 32 * 4; }

// An EMR_STRETCHDIBITS record: fixed part, BITMAPINFO at 80 with `table`
// colour entries, the bits right behind. Held at an odd address, as records
// in a page buffer may be.
struct Record {
    std::vector<BYTE> storage;
    DWORD nSize = 0;

    Record(LONG w, LONG h, WORD bpp, DWORD table, DWORD clrUsed = 0) {
        const uint32_t rows = uint32_t(h < 0 ? -h : h);
        const DWORD cbBmi = BITMAPINFOHEADER_SIZE + table * 4;
        const DWORD cbBits = Stride(uint32_t(w), bpp) * rows;
        nSize = STRETCHDIBITS_FIXED_SIZE + cbBmi + cbBits;
        storage.assign(nSize + 1, 0);
        StretchDIBitsRecord r{};
        r.iType = EMR_STRETCHDIBITS_TYPE;
        r.nSize = nSize;
        r.rclBounds = {10, 20, 110, 220};
        r.xDest = 10;
        r.yDest = 20;
        r.cxSrc = w;
        r.cySrc = LONG(rows);
        r.offBmiSrc = STRETCHDIBITS_FIXED_SIZE;
        r.cbBmiSrc = cbBmi;
        r.offBitsSrc = STRETCHDIBITS_FIXED_SIZE + cbBmi;
        r.cbBitsSrc = cbBits;
        r.iUsageSrc = DIB_RGB_COLORS;
        r.dwRop = SRCCOPY;
        r.cxDest = 100;
        r.cyDest = 200;
        StoreRecord(data(), r);
        BITMAPINFOHEADER bih{};
        bih.biSize = BITMAPINFOHEADER_SIZE;
        bih.biWidth = w;
        bih.biHeight = h;
        bih.biPlanes = 1;
        bih.biBitCount = bpp;
        bih.biClrUsed = clrUsed;
        bih.biClrImportant = 7;
        StoreRecord(data() + r.offBmiSrc, bih);
        for (DWORD i = 0; i < table; ++i)
            StoreRecord(data() + r.offBmiSrc + BITMAPINFOHEADER_SIZE + 4 * i, RGBQUAD{BYTE(i), BYTE(i), 0x80, 0});
    }

    BYTE* data() { return storage.data() + 1; }
    std::vector<BYTE> bytes() const { return {storage.begin() + 1, storage.end()}; }
    StretchDIBitsRecord fixed() { return LoadRecord<StretchDIBitsRecord>(data()); }
    void set(const StretchDIBitsRecord& r) { StoreRecord(data(), r); }
    BITMAPINFOHEADER header() { return LoadRecord<BITMAPINFOHEADER>(data() + fixed().offBmiSrc); }
    void set(const BITMAPINFOHEADER& h) { StoreRecord(data() + fixed().offBmiSrc, h); }
    BYTE* bits() { return data() + fixed().offBitsSrc; }

    // Pixel by row from the top of a bottom-up bitmap.
    uint32_t Pixel(uint32_t x, uint32_t row) {
        const BITMAPINFOHEADER h = header();
        const BYTE* p = bits() + size_t(h.biHeight - 1 - row) * Stride(h.biWidth, h.biBitCount);
        if (h.biBitCount < 8) {
            const uint32_t bit = x * h.biBitCount;
            return (p[bit / 8] >> (8 - h.biBitCount - bit % 8)) & ((1u << h.biBitCount) - 1);
        }
        uint32_t v = 0;
        for (unsigned i = 0; i < h.biBitCount / 8u; ++i) v |= uint32_t(p[x * h.biBitCount / 8 + i]) << (8 * i);
        return v;
    }
    void SetPixel(uint32_t x, uint32_t row, uint32_t v) {
        const BITMAPINFOHEADER h = header();
        BYTE* p = bits() + size_t(h.biHeight - 1 - row) * Stride(h.biWidth, h.biBitCount);
        if (h.biBitCount < 8) {
            const uint32_t bit = x * h.biBitCount;
            const unsigned shift = 8 - h.biBitCount - bit % 8;
            p[bit / 8] = BYTE((p[bit / 8] & ~(((1u << h.biBitCount) - 1) << shift)) | (v << shift));
            return;
        }
        for (unsigned i = 0; i < h.biBitCount / 8u; ++i) p[x * h.biBitCount / 8 + i] = BYTE(v >> (8 * i));
    }
};

// The parts of EMR_HEADER the decision reads, in an 88-byte record.
std::vector<BYTE> EmfHeader(LONG devCx, LONG devCy, LONG mmCx, LONG mmCy) {
    std::vector<BYTE> h(EMR_HEADER_MIN_SIZE, 0);
    StoreRecord(h.data(), DWORD(EMR_HEADER_TYPE));
    StoreRecord(h.data() + 4, DWORD(EMR_HEADER_MIN_SIZE));
    StoreRecord(h.data() + EMR_HEADER_SZLDEVICE, SIZEL{devCx, devCy});
    StoreRecord(h.data() + EMR_HEADER_SZLMILLIMETERS, SIZEL{mmCx, mmCy});
    return h;
}

DEVMODEW Devmode(short quality, DWORD extraFields = 0, short yResolution = 0) {
    DEVMODEW dm{};
    dm.dmSize = sizeof(DEVMODEW);
    dm.dmFields = DM_PRINTQUALITY | extraFields;
    dm.dmPrintQuality = quality;
    dm.dmYResolution = yResolution;
    return dm;
}

// A record of w x h pixels (no bits needed for the decision) covering bounds.
Record Covering(LONG w, LONG h, RECTL bounds) {
    Record rec(1, 1, 24, 0);
    StretchDIBitsRecord r = rec.fixed();
    r.rclBounds = bounds;
    r.cxSrc = w;
    r.cySrc = h;
    rec.set(r);
    BITMAPINFOHEADER bih = rec.header();
    bih.biWidth = w;
    bih.biHeight = h;
    rec.set(bih);
    return rec;
}

RECT Decide(Record& rec, const std::vector<BYTE>& emf, const DEVMODEW& dm, DWORD minSaving, BOOL* answer) {
    RECT target{-9, -9, -9, -9};
    *answer = NeedsDPIReduction(rec.data(), rec.nSize, emf.data(), DWORD(emf.size()), &dm, minSaving, &target);
    return target;
}

TEST_F(Dpi, ResolutionMappingOfBothDirections) {
    // 1003 reference pixels over 1000 of them per 127 mm: dpi * 1003 / 200 printer pixels.
    const std::vector<BYTE> emf = EmfHeader(1000, 1000, 127, 127);
    struct Row {
        short quality;
        DWORD fields;
        short y;
        LONG w, h;
    };
    for (const Row& c : {Row{-4, 0, 0, 3009, 3009}, Row{-3, 0, 0, 1504, 1504}, Row{-2, 0, 0, 752, 752},
                         Row{-1, 0, 0, 376, 376}, Row{360, 0, 0, 1805, 1805}, Row{-4, DM_YRESOLUTION, -2, 3009, 752},
                         Row{-2, 0, -4, 752, 752}, Row{-1, DM_YRESOLUTION, 360, 376, 1805}}) {
        Record rec = Covering(20000, 20000, {0, 0, 1003, 1003});
        BOOL answer = FALSE;
        const RECT t = Decide(rec, emf, Devmode(c.quality, c.fields, c.y), 5, &answer);
        EXPECT_TRUE(answer) << c.quality;
        EXPECT_EQ(t.left, 0);
        EXPECT_EQ(t.top, 0);
        EXPECT_EQ(t.right, c.w) << c.quality << " " << c.y;
        EXPECT_EQ(t.bottom, c.h) << c.quality << " " << c.y;
        EXPECT_TRUE(Contains(TakeLog(), u"devmode->dmPrintQuality is " + Utf16(std::to_string(c.quality))));
    }
}

TEST_F(Dpi, WorkedExamplesAndTheClampToTheSourceRectangle) {
    BOOL answer = FALSE;
    Record wide = Covering(5000, 5000, {0, 0, 1000, 1000});
    EXPECT_EQ(Decide(wide, EmfHeader(1000, 1000, 254, 254), Devmode(100), 5, &answer).right, 1000);
    EXPECT_TRUE(answer);
    EXPECT_EQ(Decide(wide, EmfHeader(1000, 1000, 100, 100), Devmode(600), 5, &answer).right, 2362);
    EXPECT_TRUE(answer);
    EXPECT_FALSE(Contains(TakeLog(), u"Clipping found"));

    // Bounds are taken as unsigned differences; left/top need not be 0.
    Record shifted = Covering(5000, 5000, {-500, 100, 500, 1100});
    EXPECT_EQ(Decide(shifted, EmfHeader(1000, 1000, 254, 254), Devmode(100), 5, &answer).bottom, 1000);

    // Only part of the bitmap is drawn: the target is at most that part.
    StretchDIBitsRecord r = wide.fixed();
    r.cxSrc = 700;
    r.cySrc = 4000;
    wide.set(r);
    const RECT t = Decide(wide, EmfHeader(1000, 1000, 100, 100), Devmode(600), 5, &answer);
    EXPECT_EQ(t.right, 700);
    EXPECT_EQ(t.bottom, 2362);
    EXPECT_TRUE(Contains(TakeLog(), u"Clipping found"));

    // A bitmap already coarser than the printer is not worth resampling.
    Record coarse = Covering(800, 800, {0, 0, 1000, 1000});
    EXPECT_EQ(Decide(coarse, EmfHeader(1000, 1000, 254, 254), Devmode(100), 5, &answer).right, 800);
    EXPECT_FALSE(answer);
}

TEST_F(Dpi, SavingMustExceedTheMinimum) {
    // 100x100 pixels drawn to 46 x 100 printer pixels: (46 + 4) * 100 / 10000 = exactly half.
    Record rec = Covering(100, 100, {0, 0, 93, 1000});
    const std::vector<BYTE> emf = EmfHeader(1000, 1000, 127, 127);
    BOOL answer = TRUE;
    const RECT t = Decide(rec, emf, Devmode(100), 50, &answer);
    EXPECT_EQ(t.right, 46);
    EXPECT_EQ(t.bottom, 100);
    EXPECT_FALSE(answer);
    Decide(rec, emf, Devmode(100), 49, &answer);
    EXPECT_TRUE(answer);
}

TEST_F(Dpi, RecordsThatAreNeverReduced) {
    const std::vector<BYTE> emf = EmfHeader(1000, 1000, 254, 254);
    const DEVMODEW dm = Devmode(100);
    auto decline = [&](Record& rec, const std::vector<BYTE>* header, const DEVMODEW* pdm, const char16_t* line) {
        RECT target{};
        EXPECT_FALSE(NeedsDPIReduction(rec.data(), rec.nSize, header ? header->data() : nullptr,
                                       header ? DWORD(header->size()) : 0, pdm, 5, &target));
        const auto lines = TakeLog();
        EXPECT_TRUE(Contains(lines, line)) << pal::host::ToUtf8(line) << "\n" << Dump(lines);
    };
    auto big = [] { return Covering(4000, 4000, {0, 0, 100, 100}); };

    Record rec = big();
    decline(rec, nullptr, &dm, u"lpEnhMetaHeader == NULL");
    const std::vector<BYTE> shortHeader(emf.begin(), emf.end() - 1);
    decline(rec, &shortHeader, &dm, u"lpEnhMetaHeader == NULL");
    const std::vector<BYTE> noDevice = EmfHeader(1000, 0, 254, 254);
    decline(rec, &noDevice, &dm, u"lpEnhMetaHeader->szlDevice.cx od cy == 0");
    decline(rec, &emf, nullptr, u"lpDevmode == NULL");
    DEVMODEW noQuality = dm;
    noQuality.dmFields = DM_YRESOLUTION;
    decline(rec, &emf, &noQuality, u"no DPI is given in devmode (dmPrintQuality)");
    DEVMODEW oldDevmode = dm;
    oldDevmode.dmSize = offsetof(DEVMODEW, dmPrintQuality); // too short to carry it
    decline(rec, &emf, &oldDevmode, u"no DPI is given in devmode (dmPrintQuality)");

    BITMAPINFOHEADER bih = rec.header();
    bih.biWidth = 0;
    rec.set(bih);
    decline(rec, &emf, &dm, u"bitmap with size 0");

    Record topDown = big();
    bih = topDown.header();
    bih.biHeight = -4000;
    topDown.set(bih);
    decline(topDown, &emf, &dm, u"value(1) < 0 ---> return");

    Record compressed = big();
    bih = compressed.header();
    bih.biCompression = BI_RLE8;
    compressed.set(bih);
    decline(compressed, &emf, &dm, u"\t++ Bitmap not rgb");

    Record unbounded = big();
    StretchDIBitsRecord r = unbounded.fixed();
    r.rclBounds = {0, 0, -1, -1};
    unbounded.set(r);
    decline(unbounded, &emf, &dm, u"No rclBounds given (0,0,-1,-1)");
}

// An 8x6 bitmap of 2x2 cells, alternating between values a and b.
Record Checker(WORD bpp, uint32_t a, uint32_t b, DWORD table, DWORD clrUsed) {
    Record rec(8, 6, bpp, table, clrUsed);
    for (uint32_t y = 0; y < 6; ++y)
        for (uint32_t x = 0; x < 8; ++x) rec.SetPixel(x, y, ((x / 2 + y / 2) & 1) ? b : a);
    return rec;
}

TEST_F(Dpi, ReductionRewritesTheRecordInPlace) {
    struct Row {
        WORD bpp;
        uint32_t a, b;
        DWORD table, clrUsed, clrUsedAfter;
    };
    for (const Row& c : {Row{1, 0, 1, 2, 0, 2}, Row{4, 3, 12, 16, 16, 16}, Row{8, 1, 200, 256, 0, 256},
                         Row{16, 0x7C00, 0x03E0, 0, 0, 0}, Row{24, 0x123456, 0xABCDEF, 0, 0, 0},
                         Row{32, 0x00FF00FF, 0x0000FF00, 0, 0, 0}}) {
        SCOPED_TRACE(c.bpp);
        Record rec = Checker(c.bpp, c.a, c.b, c.table, c.clrUsed);
        const StretchDIBitsRecord before = rec.fixed();
        const std::vector<BYTE> original = rec.bytes();
        FILE* stat = std::tmpfile();
        ASSERT_NE(stat, nullptr);
        const RECT target{0, 0, 4, 3};
        const size_t handles = pal::host::OpenHandles().size();
        ReduceBitmapDPI(rec.data(), rec.nSize, &target, stat);
        EXPECT_EQ(pal::host::OpenHandles().size(), handles);

        const StretchDIBitsRecord after = rec.fixed();
        const DWORD cbNew = Stride(4, c.bpp) * 3;
        EXPECT_EQ(after.xSrc, 0);
        EXPECT_EQ(after.ySrc, 0);
        EXPECT_EQ(after.cxSrc, 4);
        EXPECT_EQ(after.cySrc, 3);
        EXPECT_EQ(after.cbBitsSrc, cbNew);
        // Destination, layout and usage fields stay as they were.
        EXPECT_EQ(std::memcmp(&after, &before, offsetof(StretchDIBitsRecord, xSrc)), 0);
        EXPECT_EQ(std::memcmp(&after.offBmiSrc, &before.offBmiSrc, 3 * sizeof(DWORD)), 0);
        EXPECT_EQ(std::memcmp(&after.iUsageSrc, &before.iUsageSrc, 4 * sizeof(DWORD)), 0);
        const BITMAPINFOHEADER bih = rec.header();
        EXPECT_EQ(bih.biWidth, 4);
        EXPECT_EQ(bih.biHeight, 3);
        EXPECT_EQ(bih.biSizeImage, 0u);
        EXPECT_EQ(bih.biClrUsed, c.clrUsedAfter);
        EXPECT_EQ(bih.biClrImportant, 7u);
        // The colour table is untouched; the 2x downscale of 2x2 cells is a
        // checker of single pixels.
        EXPECT_TRUE(std::equal(original.begin() + 80 + 40, original.begin() + before.offBitsSrc,
                               rec.bytes().begin() + 80 + 40));
        for (uint32_t y = 0; y < 3; ++y)
            for (uint32_t x = 0; x < 4; ++x) EXPECT_EQ(rec.Pixel(x, y), ((x + y) & 1) ? c.b : c.a) << x << "," << y;

        std::rewind(stat);
        char line[64] = {};
        ASSERT_NE(std::fgets(line, sizeof(line), stat), nullptr);
        char expected[64] = {};
        std::snprintf(expected, sizeof(expected), "IMGCMPR:      %10lu\n", (unsigned long)(before.cbBitsSrc - cbNew));
        EXPECT_STREQ(line, expected);
        EXPECT_EQ(std::strlen(line), 25u);
        std::fclose(stat);
    }
}

TEST_F(Dpi, ClippedBitmapKeepsOnlyTheDrawnPart) {
    Record rec(8, 6, 8, 256, 256);
    for (uint32_t y = 0; y < 6; ++y)
        for (uint32_t x = 0; x < 8; ++x) rec.SetPixel(x, y, y * 8 + x);
    StretchDIBitsRecord r = rec.fixed();
    r.xSrc = 2;
    r.ySrc = 2; // rows 2..5 from the bottom: rows 0..3 from the top
    r.cxSrc = 4;
    r.cySrc = 4;
    rec.set(r);
    const RECT target{0, 0, 2, 2};
    ReduceBitmapDPI(rec.data(), rec.nSize, &target, nullptr);
    EXPECT_EQ(rec.fixed().cxSrc, 2);
    EXPECT_EQ(rec.header().biWidth, 2);
    EXPECT_EQ(rec.Pixel(0, 0), 1u * 8 + 3);
    EXPECT_EQ(rec.Pixel(1, 0), 1u * 8 + 5);
    EXPECT_EQ(rec.Pixel(0, 1), 3u * 8 + 3);
    EXPECT_EQ(rec.Pixel(1, 1), 3u * 8 + 5);
}

TEST_F(Dpi, ColourCountCompletionAndLayoutCheck) {
    // The completed colour count survives a reduction that is not carried out.
    Record rec = Checker(8, 1, 2, 256, 0);
    std::vector<BYTE> expected = rec.bytes();
    StoreRecord(expected.data() + 80 + offsetof(BITMAPINFOHEADER, biClrUsed), DWORD(256));
    const RECT larger{0, 0, 16, 12}; // new bits would not fit the old area
    ReduceBitmapDPI(rec.data(), rec.nSize, &larger, nullptr);
    EXPECT_EQ(rec.bytes(), expected);

    // A table one entry longer than the header says: logged, and the reduction goes on.
    Record longer = Checker(8, 1, 2, 256, 0);
    BITMAPINFOHEADER bih = longer.header();
    bih.biClrUsed = 255;
    longer.set(bih);
    const RECT target{0, 0, 4, 3};
    ReduceBitmapDPI(longer.data(), longer.nSize, &target, nullptr);
    EXPECT_TRUE(Contains(TakeLog(), u"[CHECK<LastError="));
    EXPECT_EQ(longer.header().biWidth, 4);
}

TEST_F(Dpi, MalformedRecordsAreLeftUnchanged) {
    struct Mutation {
        const char* what;
        void (*apply)(StretchDIBitsRecord&, BITMAPINFOHEADER&);
    };
    const Mutation mutations[] = {
        {"colour count huge", [](StretchDIBitsRecord&, BITMAPINFOHEADER& h) { h.biClrUsed = 0xFFFFFFFF; }},
        {"colour table past cbBmiSrc", [](StretchDIBitsRecord&, BITMAPINFOHEADER& h) { h.biClrUsed = 1; }},
        {"width overflowing", [](StretchDIBitsRecord&, BITMAPINFOHEADER& h) { h.biWidth = 0x7FFFFFFF; }},
        {"height overflowing", [](StretchDIBitsRecord&, BITMAPINFOHEADER& h) { h.biHeight = 0x7FFFFFFF; }},
        {"negative width", [](StretchDIBitsRecord&, BITMAPINFOHEADER& h) { h.biWidth = -8; }},
        {"bits too short", [](StretchDIBitsRecord& r, BITMAPINFOHEADER&) { --r.cbBitsSrc; }},
        {"bit count 2", [](StretchDIBitsRecord&, BITMAPINFOHEADER& h) { h.biBitCount = 2; }},
        {"core header", [](StretchDIBitsRecord&, BITMAPINFOHEADER& h) { h.biSize = 12; }},
        {"header size huge", [](StretchDIBitsRecord&, BITMAPINFOHEADER& h) { h.biSize = 0xFFFFFFF0; }},
        {"two planes", [](StretchDIBitsRecord&, BITMAPINFOHEADER& h) { h.biPlanes = 2; }},
        {"compressed", [](StretchDIBitsRecord&, BITMAPINFOHEADER& h) { h.biCompression = BI_RLE8; }},
        {"source past the right edge", [](StretchDIBitsRecord& r, BITMAPINFOHEADER&) { r.xSrc = 1; }},
        {"source past the top", [](StretchDIBitsRecord& r, BITMAPINFOHEADER&) { r.ySrc = 0x7FFFFFFF; }},
        {"empty source", [](StretchDIBitsRecord& r, BITMAPINFOHEADER&) { r.cySrc = 0; }},
    };
    for (const Mutation& m : mutations) {
        SCOPED_TRACE(m.what);
        Record rec = Checker(24, 1, 2, 0, 0);
        StretchDIBitsRecord r = rec.fixed();
        BITMAPINFOHEADER h = rec.header();
        m.apply(r, h);
        rec.set(r);
        rec.set(h);
        const std::vector<BYTE> original = rec.bytes();
        const RECT target{0, 0, 4, 3};
        ReduceBitmapDPI(rec.data(), rec.nSize, &target, nullptr);
        EXPECT_EQ(rec.bytes(), original);
        EXPECT_TRUE(Contains(TakeLog(), u"not reduced"));
    }
    for (const RECT& target : {RECT{0, 0, 0, 3}, RECT{0, 0, 4, -3}, RECT{1, 0, 4, 3}}) {
        Record rec = Checker(24, 1, 2, 0, 0);
        const std::vector<BYTE> original = rec.bytes();
        ReduceBitmapDPI(rec.data(), rec.nSize, &target, nullptr);
        EXPECT_EQ(rec.bytes(), original);
    }
}

TEST_F(Dpi, GdiFailuresLeaveTheRecordAndNoHandles) {
    struct Row {
        const char* call;
        uint64_t after;
        const char16_t* line;
    };
    for (const Row& c : {Row{"CreateCompatibleDC", 0, u"CreateCompatibleDC failed 8"},
                         Row{"CreateDIBSection", 0, u"CreateDIBSection failed with 8"},
                         Row{"StretchDIBits", 0, u"StretchDIBits failed 8"}, Row{"GetDIBits", 0, u"GetDIBits failed 8"},
                         Row{"GetDIBits", 1, u"GetDIBits failed 8"}}) {
        SCOPED_TRACE(c.call);
        Record rec = Checker(24, 1, 2, 0, 0);
        const std::vector<BYTE> original = rec.bytes();
        pal::host::Fault f;
        f.call = c.call;
        f.afterCalls = c.after;
        f.error = ERROR_NOT_ENOUGH_MEMORY;
        f.once = true;
        pal::host::InjectFault(f);
        const size_t handles = pal::host::OpenHandles().size();
        const RECT target{0, 0, 4, 3};
        ReduceBitmapDPI(rec.data(), rec.nSize, &target, nullptr);
        pal::host::ClearFaults();
        EXPECT_EQ(pal::host::OpenHandles().size(), handles);
        EXPECT_EQ(rec.bytes(), original);
        const auto lines = TakeLog();
        EXPECT_TRUE(Contains(lines, c.line)) << Dump(lines);
    }
}

} // namespace
