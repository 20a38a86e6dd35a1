#include "tools/lib/SyntheticImages.h"

#include <algorithm>
#include <stdexcept>

namespace qltools {

namespace {

constexpr uint32_t kMaxSide = 16384;

RgbImage Blank(uint32_t width, uint32_t height) {
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide)
        throw std::invalid_argument("image size must be 1.." + std::to_string(kMaxSide) + " on each side");
    RgbImage image;
    image.width = width;
    image.height = height;
    image.rgb.assign(static_cast<size_t>(width) * height * 3, 0);
    return image;
}

void Put(RgbImage& image, uint32_t x, uint32_t y, uint8_t r, uint8_t g, uint8_t b) {
    uint8_t* p = image.Pixel(x, y);
    p[0] = r;
    p[1] = g;
    p[2] = b;
}

// Ratio a / b scaled to 0..255; b > 0.
uint8_t Ramp(uint64_t a, uint64_t b) { return static_cast<uint8_t>(std::min<uint64_t>(255, a * 255 / b)); }

// Lattice value of one noise octave: 0..255 from the cell coordinates.
uint32_t LatticeValue(uint64_t seed, uint32_t octave, uint32_t cx, uint32_t cy) {
    SplitMix64 gen(seed ^ (static_cast<uint64_t>(octave) << 56) ^ (static_cast<uint64_t>(cx) << 28) ^ cy);
    return static_cast<uint32_t>(gen.Next() & 0xFF);
}

// Bilinear value noise of one octave with cells of `cell` pixels, in 0..255,
// integer arithmetic only.
uint32_t OctaveAt(uint64_t seed, uint32_t octave, uint32_t cell, uint32_t x, uint32_t y) {
    const uint32_t cx = x / cell, cy = y / cell;
    const uint32_t fx = x % cell, fy = y % cell;
    const uint32_t v00 = LatticeValue(seed, octave, cx, cy);
    const uint32_t v10 = LatticeValue(seed, octave, cx + 1, cy);
    const uint32_t v01 = LatticeValue(seed, octave, cx, cy + 1);
    const uint32_t v11 = LatticeValue(seed, octave, cx + 1, cy + 1);
    const uint32_t top = v00 * (cell - fx) + v10 * fx;
    const uint32_t bottom = v01 * (cell - fx) + v11 * fx;
    return (top * (cell - fy) + bottom * fy) / (cell * cell);
}

} // namespace

uint64_t SplitMix64::Next() {
    uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::optional<ImageKind> ParseImageKind(std::string_view name) {
    if (name == "flat") return ImageKind::Flat;
    if (name == "gradient") return ImageKind::Gradient;
    if (name == "noise") return ImageKind::Noise;
    if (name == "logo") return ImageKind::Logo;
    return std::nullopt;
}

const char* ImageKindName(ImageKind kind) {
    switch (kind) {
    case ImageKind::Flat: return "flat";
    case ImageKind::Gradient: return "gradient";
    case ImageKind::Noise: return "noise";
    case ImageKind::Logo: return "logo";
    }
    return "?";
}

RgbImage MakeFlatImage(uint32_t width, uint32_t height, uint8_t r, uint8_t g, uint8_t b) {
    RgbImage image = Blank(width, height);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) Put(image, x, y, r, g, b);
    return image;
}

RgbImage MakeGradientImage(uint32_t width, uint32_t height) {
    RgbImage image = Blank(width, height);
    const uint64_t w = std::max<uint32_t>(1, width - 1), h = std::max<uint32_t>(1, height - 1);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            Put(image, x, y, Ramp(x, w), Ramp(y, h), Ramp(static_cast<uint64_t>(x) + y, w + h));
    return image;
}

RgbImage MakeNoiseImage(uint32_t width, uint32_t height, uint64_t seed) {
    RgbImage image = Blank(width, height);
    SplitMix64 grain(seed * 31 + 7);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            // Three octaves (cells of 32, 8 and 2 pixels) weighted 4:2:1 give
            // large soft shapes with texture on top, per channel shifted so
            // the colours vary independently.
            uint32_t channel[3];
            for (uint32_t c = 0; c < 3; ++c) {
                const uint32_t v = 4 * OctaveAt(seed + c, 0, 32, x, y) + 2 * OctaveAt(seed + c, 1, 8, x, y) +
                                   OctaveAt(seed + c, 2, 2, x, y);
                channel[c] = v / 7;
            }
            const int jitter = static_cast<int>(grain.Below(17)) - 8;
            uint8_t out[3];
            for (uint32_t c = 0; c < 3; ++c)
                out[c] = static_cast<uint8_t>(std::clamp(static_cast<int>(channel[c]) + jitter, 0, 255));
            Put(image, x, y, out[0], out[1], out[2]);
        }
    }
    return image;
}

RgbImage MakeLogoImage(uint32_t width, uint32_t height) {
    RgbImage image = MakeFlatImage(width, height, 255, 255, 255);
    const int64_t w = width, h = height;
    const int64_t side = std::min(w, h);
    const int64_t cx = w / 3, cy = h / 2;
    const int64_t outer = side * 3 / 10, inner = side * 2 / 10;
    for (int64_t y = 0; y < h; ++y) {
        for (int64_t x = 0; x < w; ++x) {
            const int64_t dx = x - cx, dy = y - cy;
            const int64_t d2 = dx * dx + dy * dy;
            if (d2 <= outer * outer && d2 >= inner * inner)
                Put(image, static_cast<uint32_t>(x), static_cast<uint32_t>(y), 0x1F, 0x4E, 0x9A);  // ring
            else if (x >= w * 6 / 10 && x < w * 9 / 10 && y >= h * 2 / 10 && y < h * 4 / 10)
                Put(image, static_cast<uint32_t>(x), static_cast<uint32_t>(y), 0xD9, 0x3A, 0x2B);  // bar
            else if (x >= w * 6 / 10 && x < w * 8 / 10 && y >= h * 5 / 10 && y < h * 8 / 10)
                Put(image, static_cast<uint32_t>(x), static_cast<uint32_t>(y), 0x2E, 0xA0, 0x4F);  // square
        }
    }
    return image;
}

RgbImage MakeImage(ImageKind kind, uint32_t width, uint32_t height, uint64_t seed) {
    switch (kind) {
    case ImageKind::Flat: return MakeFlatImage(width, height, 0x33, 0x66, 0xCC);
    case ImageKind::Gradient: return MakeGradientImage(width, height);
    case ImageKind::Noise: return MakeNoiseImage(width, height, seed);
    case ImageKind::Logo: return MakeLogoImage(width, height);
    }
    throw std::invalid_argument("unknown image kind");
}

uint64_t ImageHash(const RgbImage& image) {
    uint64_t h = 0xCBF29CE484222325ull;
    auto mix = [&h](uint8_t b) {
        h ^= b;
        h *= 0x100000001B3ull;
    };
    for (int i = 0; i < 4; ++i) mix(static_cast<uint8_t>(image.width >> (8 * i)));
    for (int i = 0; i < 4; ++i) mix(static_cast<uint8_t>(image.height >> (8 * i)));
    for (uint8_t b : image.rgb) mix(b);
    return h;
}

} // namespace qltools
