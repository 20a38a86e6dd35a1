// Software DIBs: resampling between bitmaps of one format keeps every pixel a
// copy of the documented source pixel, for each bit count and orientation;
// header completion and the refused cases.
#include "palhost.h"
#include "palwin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

uint32_t Stride(uint32_t width, WORD bpp) { return (width * bpp + 31) / 32 * 4; }

// A BITMAPINFO with a full colour table up to 8 bits, in a byte buffer.
struct Info {
    std::vector<BYTE> bytes;

    Info(LONG width, LONG height, WORD bpp) {
        const size_t colors = bpp <= 8 ? size_t(1) << bpp : 0;
        bytes.assign(sizeof(BITMAPINFOHEADER) + colors * sizeof(RGBQUAD), 0);
        BITMAPINFOHEADER h{};
        h.biSize = sizeof(h);
        h.biWidth = width;
        h.biHeight = height;
        h.biPlanes = 1;
        h.biBitCount = bpp;
        h.biCompression = BI_RGB;
        std::memcpy(bytes.data(), &h, sizeof(h));
        for (size_t i = 0; i < colors; ++i) {
            const RGBQUAD q{BYTE(i), BYTE(255 - i), BYTE(i * 3), 0};
            std::memcpy(bytes.data() + sizeof(h) + i * sizeof(q), &q, sizeof(q));
        }
    }
    BITMAPINFO* get() { return reinterpret_cast<BITMAPINFO*>(bytes.data()); }
    BITMAPINFOHEADER header() const {
        BITMAPINFOHEADER h;
        std::memcpy(&h, bytes.data(), sizeof(h));
        return h;
    }
};

// Pixel access by top-down row, for a bits block of the given layout.
size_t RowOffset(uint32_t row, uint32_t height, bool topDown, uint32_t stride) {
    return size_t(topDown ? row : height - 1 - row) * stride;
}
uint32_t Get(const std::vector<BYTE>& bits, uint32_t x, uint32_t row, uint32_t w, uint32_t h, bool topDown, WORD bpp) {
    const BYTE* p = bits.data() + RowOffset(row, h, topDown, Stride(w, bpp));
    if (bpp < 8) {
        const uint32_t bit = x * bpp;
        return (p[bit / 8] >> (8 - bpp - bit % 8)) & ((1u << bpp) - 1);
    }
    uint32_t v = 0;
    for (unsigned i = 0; i < bpp / 8u; ++i) v |= uint32_t(p[x * bpp / 8 + i]) << (8 * i);
    return v;
}
void Put(std::vector<BYTE>& bits, uint32_t x, uint32_t row, uint32_t w, uint32_t h, bool topDown, WORD bpp,
         uint32_t v) {
    BYTE* p = bits.data() + RowOffset(row, h, topDown, Stride(w, bpp));
    if (bpp < 8) {
        const uint32_t bit = x * bpp;
        const unsigned shift = 8 - bpp - bit % 8;
        const BYTE mask = BYTE(((1u << bpp) - 1) << shift);
        p[bit / 8] = BYTE((p[bit / 8] & ~mask) | ((v << shift) & mask));
        return;
    }
    for (unsigned i = 0; i < bpp / 8u; ++i) p[x * bpp / 8 + i] = BYTE(v >> (8 * i));
}

// A value that differs for (nearly) every pixel, within the bit count.
uint32_t Pattern(uint32_t x, uint32_t row, WORD bpp) {
    const uint32_t v = x * 0x010203u + row * 0x0A0B3Du + 0x55u;
    return bpp == 32 ? v : v & ((1u << bpp) - 1);
}

struct Image {
    uint32_t w, h;
    bool topDown;
    WORD bpp;
    Info info;
    std::vector<BYTE> bits;

    Image(uint32_t w_, uint32_t h_, bool topDown_, WORD bpp_)
        : w(w_), h(h_), topDown(topDown_), bpp(bpp_), info(LONG(w_), topDown_ ? -LONG(h_) : LONG(h_), bpp_),
          bits(size_t(Stride(w_, bpp_)) * h_, 0) {
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x) Put(bits, x, y, w, h, topDown, bpp, Pattern(x, y, bpp));
    }
    uint32_t At(uint32_t x, uint32_t row) const { return Get(bits, x, row, w, h, topDown, bpp); }
};

// A memory context with a DIB section of the given layout selected.
struct Canvas {
    HDC hdc = nullptr;
    HBITMAP hbm = nullptr;
    HGDIOBJ stock = nullptr;
    void* pvBits = nullptr;
    Info info;

