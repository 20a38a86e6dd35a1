#include "tools/lib/Dib.h"

#include <algorithm>
#include <stdexcept>

namespace qltools {

// ---- DIBs -------------------------------------------------------------------------

namespace {

// The 16 standard VGA colours, the 4-bpp colour table.
constexpr uint8_t kVga[16][3] = {
    {0, 0, 0},     {128, 0, 0},   {0, 128, 0},   {128, 128, 0},   {0, 0, 128},   {128, 0, 128},
    {0, 128, 128}, {192, 192, 192}, {128, 128, 128}, {255, 0, 0}, {0, 255, 0},   {255, 255, 0},
    {0, 0, 255},   {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};

uint8_t NearestVga(const uint8_t* rgb) {
    uint32_t best = 0, bestDistance = UINT32_MAX;
    for (uint32_t i = 0; i < 16; ++i) {
        uint32_t d = 0;
        for (int c = 0; c < 3; ++c) {
            const int diff = static_cast<int>(rgb[c]) - kVga[i][c];
            d += static_cast<uint32_t>(diff * diff);
        }
        if (d < bestDistance) {
            bestDistance = d;
            best = i;
        }
    }
    return static_cast<uint8_t>(best);
}

uint32_t Luma(const uint8_t* rgb) { return (299u * rgb[0] + 587u * rgb[1] + 114u * rgb[2]) / 1000u; }

} // namespace

uint32_t DibStride(uint32_t width, uint32_t bpp) {
    const uint64_t bits = static_cast<uint64_t>(width) * bpp;
    return static_cast<uint32_t>(((bits + 31) / 32) * 4);
}

std::vector<uint8_t> Dib::BitmapInfo() const {
    std::vector<uint8_t> out;
    AppendStruct(out, header);
    for (const EmfRgbQuad& q : colors) AppendStruct(out, q);
    return out;
}

Dib MakeDib(const RgbImage& image, uint32_t bpp, bool topDown) {
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
        throw std::invalid_argument("bits per pixel must be 1, 4, 8, 16, 24 or 32");
    if (image.width == 0 || image.height == 0 ||
        image.rgb.size() != static_cast<size_t>(image.width) * image.height * 3)
        throw std::invalid_argument("empty or inconsistent image");
    Dib dib;
    const uint32_t stride = DibStride(image.width, bpp);
    dib.header.biSize = sizeof(EmfBitmapInfoHeader);
    dib.header.biWidth = static_cast<int32_t>(image.width);
    dib.header.biHeight = topDown ? -static_cast<int32_t>(image.height) : static_cast<int32_t>(image.height);
    dib.header.biPlanes = 1;
    dib.header.biBitCount = static_cast<uint16_t>(bpp);
    dib.header.biCompression = 0;  // BI_RGB
    dib.header.biSizeImage = stride * image.height;
    dib.header.biXPelsPerMeter = 23622;  // 600 dpi
    dib.header.biYPelsPerMeter = 23622;

    if (bpp == 1) {
        dib.colors = {{0, 0, 0, 0}, {255, 255, 255, 0}};
    } else if (bpp == 4) {
        for (const auto& c : kVga) dib.colors.push_back({c[2], c[1], c[0], 0});
    } else if (bpp == 8) {
        for (uint32_t i = 0; i < 256; ++i) {
            const auto r = static_cast<uint8_t>(((i >> 5) & 7) * 255 / 7);
            const auto g = static_cast<uint8_t>(((i >> 2) & 7) * 255 / 7);
            const auto b = static_cast<uint8_t>((i & 3) * 255 / 3);
            dib.colors.push_back({b, g, r, 0});
        }
    }
    dib.header.biClrUsed = static_cast<uint32_t>(dib.colors.size());

    dib.bits.assign(static_cast<size_t>(stride) * image.height, 0);
    for (uint32_t y = 0; y < image.height; ++y) {
        const uint32_t row = topDown ? y : image.height - 1 - y;
        uint8_t* out = &dib.bits[static_cast<size_t>(row) * stride];
        for (uint32_t x = 0; x < image.width; ++x) {
            const uint8_t* p = image.Pixel(x, y);
            switch (bpp) {
            case 1:
                if (Luma(p) >= 128) out[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
                break;
            case 4: out[x / 2] |= static_cast<uint8_t>(NearestVga(p) << ((x % 2) ? 0 : 4)); break;
            case 8: out[x] = static_cast<uint8_t>((p[0] >> 5) << 5 | (p[1] >> 5) << 2 | (p[2] >> 6)); break;
            case 16: {
                const auto v = static_cast<uint16_t>((p[0] >> 3) << 10 | (p[1] >> 3) << 5 | (p[2] >> 3));
                out[2 * x] = static_cast<uint8_t>(v);
                out[2 * x + 1] = static_cast<uint8_t>(v >> 8);
                break;
            }
            case 24:
                out[3 * x] = p[2];
                out[3 * x + 1] = p[1];
                out[3 * x + 2] = p[0];
                break;
            case 32:
                out[4 * x] = p[2];
                out[4 * x + 1] = p[1];
                out[4 * x + 2] = p[0];
                out[4 * x + 3] = 0;
                break;
            }
        }
    }
    return dib;
}

} // namespace qltools
