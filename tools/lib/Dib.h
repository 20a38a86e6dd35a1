// Device-independent bitmaps for test jobs: packed DIBs of every depth made
// from RGB pictures.
//
// Misuse (bad sizes, unsupported depths) throws std::invalid_argument.
#pragma once
#include "tools/lib/ByteIO.h"
#include "tools/lib/EmfLayouts.h"
#include "tools/lib/SyntheticImages.h"

#include <cstdint>
#include <vector>

namespace qltools {

// ---- device-independent bitmaps ---------------------------------------------------
// A packed DIB: BITMAPINFOHEADER, colour table, and the pixel rows (each a
// multiple of 4 bytes, bottom-up unless topDown).
struct Dib {
    EmfBitmapInfoHeader header{};
    std::vector<EmfRgbQuad> colors;
    std::vector<uint8_t> bits;

    uint32_t Width() const { return static_cast<uint32_t>(header.biWidth); }
    uint32_t Height() const {
        return static_cast<uint32_t>(header.biHeight < 0 ? -static_cast<int64_t>(header.biHeight) : header.biHeight);
    }
    uint32_t BitCount() const { return header.biBitCount; }
    bool TopDown() const { return header.biHeight < 0; }
    // BITMAPINFOHEADER followed by the colour table.
    std::vector<uint8_t> BitmapInfo() const;
};

// Bytes of one DIB row: width * bpp bits rounded up to a multiple of 4 bytes.
uint32_t DibStride(uint32_t width, uint32_t bpp);

// Converts an RGB picture into a DIB of 1, 4, 8, 16 (5-5-5), 24 or 32 bits per
// pixel. 1 bpp uses black and white by luminance; 4 bpp the 16 standard VGA
// colours, nearest match; 8 bpp a 3-3-2 palette of 256 colours; 16, 24 and 32
// bpp carry no colour table. The result is bit for bit a function of the input.
Dib MakeDib(const RgbImage& image, uint32_t bpp, bool topDown);

} // namespace qltools