    Canvas(LONG w, LONG h, WORD bpp) : info(w, h, bpp) {
        hdc = CreateCompatibleDC(nullptr);
        hbm = CreateDIBSection(hdc, info.get(), DIB_RGB_COLORS, &pvBits, nullptr, 0);
        stock = SelectObject(hdc, hbm);
    }
    ~Canvas() {
        SelectObject(hdc, stock);
        DeleteObject(hbm);
        DeleteDC(hdc);
    }
    // Deselects the section and reads it back in the given orientation.
    std::vector<BYTE> Read(bool topDown) {
        EXPECT_EQ(SelectObject(hdc, stock), HGDIOBJ(hbm));
        BITMAPINFOHEADER h = info.header();
        Info out(h.biWidth, topDown ? -std::abs(h.biHeight) : std::abs(h.biHeight), h.biBitCount);
        std::vector<BYTE> bits(size_t(Stride(h.biWidth, h.biBitCount)) * std::abs(h.biHeight), 0xEE);
        EXPECT_EQ(GetDIBits(hdc, hbm, 0, std::abs(h.biHeight), bits.data(), out.get(), DIB_RGB_COLORS),
                  std::abs(h.biHeight));
        EXPECT_EQ(SelectObject(hdc, hbm), stock);
        return bits;
    }
};

size_t Handles() { return pal::host::OpenHandles().size(); }

struct StretchCase {
    WORD bpp;
    bool srcTopDown;
    bool dstTopDown;
};

class Stretch : public ::testing::TestWithParam<StretchCase> {};

TEST_P(Stretch, IdentityCopyAndSourceSubRectangle) {
    const StretchCase c = GetParam();
    Image src(10, 8, c.srcTopDown, c.bpp);
    {
        Canvas same(10, c.dstTopDown ? -8 : 8, c.bpp);
        ASSERT_EQ(StretchDIBits(same.hdc, 0, 0, 10, 8, 0, 0, 10, 8, src.bits.data(), src.info.get(), DIB_RGB_COLORS,
                                SRCCOPY),
                  8);
        EXPECT_EQ(same.Read(c.srcTopDown), src.bits);
    }
    // 4x3 from (2, 1): ySrc counts from the bottom row of a bottom-up bitmap.
    Canvas part(4, c.dstTopDown ? -3 : 3, c.bpp);
    ASSERT_EQ(StretchDIBits(part.hdc, 0, 0, 4, 3, 2, 1, 4, 3, src.bits.data(), src.info.get(), DIB_RGB_COLORS, SRCCOPY),
              3);
    const uint32_t top = c.srcTopDown ? 1 : 8 - 1 - 3;
    const std::vector<BYTE> out = part.Read(false);
    for (uint32_t y = 0; y < 3; ++y)
        for (uint32_t x = 0; x < 4; ++x) ASSERT_EQ(Get(out, x, y, 4, 3, false, c.bpp), src.At(2 + x, top + y));
}

INSTANTIATE_TEST_SUITE_P(AllFormats, Stretch,
                         ::testing::Values(StretchCase{1, false, false}, StretchCase{4, false, true},
                                           StretchCase{8, false, false}, StretchCase{8, true, true},
                                           StretchCase{16, true, false}, StretchCase{24, false, false},
                                           StretchCase{24, true, false}, StretchCase{32, false, true}),
                         [](const auto& info) {
                             return std::to_string(info.param.bpp) + (info.param.srcTopDown ? "_td" : "_bu") +
                                    (info.param.dstTopDown ? "_td" : "_bu");
                         });

TEST(Dib, DestinationOffsetIsClippedToTheBitmap) {
    Image src(2, 2, true, 8);
    Canvas canvas(4, -4, 8);
    ASSERT_EQ(StretchDIBits(canvas.hdc, 3, 3, 2, 2, 0, 0, 2, 2, src.bits.data(), src.info.get(), DIB_RGB_COLORS,
                            SRCCOPY),
              2);
    const std::vector<BYTE> out = canvas.Read(true);
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 4; ++x)
            EXPECT_EQ(Get(out, x, y, 4, 4, true, 8), x == 3 && y == 3 ? src.At(0, 0) : 0u) << x << "," << y;
}

TEST(Dib, GetDIBitsCompletesTheHeader) {
    struct Row {
        LONG w;
        WORD bpp;
        DWORD sizeImage;
    };
    for (const Row& r : {Row{33, 1, 8 * 7}, Row{3, 4, 4 * 7}, Row{5, 8, 8 * 7}, Row{3, 16, 8 * 7},
                         Row{5, 24, 16 * 7}, Row{3, 32, 12 * 7}}) {
        Info created(r.w, 7, r.bpp);
        HDC hdc = CreateCompatibleDC(nullptr);
        HBITMAP hbm = CreateDIBSection(hdc, created.get(), DIB_RGB_COLORS, nullptr, nullptr, 0);
        ASSERT_NE(hbm, nullptr);

        // Query with biBitCount 0: the bitmap's own format, no colour table.
        Info query(0, 0, 8);
        BITMAPINFOHEADER q = query.header();
        q.biBitCount = 0;
        std::memcpy(query.bytes.data(), &q, sizeof(q));
        const std::vector<BYTE> tableBefore(query.bytes.begin() + sizeof(q), query.bytes.end());
        EXPECT_NE(GetDIBits(hdc, hbm, 0, 7, nullptr, query.get(), DIB_RGB_COLORS), 0);
        q = query.header();
        EXPECT_EQ(q.biWidth, r.w);
        EXPECT_EQ(q.biHeight, 7);
        EXPECT_EQ(q.biBitCount, r.bpp);
        EXPECT_EQ(q.biSizeImage, r.sizeImage) << r.bpp;
        EXPECT_EQ(std::vector<BYTE>(query.bytes.begin() + sizeof(q), query.bytes.end()), tableBefore);

        // Completion in the bitmap's format: size, biClrUsed 0, the full table.
        Info work(r.w, 7, r.bpp);
        BITMAPINFOHEADER w = work.header();
        w.biClrUsed = 3;
        std::memcpy(work.bytes.data(), &w, sizeof(w));
        std::fill(work.bytes.begin() + sizeof(w), work.bytes.end(), BYTE(0));
        EXPECT_NE(GetDIBits(hdc, hbm, 0, 7, nullptr, work.get(), DIB_RGB_COLORS), 0);
        EXPECT_EQ(work.header().biSizeImage, r.sizeImage);
        EXPECT_EQ(work.header().biClrUsed, 0u);
        EXPECT_TRUE(std::equal(work.bytes.begin() + sizeof(w), work.bytes.end(), created.bytes.begin() + sizeof(w),
                               created.bytes.end()));
        DeleteObject(hbm);
        DeleteDC(hdc);
    }
}

TEST(Dib, RefusedRequestsFailWithoutTouchingTheTarget) {
    const size_t before = Handles();
    {
        Image src(6, 6, false, 8);
        Canvas canvas(3, 3, 8);
        auto stretch = [&](Info& info, int xSrc, int ySrc, int w, int h, DWORD rop = SRCCOPY,
                           UINT usage = DIB_RGB_COLORS) {
            SetLastError(0);
            const int r = StretchDIBits(canvas.hdc, 0, 0, 3, 3, xSrc, ySrc, w, h, src.bits.data(), info.get(), usage,
                                        rop);
            EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
            return r;
        };
        const int kErr = static_cast<int>(GDI_ERROR);
        EXPECT_EQ(stretch(src.info, 4, 0, 3, 6), kErr);  // source past the right edge
        EXPECT_EQ(stretch(src.info, 0, 1, 6, 6), kErr);  // past the top
        EXPECT_EQ(stretch(src.info, 0, 0, -6, 6), kErr); // mirrored
        EXPECT_EQ(stretch(src.info, 0, 0, 6, 6, 0x00EE0086), kErr);
        EXPECT_EQ(stretch(src.info, 0, 0, 6, 6, SRCCOPY, DIB_PAL_COLORS), kErr);
        Info other(6, 6, 4); // another bit count
        EXPECT_EQ(stretch(other, 0, 0, 6, 6), kErr);
        Info recoloured(6, 6, 8); // same bit count, other colour table
        recoloured.bytes[sizeof(BITMAPINFOHEADER) + 5] ^= 1;
        EXPECT_EQ(stretch(recoloured, 0, 0, 6, 6), kErr);
        Info rle(6, 6, 8);
        BITMAPINFOHEADER h = rle.header();
        h.biCompression = BI_RLE8;
        std::memcpy(rle.bytes.data(), &h, sizeof(h));
        EXPECT_EQ(stretch(rle, 0, 0, 6, 6), kErr);
        EXPECT_EQ(CreateDIBSection(nullptr, rle.get(), DIB_RGB_COLORS, nullptr, nullptr, 0), nullptr);
        EXPECT_EQ(std::vector<BYTE>(4 * 3, 0), canvas.Read(false));

        // A context without a DIB section has nothing to draw on.
        HDC empty = CreateCompatibleDC(nullptr);
        EXPECT_EQ(StretchDIBits(empty, 0, 0, 1, 1, 0, 0, 1, 1, src.bits.data(), src.info.get(), DIB_RGB_COLORS,
                                SRCCOPY),
                  kErr);
        EXPECT_EQ(StretchDIBits(nullptr, 0, 0, 1, 1, 0, 0, 1, 1, src.bits.data(), src.info.get(), DIB_RGB_COLORS,
                                SRCCOPY),
                  kErr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        DeleteDC(empty);

        // Sizes whose bits would overflow or exceed memory are refused up front.
        void* pv = reinterpret_cast<void*>(1);
        for (LONG w : {LONG(100000), LONG(0x7FFFFFFF)}) {
            Info huge(w, -0x7FFFFFFF, 32);
            SetLastError(0);
            EXPECT_EQ(CreateDIBSection(nullptr, huge.get(), DIB_RGB_COLORS, &pv, nullptr, 0), nullptr);
            EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
            EXPECT_EQ(pv, nullptr);
        }
        Info ok(2, 2, 8);
        EXPECT_EQ(CreateDIBSection(nullptr, ok.get(), DIB_RGB_COLORS, nullptr, reinterpret_cast<HANDLE>(8), 0),
                  nullptr);
    }
    EXPECT_EQ(Handles(), before);
}

} // namespace
